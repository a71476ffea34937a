// The machine itself as a source of pages: pfnstat asks the native service
// what `pfndb -p` asks, in the same order and through the same code, and
// feeds the answer to the tally without any text in between.
#ifndef PFNDB_STAT_LIVE_H_
#define PFNDB_STAT_LIVE_H_

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "pfn/pfn.h"
#include "report/open_table.h"
#include "report/report.h"
#include "stat/tally.h"

// The step that failed.
enum LiveStep {
  kLiveRead = 0,
  kLiveNoAdjustPrivilege,
  kLiveNoQuery,
  kLiveRanges,
  kLivePfnQuery,
  kLiveProcesses,
  kLiveNoMemory,
  kLiveLayout,  // the page-frame answer came back in no known layout
};

struct LiveMachine {
  // The service as the steps ask it, quietly; it keeps the status of the
  // last query.
  NativeService service;
  PfnRequestSize requestSize;
  MemoryRangeInfo* ranges;
  // The pages, asked a slice at a time as the tally takes them.
  PfnSlices slices;
  ProcessNameList names;
  NameIndex index;
  int indexBuilt;
  // Room for any key's names, found in the list as the report finds them
  // when its index could not be had; null while the index answers.
  char* listNames;
  // Each key met so far and its owner's row plus 1; entries null when
  // memory ran out.
  OpenTable<ProcessKeyValue> keys;
  // The entries of the slice at hand, not yet handed out.
  const PfnEntry* next;
  const PfnEntry* last;
  LiveStep failed;
  uint32_t status;  // of the failed query
};

// Asks the service, as `pfndb -p` does, for the privileges, the ranges and
// the private sources, and starts the page-frame request's slices; what
// the native code prints is discarded. Returns 0, or -1 with
// machine->failed and machine->status telling why. Release with
// LiveMachineFree either way.
int LiveMachineRead(LiveMachine* machine);
void LiveMachineFree(LiveMachine* machine);

// A PageBatchFn (feed.h) over a machine that was read: its pages in the
// order of the request (the entries the walk writes, never beyond its
// room), asked a slice at a time, each key's owner found once. Fails (-1,
// machine->failed and machine->status telling why) when the service
// refuses a slice. The tally must be the one every batch goes to, and not
// cleared in between.
int NextLivePages(void* machine, StatTally* tally, TallyPage* pages, size_t room, size_t* got);

// The name the views give the machine in their titles.
extern const char kLiveName[];  // "(this machine)"

// Writes why reading the machine failed, as pfnstat's messages.
void PrintLiveFailure(const LiveMachine& machine, FILE* err);

#endif  // PFNDB_STAT_LIVE_H_

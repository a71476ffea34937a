// The page-frame database printed as a table, one line per page.
#ifndef PFNDB_REPORT_REPORT_H_
#define PFNDB_REPORT_REPORT_H_

#include <cstdint>

#include "pfn/pfn.h"
#include "report/open_table.h"
#include "report/page_names.h"

inline uint32_t PageUseIndex(const PfnEntry& entry) {
  return static_cast<uint32_t>(Format::EntryWords(entry)) & 0xF;
}
inline uint32_t PageListIndex(const PfnEntry& entry) {
  return static_cast<uint32_t>(Format::EntryWords(entry) >> 4) & 0x7;
}

// The key of the process owning a process-private page (Format::KeyOfWords).
inline ProcessKeyValue ProcessKey(const PfnEntry& entry) {
  return Format::KeyOfWords(Format::EntryWords(entry));
}

// For each key, the " name " texts of every record with that key, in list
// order. The keys are hashed into a table chosen so that, as a rule, no two
// share a slot: a lookup is then one load and one compare. A slot whose
// names are not short enough for the fixed-size copy, or which some keys
// share, is marked uncommon; a lookup landing there takes the slow path,
// which finds the key in the table of groups.
//
// The index lives in two runtime-heap blocks. When either cannot be had,
// every slot is uncommon and the slow path searches the list itself: the
// same lines, with no memory beyond what the report already holds.
struct NameIndex {
  struct Slot {
    ProcessKeyValue key;
    // Offset into text times 256, plus the length: 0 when no record has
    // the key, kUncommon for the slow path.
    uint32_t names;
  };
  static const uint32_t kUncommon = 0xFF;
  // Every key's names, in the order of its first record.
  struct Group {
    ProcessKeyValue key;
    uint32_t offset;
    uint32_t length;
  };
  const Slot* slots;
  uint32_t multiplier;
  uint32_t shift;
  // Padded so that 32 bytes can be read from any offset.
  const char* text;
  // Null when the list itself is searched.
  const Group* groups;
  // Each key's group number plus 1.
  OpenTable<ProcessKeyValue> groupOfKey;
  const ProcessNameList* list;
  void* blocks[2];
};

// Builds the index of list's names; when memory for it cannot be had, leaves
// one that searches the list. Either way the report's lines come out the
// same. Release with ReleaseNameIndex, before the list.
void BuildNameIndex(const ProcessNameList* list, NameIndex* index);
void ReleaseNameIndex(NameIndex* index);

// The names the report prints for a process-private page of key: returns 1
// with *names and *length (" a  b " for two records, valid until the index
// is released, with 32 readable bytes after them), 0 when no record has the
// key, or -1 when the index was built without its memory and cannot tell.
int FindNames(const NameIndex& index, ProcessKeyValue key, const char** names, uint32_t* length);

// Prints the header and one line for each entry the walk over ranges wrote
// into request (a block of requestSize bytes), naming the processes of list
// whose key matches each process-private page. Returns 0.
int PrintPfnDatabase(const PfnRequest* request, PfnRequestSize requestSize,
                     const ProcessNameList* list, const MemoryRangeInfo* ranges);

// The report in pieces, for a request asked in slices: the header and the
// name index first, then the lines of each run of entries in turn, then
// the index released (before the list). The lines come out as
// PrintPfnDatabase prints them for all the entries at once.
struct PfnReport {
  NameIndex names;
};
void PfnReportStart(const ProcessNameList* list, PfnReport* report);
void PfnReportLines(PfnReport* report, const PfnEntry* first, const PfnEntry* last);
void PfnReportEnd(PfnReport* report);

// Whether the report makes its digits with SSE2: the processor's answer, as
// read when the program started, unless a test forced the plain digits.
bool ReportUsesSse2Digits();

// For tests, which check both ways of making digits on one processor: true
// makes the report use its plain digits, false gives the choice back.
void ForcePlainReportDigits(bool plain);

#endif  // PFNDB_REPORT_REPORT_H_

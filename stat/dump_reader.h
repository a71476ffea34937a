// Reads a page-frame dump (what `pfndb -p` prints) back, one page line at a
// time, from any byte source, in bounded memory.
#ifndef PFNDB_STAT_DUMP_READER_H_
#define PFNDB_STAT_DUMP_READER_H_

#include <cstddef>
#include <cstdint>

#include "report/page_names.h"

// The report's header line, without its line end: the table starts after it.
extern const char kDumpHeader[];

// One page line. owner points into the text that was parsed and is valid
// only as long as that text is; the line's 18-byte tail follows it, so
// owner[0 .. 16) can always be read.
struct PageLine {
  uint64_t address;  // a multiple of 4096
  unsigned list;     // < kListCount
  unsigned use;      // < kUseCount
  // Process-private pages whose key has records: the names as printed
  // ("a.exe", or "a.exe  b.exe" for two records under one key), which may be
  // empty when a record's name is. hasOwner is 0 and the text empty for a
  // private page whose key has no record and for every other use.
  int hasOwner;
  const char* owner;
  size_t ownerLength;
};

// Parses one line, without its line end. Returns 0, or -1 when the text is
// not a page line (then *page is unspecified).
int ParsePageLine(const char* text, size_t length, PageLine* page);

// Fills buffer[0 .. capacity) with the next bytes of the source. Returns 0
// with *got the number of bytes (0 only at the end), or -1 on a read error.
typedef int (*DumpReadFn)(void* source, char* buffer, size_t capacity, size_t* got);

// The longest line the reader takes whole; a longer line in the table is not
// a page line, and a longer line before the header is skipped.
const size_t kDumpMaxLine = size_t{1} << 20;

enum DumpError {
  kDumpNoError = 0,
  kDumpReadFailed,   // the source returned -1
  kDumpNoTable,      // the input ended before the header line
  kDumpNotPageLine,  // errorLine is not a page line
};

struct DumpReader {
  DumpReadFn read;
  void* source;
  char* buffer;  // kDumpMaxLine bytes, owned
  size_t begin;  // bytes not yet taken: buffer[begin .. end)
  size_t end;
  int atEnd;            // the source has nothing more
  int inTable;          // the header has been seen
  int skipping;         // dropping the rest of an over-long line before the header
  int finished;         // the table has ended
  uint64_t lineNumber;  // of the last line taken, from 1
  DumpError error;
  uint64_t errorLine;
  // The number of a last line that had no line end and was left out, or 0.
  uint64_t cutShortLine;
};

// Prepares reader to read from source. Returns 0, or -1 when its buffer
// cannot be allocated. Release with DumpReaderFree (also after a failure).
int DumpReaderInit(DumpReader* reader, DumpReadFn read, void* source);
void DumpReaderFree(DumpReader* reader);

// Starts the reader afresh on another source, keeping its buffer.
// REQUIRES: DumpReaderInit succeeded.
void DumpReaderRestart(DumpReader* reader, DumpReadFn read, void* source);

// Takes the next page line of the table. Returns 1 with *page filled, 0 at
// the end of the table, or -1 with reader->error (and errorLine) telling
// why. Lines end in "\n" or "\r\n"; everything before the header line is
// passed over. After 0 or -1 every further call returns the same.
int DumpReaderNext(DumpReader* reader, PageLine* page);

#endif  // PFNDB_STAT_DUMP_READER_H_

#include "stat/views.h"

#include <cassert>
#include <cinttypes>
#include <cstdlib>
#include <cstring>

#include "report/page_names.h"

namespace {

const unsigned kColumns = kListCount + 1;  // the lists, then the total

const char* const kCsvUses[kUseCount] = {
    "process_private", "mapped_file",  "pagefile_mapped", "page_table", "paged_pool",
    "nonpaged_pool",   "system_pte",   "session_private", "metafile",   "awe",
    "driver_locked",   "kernel_stack", "unknown",
};
const char kCsvListColumns[] =
    "zero,free,standby,modified,modified_no_write,bad,active,transition,total\n";
const char* const kTextColumns[kColumns] = {
    "Zero", "Free", "Standby", "Modified", "Mod no-write", "Bad", "Active", "Transition", "Total",
};
const char kTotal[] = "Total";  // the text tables' last row
// Owner texts longer than this push their row's numbers right rather than
// widening the whole table.
const size_t kWidestLabel = 40;

struct TableRow {
  const char* label;
  size_t length;
  int64_t pages[kColumns];
};

// The row's values for the source (one dump, or the change), with the total.
void FillRow(const ViewSource& source, const uint64_t (&pages)[kTallyDumps][kListCount],
             TableRow* row) {
  int64_t total = 0;
  for (unsigned list = 0; list < kListCount; ++list) {
    const int64_t value = source.change ? static_cast<int64_t>(pages[1][list] - pages[0][list])
                                        : static_cast<int64_t>(pages[0][list]);
    row->pages[list] = value;
    total += value;
  }
  row->pages[kListCount] = total;
}

void AddToTotal(const TableRow& row, TableRow* total) {
  for (unsigned c = 0; c < kColumns; ++c) total->pages[c] += row.pages[c];
}

int AllZero(const TableRow& row) {
  for (unsigned c = 0; c < kColumns; ++c) {
    if (row.pages[c] != 0) return 0;
  }
  return 1;
}

uint64_t Magnitude(int64_t value) {
  return value < 0 ? 0 - static_cast<uint64_t>(value) : static_cast<uint64_t>(value);
}

int CompareOwners(const void* a, const void* b) {
  const TableRow& x = *static_cast<const TableRow*>(a);
  const TableRow& y = *static_cast<const TableRow*>(b);
  const uint64_t sizeX = Magnitude(x.pages[kListCount]);
  const uint64_t sizeY = Magnitude(y.pages[kListCount]);
  if (sizeX != sizeY) return sizeX > sizeY ? -1 : 1;
  const int order = memcmp(x.label, y.label, x.length < y.length ? x.length : y.length);
  if (order != 0) return order;
  return x.length < y.length ? -1 : x.length > y.length;
}

void UseLabel(unsigned use, char (&label)[16], size_t* length) {
  if (use == kNoValueUse) {
    *length = sizeof(kNoValueName) - 1;
    memcpy(label, kNoValueName, *length);
  } else {
    *length = NarrowName(PageUseNames[use], 15, label);
  }
}

// The uses view's rows, in use order, then their total: kUseCount + 1 rows.
void UseRows(const ViewSource& source, char (*labels)[16], TableRow* rows) {
  TableRow& total = rows[kUseCount];
  memset(&total, 0, sizeof(total));
  for (unsigned use = 0; use < kUseCount; ++use) {
    uint64_t pages[kTallyDumps][kListCount];
    for (int dump = 0; dump < kTallyDumps; ++dump) {
      memcpy(pages[dump], source.tally->uses[dump][use], sizeof(pages[dump]));
    }
    UseLabel(use, labels[use], &rows[use].length);
    rows[use].label = labels[use];
    FillRow(source, pages, &rows[use]);
    AddToTotal(rows[use], &total);
  }
}

void PutLabelBytes(const char* bytes, size_t n, char* out, size_t* length) {
  if (out != nullptr) memcpy(out + *length, bytes, n);
  *length += n;
}

int IsText(const char* text, size_t length, const char* other) {
  return length == strlen(other) && memcmp(text, other, length) == 0;
}

// The processes view's rows, largest first, leaving out rows with nothing
// in them; the total of all follows them. Labels as OwnerLabel gives them
// for the table, or for the CSV. Returns the number of rows before the
// total, or -1 when memory runs out; free *rows, which also holds the
// quoted labels.
int64_t OwnerRows(const ViewSource& source, int table, TableRow** rows) {
  const StatTally& tally = *source.tally;
  const size_t rowBytes = (tally.ownerCount + size_t{1}) * sizeof(TableRow);
  size_t labelBytes = 0;
  for (uint32_t i = 0; i < tally.ownerCount; ++i) {
    labelBytes += OwnerLabel(tally.owners[i], table, nullptr);
  }
  *rows = static_cast<TableRow*>(malloc(rowBytes + labelBytes));
  if (*rows == nullptr) return -1;
  char* quoted = reinterpret_cast<char*>(*rows) + rowBytes;
  TableRow total;
  memset(&total, 0, sizeof(total));
  size_t count = 0;
  for (uint32_t i = 0; i < tally.ownerCount; ++i) {
    TableRow& row = (*rows)[count];
    const OwnerRow& owner = tally.owners[i];
    row.label = owner.text;
    row.length = owner.length;
    const size_t length = OwnerLabel(owner, table, quoted);
    if (length != 0) {
      row.label = quoted;
      row.length = length;
      quoted += length;
    }
    FillRow(source, owner.pages, &row);
    if (AllZero(row)) continue;
    AddToTotal(row, &total);
    ++count;
  }
  qsort(*rows, count, sizeof(TableRow), CompareOwners);
  (*rows)[count] = total;
  return static_cast<int64_t>(count);
}

// ---- Text ----

// KiB with thousands separators, with a sign when signed and not 0.
size_t FormatKiB(int64_t pages, int withSign, char* out) {
  char digits[32];
  const uint64_t kib = Magnitude(pages) * 4;
  const int n = snprintf(digits, sizeof(digits), "%" PRIu64, kib);
  size_t length = 0;
  if (withSign && pages != 0) out[length++] = pages < 0 ? '-' : '+';
  for (int i = 0; i < n; ++i) {
    if (i > 0 && (n - i) % 3 == 0) out[length++] = ',';
    out[length++] = digits[i];
  }
  return length;
}

void PutPadded(const char* text, size_t length, size_t width, int right, FILE* out) {
  if (right) {
    for (size_t i = length; i < width; ++i) fputc(' ', out);
  }
  fwrite(text, 1, length, out);
  if (!right) {
    for (size_t i = length; i < width; ++i) fputc(' ', out);
  }
}

// A title line, a heading line, the rows and then the total row (rows[count]),
// columns two spaces apart.
void PrintTable(const char* title, const char* labelHeading, const TableRow* rows, size_t count,
                int withSign, FILE* out) {
  size_t labelWidth = strlen(labelHeading);
  size_t widths[kColumns];
  for (unsigned c = 0; c < kColumns; ++c) widths[c] = strlen(kTextColumns[c]);
  char cell[48];
  for (size_t r = 0; r <= count; ++r) {
    if (rows[r].length > labelWidth) {
      labelWidth = rows[r].length < kWidestLabel ? rows[r].length : kWidestLabel;
    }
    for (unsigned c = 0; c < kColumns; ++c) {
      const size_t n = FormatKiB(rows[r].pages[c], withSign, cell);
      if (n > widths[c]) widths[c] = n;
    }
  }
  fprintf(out, "%s\n", title);
  PutPadded(labelHeading, strlen(labelHeading), labelWidth, 0, out);
  for (unsigned c = 0; c < kColumns; ++c) {
    fputs("  ", out);
    PutPadded(kTextColumns[c], strlen(kTextColumns[c]), widths[c], 1, out);
  }
  fputc('\n', out);
  for (size_t r = 0; r <= count; ++r) {
    if (r == count) {
      PutPadded(kTotal, sizeof(kTotal) - 1, labelWidth, 0, out);
    } else {
      PutPadded(rows[r].label, rows[r].length, labelWidth, 0, out);
    }
    for (unsigned c = 0; c < kColumns; ++c) {
      fputs("  ", out);
      PutPadded(cell, FormatKiB(rows[r].pages[c], withSign, cell), widths[c], 1, out);
    }
    fputc('\n', out);
  }
}

void PrintRanges(const ViewSource& source, FILE* out) {
  const StatTally& tally = *source.tally;
  fprintf(out, "Physical ranges: %s\n", source.change ? source.after : source.dump);
  uint64_t pages = tally.pagesLeftOut;
  for (size_t i = 0; i < tally.rangeCount; ++i) {
    pages += (tally.ranges[i].end - tally.ranges[i].start) >> 12;
  }
  char cell[48];
  const size_t width = FormatKiB(static_cast<int64_t>(pages), 0, cell);
  const size_t sizeWidth = width > 9 ? width : 9;
  fprintf(out, "Start             End               %*s\n", static_cast<int>(sizeWidth),
          "Size, KiB");
  for (size_t i = 0; i < tally.rangeCount; ++i) {
    const PageRange& range = tally.ranges[i];
    const size_t n = FormatKiB(static_cast<int64_t>((range.end - range.start) >> 12), 0, cell);
    fprintf(out, "%016" PRIx64 "  %016" PRIx64 "  %*.*s\n", range.start, range.end,
            static_cast<int>(sizeWidth), static_cast<int>(n), cell);
  }
  char label[48];
  if (tally.rangesLeftOut != 0) {
    snprintf(label, sizeof(label), "(%" PRIu64 " more range%s not listed)", tally.rangesLeftOut,
             tally.rangesLeftOut == 1 ? "" : "s");
    const size_t n = FormatKiB(static_cast<int64_t>(tally.pagesLeftOut), 0, cell);
    fprintf(out, "%-34s  %*.*s\n", label, static_cast<int>(sizeWidth), static_cast<int>(n), cell);
  }
  snprintf(label, sizeof(label), "Total: %" PRIu64 " range%s",
           tally.rangeCount + tally.rangesLeftOut,
           tally.rangeCount + tally.rangesLeftOut == 1 ? "" : "s");
  const size_t n = FormatKiB(static_cast<int64_t>(pages), 0, cell);
  fprintf(out, "%-34s  %*.*s\n", label, static_cast<int>(sizeWidth), static_cast<int>(n), cell);
}

// ---- CSV ----

// A field as it stands, or quoted with its quotes doubled when it holds a
// comma, a quote or a line break.
void PutCsvField(const char* text, size_t length, FILE* out) {
  int quote = 0;
  for (size_t i = 0; i < length; ++i) {
    quote |= text[i] == ',' || text[i] == '"' || text[i] == '\r' || text[i] == '\n';
  }
  if (!quote) {
    fwrite(text, 1, length, out);
    return;
  }
  fputc('"', out);
  for (size_t i = 0; i < length; ++i) {
    if (text[i] == '"') fputc('"', out);
    fputc(text[i], out);
  }
  fputc('"', out);
}

void PutCsvRow(const char* label, size_t length, const TableRow& row, FILE* out) {
  PutCsvField(label, length, out);
  for (unsigned c = 0; c < kColumns; ++c) fprintf(out, ",%" PRId64, row.pages[c]);
  fputc('\n', out);
}

}  // namespace

size_t OwnerLabel(const OwnerRow& row, int table, char* out) {
  if (row.text == kNoOwner || row.text == kOtherOwners) return 0;
  // Padded with spaces, "Total " reads as "Total" does.
  size_t shown = row.length;
  while (table && shown > 0 && row.text[shown - 1] == ' ') --shown;
  int quote = IsText(row.text, shown, kNoOwner) || IsText(row.text, shown, kOtherOwners) ||
              (table && IsText(row.text, shown, kTotal)) || (row.length != 0 && row.text[0] == '"');
  for (uint32_t i = 0; table && i < row.length; ++i) {
    const uint8_t c = static_cast<uint8_t>(row.text[i]);
    quote |= c < 0x20 || c == 0x7F;
  }
  if (!quote) return 0;
  size_t length = 0;
  PutLabelBytes("\"", 1, out, &length);
  for (uint32_t i = 0; i < row.length; ++i) {
    const uint8_t c = static_cast<uint8_t>(row.text[i]);
    char put[5] = {static_cast<char>(c), static_cast<char>(c)};
    size_t n = c == '"' ? 2 : 1;
    if (table && (c == '\\' || c == '\r' || c == '\n' || c == '\t')) {
      put[0] = '\\';
      put[1] = c == '\r' ? 'r' : c == '\n' ? 'n' : c == '\t' ? 't' : '\\';
      n = 2;
    } else if (table && (c < 0x20 || c == 0x7F)) {
      n = static_cast<size_t>(snprintf(put, sizeof(put), "\\x%02x", c));
    }
    PutLabelBytes(put, n, out, &length);
  }
  PutLabelBytes("\"", 1, out, &length);
  return length;
}

int PrintViews(const ViewSource& source, FILE* out) {
  char title[512];
  char names[400];
  if (source.change) {
    snprintf(names, sizeof(names), "%s -> %s", source.dump, source.after);
  } else {
    snprintf(names, sizeof(names), "%s", source.dump);
  }

  char labels[kUseCount][16];
  TableRow uses[kUseCount + 1];
  UseRows(source, labels, uses);
  snprintf(title, sizeof(title), "%s in KiB: %s",
           source.change ? "Change in page uses" : "Page uses", names);
  PrintTable(title, "Use", uses, kUseCount, source.change, out);

  TableRow* owners;
  const int64_t count = OwnerRows(source, 1, &owners);
  if (count < 0) return -1;
  snprintf(
      title, sizeof(title), "%s in KiB: %s",
      source.change ? "Change in process-private pages by owner" : "Process-private pages by owner",
      names);
  fputc('\n', out);
  PrintTable(title, "Owner", owners, static_cast<size_t>(count), source.change, out);
  free(owners);

  fputc('\n', out);
  PrintRanges(source, out);
  return 0;
}

int WriteViewCsv(const ViewSource& source, StatView view, FILE* out) {
  if (view == kViewUses) {
    char labels[kUseCount][16];
    TableRow rows[kUseCount + 1];
    UseRows(source, labels, rows);
    fprintf(out, "use,%s", kCsvListColumns);
    for (unsigned use = 0; use < kUseCount; ++use) {
      PutCsvRow(kCsvUses[use], strlen(kCsvUses[use]), rows[use], out);
    }
    PutCsvRow("total", 5, rows[kUseCount], out);
  } else if (view == kViewProcesses) {
    TableRow* rows;
    const int64_t count = OwnerRows(source, 0, &rows);
    if (count < 0) return -1;
    fprintf(out, "owner,%s", kCsvListColumns);
    for (int64_t r = 0; r < count; ++r) PutCsvRow(rows[r].label, rows[r].length, rows[r], out);
    free(rows);
  } else {
    const StatTally& tally = *source.tally;
    assert(tally.rangesLeftOut == 0);
    fputs("start,end,pages\n", out);
    for (size_t i = 0; i < tally.rangeCount; ++i) {
      const PageRange& range = tally.ranges[i];
      fprintf(out, "0x%" PRIx64 ",0x%" PRIx64 ",%" PRIu64 "\n", range.start, range.end,
              (range.end - range.start) >> 12);
    }
  }
  return 0;
}

#!/usr/bin/env python3
"""How many plausible single faults in the product code the tests catch.

Copies the tracked tree to a scratch folder, builds it once (preset default),
then for each mutant below changes one snippet of pfndb's cli/, native/, pfn/
or report/, or of pfnstat's stat/, rebuilds, runs the host suite (ctest) and
restores the file. A mutant is caught when the build or a test fails, or the
suite times out. With --asan, the mutants the host suite let through are
tried again under the sanitizer preset, as CI runs that suite too. The catch
rate is given for each program apart, then in all. Too slow for CI (about
half a minute a mutant): run it by hand after changing the tests or the code.

  tools/mutants.py [--asan] [--only SUBSTRING]... [--keep DIR]

A mutant whose snippet is no longer in its file is reported as stale, not
counted: update its snippet when the code moves.
"""
import argparse
import os
import shutil
import subprocess
import sys
import tempfile

# (file, snippet, replacement, what the fault is)
MUTANTS = [
    ('cli/options.cpp', 'while (*p != L\'\\0\' && IsDelimiter(*p, delimiters)) ++p;',
     'if (*p != L\'\\0\' && IsDelimiter(*p, delimiters)) ++p;', 'skips one leading delimiter'),
    ('cli/options.cpp',
     'if (*p != L\'\\0\') *p++ = L\'\\0\';', 'if (*p != L\'\\0\') *p = L\'\\0\';',
     'remainder not advanced past the terminator'),
    ('cli/options.cpp', 'for (int k = 1; k < argumentCount; ++k)',
     'for (int k = 1; k <= argumentCount; ++k)', 'one token too many examined'),
    ('cli/options.cpp', 'if (wcscmp(token, option.text) == 0)',
     'if (wcsncmp(token, option.text, 2) == 0)', 'option matched by prefix'),
    ('cli/options.cpp', '{L"-c", ModeConditions}', '{L"-c", ModeWarranty}', '-c picks -w'),
    ('cli/pfndb.cpp', 'ConsoleWPrintf(L"failed to initialized ...\\n");\n    return -1;',
     'ConsoleWPrintf(L"failed to initialized ...\\n");', 'failed set-up goes on'),
    ('cli/pfndb.cpp', 'if (ConsoleFlush() != 0) status = -1;', 'ConsoleFlush();',
     'a failed flush still exits 0'),
    ('cli/pfndb.cpp', 'ProcessNameListRelease(&names);\n  RuntimeFree(ranges);\n  ProcessHeapFree',
     'RuntimeFree(ranges);\n  ProcessHeapFree', 'name records leak'),
    ('cli/pfndb.cpp', 'ProcessHeapFree(request);', 'RuntimeFree(request);',
     'request released to the wrong heap'),
    ('cli/pfndb.cpp', 'L"%s %s \\n", programToken', 'L"%s %s\\n", programToken',
     'banner loses its space'),
    ('cli/command_line_posix.cpp',
     'return *argument == \'\\0\' || strpbrk(argument, " \\t\\"") != nullptr;',
     'return strpbrk(argument, " \\t") != nullptr;', 'empty and quoted arguments left bare'),
    ('cli/command_line_posix.cpp', 'Put(&writer, \'\\\\\', 2 * backslashes + 1);',
     'Put(&writer, \'\\\\\', backslashes + 1);', 'backslashes before a quote not doubled'),
    ('cli/command_line_posix.cpp', 'void Put(Writer* writer, unsigned char byte,',
     'void Put(Writer* writer, char byte,', 'bytes above 0x7F sign-extended'),
    ('native/console.cpp', 'PutText(value <= 0xFF ? static_cast<char>(value) : \'?\');',
     'PutText(value < 0xFF ? static_cast<char>(value) : \'?\');', 'wide 0xFF becomes ?'),
    ('native/console.cpp', '(precision < 0 || length < precision)',
     '(precision < 0 || length <= precision)', 'precision lets one more through'),
    ('native/console.cpp', 'upper ? "0123456789ABCDEF" : "0123456789abcdef"',
     'upper ? "0123456789abcdef" : "0123456789ABCDEF"', 'hex case swapped'),
    ('native/console.cpp', 'if (sink(g_buffer, g_used) != 0) g_writeFailed = true;',
     'sink(g_buffer, g_used);', 'a failed write forgotten'),
    ('native/console.cpp',
     'if (g_sink == nullptr && StandardOutputFlush() != 0) g_writeFailed = true;',
     'if (g_sink == nullptr) StandardOutputFlush();', 'a failed final flush forgotten'),
    ('native/console.cpp', 'if (kBufferSize - g_used < bytes) Drain();',
     'if (kBufferSize - g_used < bytes / 2) Drain();', 'reservation smaller than promised'),
    ('native/console.cpp', 'size_t take = count < room ? count : room;', 'size_t take = count;',
     'write past the buffer'),
    ('native/heap.cpp', 'return Count(calloc(bytes == 0 ? 1 : bytes, 1), &g_runtimeBlocks);',
     'return Count(malloc(bytes == 0 ? 1 : bytes), &g_runtimeBlocks);',
     'runtime calloc not zeroed'),
    ('native/heap.cpp', '--g_processBlocks;', '--g_runtimeBlocks;', 'heaps share one count'),
    ('native/module_posix.cpp',
     'if (stemLength > 4 && memcmp(name + length - 4, ".dll", 4) == 0) length -= 4;',
     '', '.dll kept in the module name'),
    ('native/native_query.cpp', 'adjust(kSeDebugPrivilege, 1, 0, &g_privilegeWasEnabled);',
     'adjust(kSeDebugPrivilege, 1, 1, &g_privilegeWasEnabled);', 'privilege for the thread only'),
    ('native/native_query.cpp', 'envelope->subClass = subClass;', 'envelope->subClass = 0;',
     'sub-class not set'),
    ('pfn/pfn.h', 'uint32_t filled = reported < bufferBytes ? reported : bufferBytes;',
     'uint32_t filled = reported;', 'reported bytes trusted past the buffer'),
    ('pfn/pfn.h', 'return filled < headerBytes ? 0 : (filled - headerBytes) / itemBytes;',
     'return filled < headerBytes ? 0 : (filled - headerBytes + itemBytes - 1) / itemBytes;',
     'a partial item counted'),
    ('pfn/memory_ranges.cpp', 'if (returnLength < sizeof(MemoryRangeInfo)) return -1;', '',
     'ranges header not checked'),
    ('pfn/memory_ranges.cpp',
     'if (status < 0) {', 'if (status > 0) {', 'warning and error swapped'),
    ('pfn/memory_ranges.cpp',
     'if (info->rangeCount > room) info->rangeCount = static_cast<int32_t>(room);',
     '', 'range count not clamped'),
    ('pfn/memory_ranges.cpp',
     '(uint64_t{highestPage} + 1) * sizeof(PfnEntry)', 'uint64_t{highestPage} * sizeof(PfnEntry)',
     'request one entry short'),
    ('pfn/memory_ranges.cpp', 'if (size > static_cast<PfnRequestSize>(~PfnRequestSize{0}))',
     'if (size > static_cast<PfnRequestSize>(~PfnRequestSize{0} >> 1))',
     'request size limit halved'),
    ('pfn/process_names.cpp',
     'int64_t count = promised < room ? promised : room;',
     'int64_t count = room;', 'record count ignored'),
    ('pfn/process_names.cpp',
     'ItemsWithin(bufferBytes, reported,', 'ItemsWithin(reported, reported,',
     'records read past the buffer'),
    ('pfn/process_names.cpp', 'if (source->sourceType != kPrivateSourceProcess) return 0;',
     'if (source->sourceType == 1) return 0;', 'other sources kept'),
    ('pfn/process_names.cpp',
     'record->links.previous = tail;', 'record->links.previous = &list->head;',
     'backward link broken'),
    ('pfn/process_names.cpp',
     'int result = CollectProcesses(service, info, layout, bufferLength, returnLength, list);\n'
     '    ProcessHeapFree(info);',
     'int result = CollectProcesses(service, info, layout, bufferLength, returnLength, list);\n'
     '    RuntimeFree(info);',
     'answer released to the wrong heap'),
    ('pfn/process_names.cpp', 'PrintQueryFailure(service, status);\n      ProcessHeapFree(info);',
     'PrintQueryFailure(service, status);', 'answer leaks on a failed fetch'),
    ('pfn/process_names.cpp',
     'memcpy(info, &layout.version, sizeof(layout.version));\n    MakeSuperfetchInformation',
     'MakeSuperfetchInformation', 'fetch without its version'),
    ('pfn/pfn_request.cpp',
     'uint64_t take = most - named;', 'uint64_t take = most;',
     'request overfilled across ranges'),
    ('pfn/pfn_request.cpp', 'header->requestFlags = 1;', '', 'request flags not set'),
    ('pfn/pfn_request.cpp', 'if (requestSize < sizeof(PfnRequest)) return -1;', '',
     'request header not checked'),
    ('pfn/range_walk.cpp', 'const PageNumber room = static_cast<PageNumber>(~range.firstPage);',
     'const PageNumber room = static_cast<PageNumber>(~range.firstPage) >> 1;', 'wrap limit wrong'),
    ('pfn/range_walk.cpp', 'while (walk->nextRange < walk->info->rangeCount)',
     'while (walk->nextRange <= walk->info->rangeCount)', 'one range too many'),
    ('pfn/range_walk.cpp', 'return pages < capacity ? pages : capacity;', 'return pages;',
     'report reads past the request'),
    ('pfn/format32.h', 'return static_cast<Key>(words >> 9); }',
     'return static_cast<Key>((words >> 9 & 0x7FFFFF) | (words >> 32) << 24); }',
     'key takes the wrong bit'),
    ('report/report.cpp', 'if (use >= kNoValueUse) {', 'if (use > kNoValueUse) {',
     'use 12 looked up'),
    ('report/report.cpp', 'NarrowName(PageListNames[list], 15, text)',
     'NarrowName(PageListNames[list], 16, text)', 'list name cut at 16'),
    ('report/report.cpp', 'memcpy(out + 13, "000 ", 4);', 'memcpy(out + 13, "000\\t", 4);',
     'address field ends in a tab'),
    ('report/report.cpp',
     '// The span may be another now; count again after this line.\n        batchEnd = entry + 1;',
     '', 'batch not recounted after long names'),
    ('report/report.cpp', '>= found->length + kAfterNamesReach)', '>= found->length)',
     'names leave no room for the line end'),
    ('report/report.cpp', 'bool common =\n        slot.names == 0 && ', 'bool common =\n        ',
     'shared slot overwritten'),
    ('report/report.cpp', '((slot.key ^ key) | use) == 0', '(slot.key ^ key) == 0',
     'names on pages of other uses'),
    ('report/report.cpp', 'group->length += static_cast<uint32_t>(ShownNameLength(record) + 2);',
     'group->length += static_cast<uint32_t>(ShownNameLength(record) + 1);', 'group length short'),
    ('report/report.cpp', '{Four(address >> 16, 7), Four(address & 0xFFFF, 7)}',
     '{Four(address >> 16, 39), Four(address & 0xFFFF, 39)}',
     'integer path: address lower case'),
    ('report/report.cpp', 'if (record->key != key) continue;', 'if (record->key == key) continue;',
     'list search inverted'),
    ('report/report.cpp', '// The rest of the line.\n    EnsureRoom(span, kAfterNamesReach);', '',
     'list search leaves no room for the line end'),
    # pfnstat (stat/)
    ('stat/dump_reader.cpp', 'if (reader->skipping) --reader->lineNumber;', '',
     'pieces of a long line before the table numbered as lines'),
    ('stat/dump_reader.cpp',
     'length == sizeof(kDumpHeader) - 1 && memcmp(line, kDumpHeader, length) == 0',
     'length >= sizeof(kDumpHeader) - 1 && memcmp(line, kDumpHeader, sizeof(kDumpHeader) - 1) == 0',
     'header matched as a prefix'),
    ('stat/dump_reader.cpp', 'reader->begin += newline + 1 - start;\n  ++reader->lineNumber;',
     'reader->begin += newline + 1 - start;', 'lines taken quickly not numbered'),
    ('stat/dump_reader.cpp', 'if (reader->atEnd || left == kDumpMaxLine) {',
     'if (reader->atEnd) {', 'a line filling the buffer taken for the last'),
    ('stat/dump_reader.cpp', 'bad |= d;', 'bad = d;', 'plain hex path checks the last digit only'),
    ('stat/dump_reader.cpp', "table.value['A' + d] = static_cast<uint8_t>(10 + d);", '',
     'plain hex path refuses upper-case digits'),
    ('stat/dump_reader.cpp', 'for (int i = 0; i < 16; ++i) {', 'for (int i = 0; i < 15; ++i) {',
     'plain hex path reads fifteen digits'),
    ('stat/tally.cpp', 'if (tally->rangeCount < kMaxRanges) {',
     'if (tally->rangeCount <= kMaxRanges) {', 'one range too many kept'),
    ('stat/tally.cpp', 'tally->pagesLeftOut += (tally->open.end - tally->open.start) >> 12;',
     '++tally->pagesLeftOut;', 'a range left out counts one page'),
    ('stat/tally.cpp', 'tally->rangesLeftOut = 0;', '',
     'ranges left out carried into the next dump'),
    ('stat/tally.cpp', '>= kMaxOwners ||', '> kMaxOwners ||', 'one owner too many kept'),
    ('stat/tally.cpp', 'tally->slots[slot] = row + 1;',
     'tally->slots[hash & (kSlotCount - 1)] = row + 1;', 'a colliding owner takes its home slot'),
    ('stat/tally.cpp', 'page.address == end && page.address != 0',
     'page.address == end', 'a range at the top of the address space goes on at 0'),
    ('stat/tally.cpp', 'if (tally->otherRow == 0) {', 'if (true) {',
     'each further owner a row of its own'),
    ('stat/views.cpp', 'if (i > 0 && (n - i) % 3 == 0)', 'if ((n - i) % 3 == 0)',
     'leading separator on 3, 6 and 9 digits'),
    ('stat/views.cpp',
     'labelWidth = rows[r].length < kWidestLabel ? rows[r].length : kWidestLabel;',
     'labelWidth = rows[r].length;', 'a long owner widens the table'),
    ('stat/views.cpp', 'for (size_t r = 0; r <= count; ++r) {\n    if (rows[r].length',
     'for (size_t r = 0; r < count; ++r) {\n    if (rows[r].length',
     'the total row left out of the widths'),
    ('stat/views.cpp', "quote |= text[i] == ',' || ", 'quote |= ', 'a comma alone not quoted'),
    ('stat/views.cpp', "|| text[i] == '\"' ||", '||', 'a quote alone not quoted'),
    ('stat/views.cpp', "|| text[i] == '\\r' ||", '||', 'a carriage return not quoted'),
    ('stat/views.cpp', "|| text[i] == '\\n';", ';', 'a line feed not quoted'),
    ('stat/views.cpp', "if (text[i] == '\"') fputc('\"', out);", '',
     'quotes in a quoted field not doubled'),
    ('stat/views.cpp', 'tally.rangeCount + tally.rangesLeftOut == 1 ? "" : "s"',
     'tally.rangeCount + tally.rangesLeftOut > 1 ? "s" : ""', 'no ranges counted as one'),
    ('stat/views.cpp', 'return x.length < y.length ? -1 : x.length > y.length;',
     'return x.length > y.length ? -1 : x.length < y.length;', 'a name after its extension'),
    ('stat/views.cpp', 'if (AllZero(row)) continue;',
     'if (row.pages[kListCount] == 0) continue;', 'owners whose pages moved left out'),
    ('stat/pfnstat.cpp', 'if (fflush(out) != 0 || ferror(out)) {', 'if (fflush(out) != 0) {',
     'an earlier failed write forgotten'),
    ('stat/pfnstat.cpp', 'if (fflush(out) != 0 || ferror(out)) {', 'if (fflush(out) && 0) {',
     'a full device exits 0'),
    ('stat/pfnstat.cpp', 'PageMap* drawn = dump == sources - 1 ? map : nullptr;',
     'PageMap* drawn = dump == 0 ? map : nullptr;', 'the map draws DUMP, not AFTER'),
    ('stat/pfnstat.cpp', 'PageMap* drawn = dump == sources - 1 ? map : nullptr;',
     'PageMap* drawn = map;', 'the map draws both dumps'),
    ('stat/pfnstat.cpp', 'strcmp(options->dumps[0], "-") == 0 &&',
     'strcmp(options->dumps[0], "-") == 0 ||', '- and a file refused'),
    ('stat/pfnstat.cpp', "} else if (!onlyDumps && arg[0] == '-' && arg[1] != '\\0') {",
     "} else if (!onlyDumps && arg[0] == '-') {", '- taken for an option'),
    ('stat/pfnstat.cpp', 'options->dumps[options->dumpCount++] = arg;',
     'options->dumps[options->dumpCount++] = arg;\n      onlyDumps = 1;',
     'options after a dump taken for dumps'),
    ('stat/pfnstat.cpp', 'options.view == kViewRanges && tally->rangesLeftOut != 0',
     'options.view == kViewRanges && tally->rangesLeftOut != 0 && 0',
     'ranges CSV past the limit not refused'),
    ('stat/page_map.cpp', 'if (file == nullptr && errno != EEXIST) break;',
     'if (file == nullptr) break;', 'a stale temporary file blocks the map'),
    ('stat/page_map.cpp', 'if (status != 0) RemoveNamedFile(temporary);', '',
     'a failed map leaves its temporary file'),
    ('stat/page_map.cpp', '(map->highest >> g.shift) + 1 > kPageMapMaxPixels',
     '(map->highest >> g.shift) + 1 >= kPageMapMaxPixels', 'a full-size picture made coarser'),
    ('stat/page_map.cpp', 'memset(low + half / 2, 0, half / 2);', '',
     'a lone chunk keeps stale cells when merged'),
    ('stat/page_map.cpp', 'if (!map->any || page > map->highest) map->highest = page;',
     'map->highest = page;', 'the last page taken for the highest'),    ('stat/page_map.cpp', 'if (fclose(file) != 0 && status == 0) {',
     'if (fclose(file) != 0 && status == 0 && 0) {', 'a map whose close failed put in place'),
    ('stat/views.cpp', '(table && IsText(row.text, shown, kTotal))',
     'IsText(row.text, shown, kTotal)', 'Total quoted in the CSV'),
    ('stat/views.cpp', "while (table && shown > 0 && row.text[shown - 1] == ' ') --shown;", '',
     'Total with trailing spaces left bare'),
    ('stat/views.cpp', 'quote |= c < 0x20 || c == 0x7F;', 'quote |= c < 0x20;',
     'DEL left bare in the tables'),
    ('stat/views.cpp', "if (table && (c == '\\\\' || ", 'if (table && (',
     'a backslash in quotes not doubled'),
    ('stat/views.cpp', '"\\\\x%02x"', '"\\\\x%x"', 'a control byte in one hex digit'),
    ('stat/views.cpp', 'OwnerRows(source, 1, &owners)', 'OwnerRows(source, 0, &owners)',
     'the tables quote owners as the CSV does'),
    ('stat/live.cpp', 'failed (status %08x)', 'failed (status %x)',
     'a status of success printed as 0'),
    ('stat/live.cpp', '(searchList && machine->listNames == nullptr)', 'searchList',
     'no name index taken for no memory'),
    ('stat/live.cpp', 'if (record->key != key) continue;', 'if (record->key == key) continue;',
     'live list search inverted'),
    ('stat/live.cpp', "i < kImageNameBytes && record->imageName[i] != '\\0'",
     "record->imageName[i] != '\\0'", 'live list search reads a 12-byte name past its end'),
    ('native/heap.cpp', '  g_failedRequests += block == nullptr;\n', '',
     "the heap's own refusals not counted"),
    ('stat/pfnstat.cpp', '} else if (!onlyDumps && strcmp(arg, "--live") == 0) {',
     '} else if (strcmp(arg, "--live") == 0) {', '--live after -- taken for the option'),
    ('stat/pfnstat.cpp', 'if (*got == 0 && ferror(from->file)) {',
     'if (*got == 0 && ferror(from->file) && 0) {', 'a read error taken for the end of a dump'),
    ('stat/pfnstat.cpp', '    return Flushed(out, err);\n  }\n  StatTally',
     '    return fflush(out) == 0 ? 0 : 2;\n  }\n  StatTally', '--help forgets a failed write'),
    ('stat/dump_reader.cpp', '  if (ParsePageLine(start, length, page) != 0) return 0;',
     '  ParsePageLine(start, length, page);', 'a bad line taken by the quick path'),
    ('stat/dump_reader.cpp', 'reader->inTable = length == sizeof(kDumpHeader) - 1 && memcmp',
     'reader->inTable = memcmp', "a header's start or a blank line starts the table"),
    ('stat/dump_reader.cpp', '    if (Refill(reader) != 0) return -1;',
     '    if (Refill(reader) != 0) return 0;', 'a failed read taken for the end of the input'),
    ('stat/pfnstat.cpp', '      if (options->csv || i + 1 == argc) {', '      if (i + 1 == argc) {',
     '--csv given twice taken'),
    ('stat/tally.h', 'const uint32_t kNotOwnedRow = kMaxOwners + 2;',
     'const uint32_t kNotOwnedRow = kMaxOwners + 1;', 'pages of other uses in the last owner row'),
    # Faults written from the product code alone after the formats, slices
    # and live reading changed; "fresh:" tells them apart.
    ('stat/live.cpp', 'asked == kPfnLayoutUnknown ? kLiveLayout : kLivePfnQuery',
     'kLivePfnQuery', 'fresh: live: unknown layout told as a failed query'),
    ('stat/live.cpp', 'TallyOwnerRow(tally, names + 1, length - 2)',
     'TallyOwnerRow(tally, names, length)', 'fresh: live owner text keeps its outer spaces'),
    ('stat/live.cpp', 'page.address = uint64_t{entry->pageFrameNumber} << 12;',
     'page.address = uint64_t{static_cast<uint32_t>(entry->pageFrameNumber << 12)};',
     'fresh: live address cut to 32 bits'),
    ('stat/live.cpp', 'page.row = use == 0 ? RowOfKey(machine, tally, ProcessKey(*entry)) : kNotOwnedRow;',
     'page.row = RowOfKey(machine, tally, ProcessKey(*entry));',
     'fresh: live pages of every use given an owner'),
    ('stat/live.cpp', 'HeapFailedRequests() != failedBefore ? kLiveNoMemory : step',
     'step', 'fresh: live: a heap refusal told as the step\'s failure'),
    ('stat/views.cpp', ' || (row.length != 0 && row.text[0] == \'"\');', ';',
     'fresh: a label starting with a quote left bare'),
    ('stat/views.cpp', 'int quote = IsText(row.text, shown, kNoOwner) || ', 'int quote = ',
     'fresh: a label reading (none) left bare'),
    ('stat/views.cpp', '    size_t n = c == \'"\' ? 2 : 1;', '    size_t n = 1;',
     'fresh: quotes in a quoted label not doubled'),
    ('stat/views.cpp', "put[1] = c == '\\r' ? 'r' : c == '\\n' ? 'n'",
     "put[1] = c == '\\r' ? 'n' : c == '\\n' ? 'r'", 'fresh: \\r and \\n escapes swapped'),
    ('stat/views.cpp', 'for (uint32_t i = 0; table && i < row.length; ++i) {',
     'for (uint32_t i = 0; i < row.length; ++i) {', 'fresh: CSV labels with control bytes quoted twice'),
    ('stat/pfnstat.cpp', 'if (options->live && options->dumpCount == 2) {',
     'if (options->live && options->dumpCount > 2) {', 'fresh: --live with two dumps taken'),
    ('stat/pfnstat.cpp', 'ReadLive(options.dumpCount, tally, map, err)', 'ReadLive(0, tally, map, err)',
     'fresh: the machine read into DUMP\'s place'),
    ('pfn/memory_ranges.cpp',
     'return status == kStatusInvalidParameter || status == kStatusInfoLengthMismatch;',
     'return status == kStatusInvalidParameter;', 'fresh: ranges: a length mismatch not retried as version 2'),
    ('pfn/memory_ranges.cpp', 'block[0] = 2;', 'block[0] = 1;', 'fresh: version 2 asked as version 1'),
    ('pfn/memory_ranges.cpp', 'for (int attempt = 0; attempt < 2; ++attempt) {',
     'for (int attempt = 0; attempt < 1; ++attempt) {',
     'fresh: version 2 not asked again with the size it wants'),
    ('pfn/memory_ranges.cpp', '      if (count > room) count = static_cast<int32_t>(room);\n', '',
     'fresh: version 2 count not clamped to the answer'),
    ('pfn/memory_ranges.cpp', 'ranges[k].pageCount - 1 > highestPage - ranges[k].firstPage',
     'ranges[k].pageCount > highestPage - ranges[k].firstPage',
     'fresh: a version 2 range ending at the highest page refused'),
    ('pfn/memory_ranges.cpp', 'if (version2 && !WithinTheMachine(info, highestPage)) {',
     'if (false && !WithinTheMachine(info, highestPage)) {',
     'fresh: version 2 ranges not checked against the machine'),
    ('pfn/memory_ranges.cpp',
     'const uint32_t least = bufferLength + (Format::kRangesV2Header - sizeof(MemoryRangeInfo));',
     'const uint32_t least = bufferLength;', 'fresh: version 2 block no longer than version 1'),
    ('pfn/memory_ranges.cpp', '    } else {\n      service->lastStatus = first;\n    }', '    }',
     'fresh: version 2 failure\'s status kept instead of version 1\'s'),
    ('pfn/pfn_request.cpp', '  return j == count;\n}', '  return true;\n}',
     'fresh: pages not checked to come back as sent'),
    ('pfn/pfn_request.cpp',
     '    if (*status != kStatusSuccess && !Refused(*status)) return kProbeFailed;\n', '',
     'fresh: probe: a refused privilege taken for an unknown layout'),
    ('pfn/pfn_request.cpp',
     'Format::kBits == 32 && !filled && (firstStatus == kStatusSuccess || Refused(firstStatus));',
     'Format::kBits == 32 && !filled && firstStatus == kStatusSuccess;',
     'fresh: 32-bit: a refused first layout not retried at the next'),
    ('pfn/pfn_request.cpp', 'return firstStatus != kStatusSuccess ? -1 : kPfnLayoutUnknown;',
     'return -1;', 'fresh: unknown layout returned as a plain failure'),
    ('pfn/pfn_request.cpp', '"entries at 0x%x"', '"entries at %u"', 'fresh: trace offset in decimal'),
    ('pfn/pfn_request.cpp', '      slices->cursor = from;\n', '',
     'fresh: next layout\'s slice starts past the first try\'s pages'),
    ('pfn/pfn_request.cpp',
     'PrintQueryFailure(service, firstStatus != kStatusSuccess ? firstStatus : status);',
     'PrintQueryFailure(service, status);', 'fresh: slices report the later layout\'s refusal'),
    ('pfn/pfn_request.cpp',
     '      PrintNoLayout(service);\n      return FailSlices(slices, kPfnLayoutUnknown);\n    }\n  } else {',
     '      PrintNoLayout(service);\n      return FailSlices(slices, -1);\n    }\n  } else {',
     'fresh: a later slice not sent back reported as a refusal'),
    ('pfn/pfn_request.cpp', '  if (slices->failed != 0) return slices->failed;\n', '',
     'fresh: slices asked again after a failure'),
    ('pfn/pfn_request.cpp', '    if (cursor->left < take) take = cursor->left;\n', '',
     'fresh: slices name pages past the request\'s room'),
    ('pfn/pfn_request.cpp', 'CursorStart(&slices->cursor, ranges, PfnRequestEntriesFor(ranges, requestSize));',
     'CursorStart(&slices->cursor, ranges, RangeWalkPageCount(ranges));',
     'fresh: slices not bounded by the request size'),
    ('pfn/range_walk.cpp', '    if (range.pageCount == 0) continue;\n', '',
     'fresh: an empty range walked'),
    ('pfn/process_names.cpp', 'source->hasSecondKey = source->keys[1] != 0 && ',
     'source->hasSecondKey = ', 'fresh: a second key of 0 named'),
    ('pfn/process_names.cpp', ' && source->keys[1] != source->keys[0];', ';',
     'fresh: a second key equal to the first named twice'),
    ('pfn/process_names.cpp', '    second->key = source.keys[1];\n', '',
     'fresh: second record keeps the first key'),
    ('pfn/process_names.cpp', '    if (!source.hasSecondKey) continue;', '    continue;',
     'fresh: second key never named'),
    ('pfn/process_names.cpp',
     'static_cast<ProcessKeyValue>(ReadField(record, layout.keys[1]) & Format::kKeyMask);',
     'static_cast<ProcessKeyValue>(ReadField(record, layout.keys[1]));',
     'fresh: second key not masked to 48 bits'),
    ('pfn/process_names.cpp', 'Hex(source->shownId, true, id);', 'Hex(source->shownId, false, id);',
     'fresh: Client ID in lower case'),
    ('pfn/process_names.cpp', 'out[i] = reversed[n - 1 - i];', 'out[i] = reversed[i];',
     'fresh: hex digits least significant first'),
    ('pfn/process_names.cpp', 'PrintQueryFailure(service, l == 0 ? status : firstStatus);',
     'PrintQueryFailure(service, status);', 'fresh: sources report the last refusal'),
    ('native/native_query.cpp', 'status %08lx, returned', 'status %lx, returned',
     'fresh: trace status not zero-padded'),
    ('native/native_query.cpp', 'Trace(service, asked, envelope->length, status, returnLength);',
     'Trace(service, asked, sizeof(*envelope), status, returnLength);',
     'fresh: trace gives the envelope\'s length, not the data\'s'),
    ('report/report.cpp', '_mm_and_si128(_mm_cmpgt_epi8(va, nine), _mm_set1_epi8(7)));',
     '_mm_and_si128(_mm_cmpgt_epi8(va, nine), _mm_set1_epi8(39)));',
     'fresh: 64-bit SSE2 virtual address in lower case'),
    ('report/report.cpp', 'Sixteen(entry.pageFrameNumber << 12, 39, digits->address);',
     'Sixteen(entry.pageFrameNumber << 12, 7, digits->address);',
     'fresh: 64-bit plain address in upper case'),
    ('report/report.cpp', 'value >> (48 - 16 * i)', 'value >> (16 * i)',
     'fresh: 64-bit plain digit groups in reverse order'),
    ('report/report.cpp', 'const __m128i address = _mm_unpacklo_epi8(high, lowNibbles);',
     'const __m128i address = _mm_unpacklo_epi8(lowNibbles, high);',
     'fresh: 64-bit SSE2 address nibbles swapped'),
    ('cli/pfndb.cpp',
     'int DumpPfnDatabase() { return Format::kBits == 64 ? DumpInSlices() : DumpInOneRequest(); }',
     'int DumpPfnDatabase() { return DumpInOneRequest(); }',
     'fresh: 64-bit program asks in one request'),
    ('cli/pfndb.cpp',
     '      const int got = PfnSlicesNext(service, &slices, &entries, &count);\n',
     '      if (!started) PfnReportStart(&names, &report);\n      started = true;\n'
     '      const int got = PfnSlicesNext(service, &slices, &entries, &count);\n',
     'fresh: header printed before the first slice came back'),
    ('cli/pfndb.cpp', '  PfnSlicesEnd(&slices);\n', '', 'fresh: sliced dump leaks its slice buffer'),
    ('cli/pfndb.cpp',
     '      if (got < 0) {\n        ConsoleWPrintf(L"SetUp Pfn Database failed ...\\n");\n',
     '      if (got < 0) {\n', 'fresh: a failed slice ends the dump silently'),
    ('pfn/format32.h', 'kEntryOffsets[2] = {96, 104};', 'kEntryOffsets[2] = {96, 100};',
     'fresh: 32-bit Windows 8 entries at 100'),
    ('pfn/format32.h', '{8, 12, 8, 64, 0, {16, 4}', '{8, 12, 8, 60, 0, {16, 4}',
     'fresh: 32-bit version 8 records 60 bytes'),
    ('pfn/format32.h', '{3, 8, 4, 48, 0, {16, 4}, {24, 4}, 32,',
     '{3, 8, 4, 48, 0, {16, 4}, {24, 4}, 28,', 'fresh: 32-bit version 3 name at 28'),
    ('pfn/format32.h', 'return static_cast<Key>(words >> 9); }',
     'return static_cast<Key>(words >> 8); }', 'fresh: 32-bit key from bit 8'),
    ('pfn/format32.h', 'kRangesV2Header = 12;', 'kRangesV2Header = 16;',
     'fresh: 32-bit version 2 ranges at 16'),
    ('pfn/format32.h', 'kBasicInformationBytes = 44;', 'kBasicInformationBytes = 64;',
     'fresh: 32-bit class 0 asked with 64 bytes'),
    ('pfn/format64.h', 'kKeyMask = (uint64_t{1} << 48) - 1;',
     'kKeyMask = (uint64_t{1} << 47) - 1;', 'fresh: 64-bit key mask 47 bits'),
    ('pfn/format64.h', 'return words >> 9 & kKeyMask;', 'return words >> 8 & kKeyMask;',
     'fresh: 64-bit key from bit 8'),
    ('pfn/format64.h', 'kEntryOffsets[2] = {0xC0, 0xB8};', 'kEntryOffsets[2] = {0xB8, 0xC0};',
     'fresh: 64-bit layouts tried Windows 7 first'),
    ('pfn/format64.h', '52, {{4, 4}, {24, 8}}}', '52, {{4, 4}, {32, 8}}}',
     'fresh: 64-bit version 8 second key at 32'),
    ('pfn/format64.h', '{40, 8}, 52,', '{40, 4}, 52,', 'fresh: 64-bit version 8 size cut to 32 bits'),
    ('pfn/format64.h', 'kRangesV2Header = 16;', 'kRangesV2Header = 12;',
     'fresh: 64-bit version 2 ranges at 12'),
    ('pfn/format64.h', '{8, 16, 8, 96, 0, {4, 4}, {40, 8}, 52, {{4, 4}, {24, 8}}},\n'
     '      {3, 8, 4, 64, 0, {8, 8}, {36, 4}, 44, {{8, 8}, {24, 8}}},',
     '{3, 8, 4, 64, 0, {8, 8}, {36, 4}, 44, {{8, 8}, {24, 8}}},\n'
     '      {8, 16, 8, 96, 0, {4, 4}, {40, 8}, 52, {{4, 4}, {24, 8}}},',
     'fresh: 64-bit sources tried version 3 first'),
]


# The two programs' catch rates are told apart: pfnstat is everything in
# stat/, pfndb the rest.
AREAS = ('pfndb', 'pfnstat')


def AreaOf(path):
    return 'pfnstat' if path.startswith('stat/') else 'pfndb'


def run(command, cwd, timeout=None):
    try:
        done = subprocess.run(command, cwd=cwd, stdout=subprocess.DEVNULL,
                              stderr=subprocess.DEVNULL, timeout=timeout)
        return done.returncode == 0
    except subprocess.TimeoutExpired:
        return False


def suite_passes(tree, preset):
    if not run(['cmake', '--build', '--preset', preset, '-j2'], tree):
        return False
    return run(['ctest', '--preset', preset, '-j2', '--stop-on-failure', '--timeout', '120'], tree,
               timeout=900)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--asan', action='store_true', help='retry survivors under preset asan')
    parser.add_argument('--only', action='append', default=[],
                        help='only mutants whose file, text or description holds this (repeatable)')
    parser.add_argument('--keep', help='scratch folder to use and keep (default: a temporary one)')
    args = parser.parse_args()

    source = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    tree = args.keep or tempfile.mkdtemp(prefix='pfndb-mutants-')
    files = subprocess.run(['git', 'ls-files'], cwd=source, check=True, capture_output=True,
                           text=True).stdout.split()
    for name in files:
        os.makedirs(os.path.join(tree, os.path.dirname(name)), exist_ok=True)
        here, there = os.path.join(source, name), os.path.join(tree, name)
        # A fresh time on every changed file: a kept build must not take a
        # mutant's object for the file's.
        if not os.path.exists(there) or open(here, 'rb').read() != open(there, 'rb').read():
            shutil.copyfile(here, there)
            shutil.copymode(here, there)

    presets = ['default'] + (['asan'] if args.asan else [])
    for preset in presets:
        if not run(['cmake', '--preset', preset], tree) or not suite_passes(tree, preset):
            sys.exit(f'mutants: the unchanged tree does not pass preset {preset}')

    caught, survived, stale = [], [], []
    for path, snippet, replacement, what in MUTANTS:
        if args.only and not any(only in path + snippet + what for only in args.only):
            continue
        full = os.path.join(tree, path)
        original = ''
        if os.path.exists(full):
            with open(full) as f:
                original = f.read()
        if original.count(snippet) != 1:
            stale.append((path, what))
            print(f'stale     {path}: {what}', flush=True)
            continue
        with open(full, 'w') as f:
            f.write(original.replace(snippet, replacement))
        try:
            by = next((p for p in presets if not suite_passes(tree, p)), None)
        finally:
            with open(full, 'w') as f:
                f.write(original)
        (caught if by else survived).append((path, what))
        print(f'{"caught" if by else "SURVIVED"}  {path}: {what}' + (f' ({by})' if by else ''),
              flush=True)

    print()
    for area in AREAS:
        mine = [c for c in caught if AreaOf(c[0]) == area]
        total = len(mine) + len([s for s in survived if AreaOf(s[0]) == area])
        if total:
            print(f'mutants {area}: caught {len(mine)} of {total}'
                  f' ({100.0 * len(mine) / total:.0f} %)')
    total = len(caught) + len(survived)
    print(f'mutants: caught {len(caught)} of {total}'
          + (f' ({100.0 * len(caught) / total:.0f} %)' if total else '')
          + (f'; {len(stale)} stale' if stale else ''))
    for path, what in survived:
        print(f'  survived: {path}: {what}')
    if not args.keep:
        shutil.rmtree(tree)


if __name__ == '__main__':
    main()

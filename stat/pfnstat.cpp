#include "stat/pfnstat.h"

#include <cerrno>
#include <cinttypes>
#include <cstring>

#include "stat/dump_reader.h"
#include "stat/feed.h"
#include "stat/live.h"
#include "stat/page_map.h"
#include "stat/tally.h"
#include "stat/views.h"

namespace {

const char kUsage[] =
    "usage: pfnstat [--csv uses|processes|ranges] [--map FILE.png] DUMP [AFTER]\n"
    "       pfnstat [--csv uses|processes|ranges] [--map FILE.png] [DUMP] --live\n";

const char kHelp[] =
    "\n"
    "Summarizes a page-frame dump written by `pfndb -p`: memory per page use\n"
    "and list, process-private memory per owner, and the physical ranges.\n"
    "With AFTER, a later dump of the same machine, the uses and owners show\n"
    "AFTER minus DUMP, and the ranges are AFTER's. A dump named - is read\n"
    "from standard input. --live takes the place of the last dump: this\n"
    "machine as it is now, asked as `pfndb -p` asks it.\n"
    "\n"
    "  --csv VIEW      print only VIEW (uses, processes or ranges) as CSV,\n"
    "                  counting pages\n"
    "  --map FILE.png  also draw physical memory from address 0 to the last\n"
    "                  dump's highest page, left to right and top to bottom,\n"
    "                  a pixel a page (or a block of pages past 64 GiB, in the\n"
    "                  colour of its most common use):\n";

const char kHelpEnd[] = "  --help          print this text\n";

const int kStatusFailed = 2;

struct Options {
  int help;
  int csv;  // 0, or 1 with view
  StatView view;
  const char* map;  // or null
  const char* dumps[2];
  int dumpCount;
  int live;  // the machine comes after the dumps
};

// Returns 0, or -1 with a reason for a command line that means nothing.
int ScanOptions(int argc, char** argv, Options* options, const char** reason) {
  memset(options, 0, sizeof(*options));
  int onlyDumps = 0;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (!onlyDumps && strcmp(arg, "--help") == 0) {
      options->help = 1;
    } else if (!onlyDumps && strcmp(arg, "--csv") == 0) {
      if (options->csv || i + 1 == argc) {
        *reason = options->csv ? "--csv given twice" : "--csv needs a view";
        return -1;
      }
      const char* view = argv[++i];
      options->csv = 1;
      if (strcmp(view, "uses") == 0) {
        options->view = kViewUses;
      } else if (strcmp(view, "processes") == 0) {
        options->view = kViewProcesses;
      } else if (strcmp(view, "ranges") == 0) {
        options->view = kViewRanges;
      } else {
        *reason = "--csv takes uses, processes or ranges";
        return -1;
      }
    } else if (!onlyDumps && strcmp(arg, "--map") == 0) {
      if (options->map != nullptr || i + 1 == argc) {
        *reason = options->map != nullptr ? "--map given twice" : "--map needs a file name";
        return -1;
      }
      options->map = argv[++i];
    } else if (!onlyDumps && strcmp(arg, "--live") == 0) {
      if (options->live) {
        *reason = "--live given twice";
        return -1;
      }
      options->live = 1;
    } else if (!onlyDumps && strcmp(arg, "--") == 0) {
      onlyDumps = 1;
    } else if (!onlyDumps && arg[0] == '-' && arg[1] != '\0') {
      *reason = "unknown option";
      return -1;
    } else {
      if (options->dumpCount == 2) {
        *reason = "more than two dumps";
        return -1;
      }
      options->dumps[options->dumpCount++] = arg;
    }
  }
  if (options->help) return 0;
  if (options->live && options->dumpCount == 2) {
    *reason = "--live takes the place of AFTER: at most one dump with it";
    return -1;
  }
  if (options->dumpCount == 0 && !options->live) {
    *reason = "no dump named";
    return -1;
  }
  if (options->dumpCount == 2 && strcmp(options->dumps[0], "-") == 0 &&
      strcmp(options->dumps[1], "-") == 0) {
    *reason = "standard input can be read only once";
    return -1;
  }
  return 0;
}

struct FileSource {
  FILE* file;
  int error;  // errno of a failed read
};

int ReadFromFile(void* source, char* buffer, size_t capacity, size_t* got) {
  FileSource* from = static_cast<FileSource*>(source);
  *got = fread(buffer, 1, capacity, from->file);
  if (*got == 0 && ferror(from->file)) {
    from->error = errno;
    return -1;
  }
  return 0;
}

const char* ShownName(const char* path) {
  return strcmp(path, "-") == 0 ? "(standard input)" : path;
}

// Reads one whole dump into the tally as dump `dump`, and into map unless
// it is null. Returns 0, or -1 after saying why on err.
int ReadDump(const char* path, int dump, DumpReader* reader, StatTally* tally, PageMap* map,
             FILE* in, FILE* err) {
  const char* name = ShownName(path);
  const int fromInput = strcmp(path, "-") == 0;
  FileSource source = {fromInput ? in : fopen(path, "rb"), 0};
  if (source.file == nullptr) {
    fprintf(err, "pfnstat: cannot open %s: %s\n", path, strerror(errno));
    return -1;
  }
  DumpReaderRestart(reader, ReadFromFile, &source);
  int mapFull = 0;
  const int next = FeedTally(NextDumpPages, reader, tally, dump, map, &mapFull);
  if (!fromInput) fclose(source.file);
  if (next == 0 && mapFull != 0) {
    fprintf(err, "pfnstat: out of memory for the map\n");
    return -1;
  }
  if (next == 0) {
    if (reader->cutShortLine != 0) {
      fprintf(err, "pfnstat: %s:%" PRIu64 ": warning: last line cut short, ignored\n", name,
              reader->cutShortLine);
    }
    return 0;
  }
  if (reader->error == kDumpReadFailed) {
    fprintf(err, "pfnstat: cannot read %s: %s\n", name, strerror(source.error));
  } else if (reader->error == kDumpNoTable) {
    fprintf(err, "pfnstat: %s: no page-frame table\n", name);
  } else {
    fprintf(err, "pfnstat: %s:%" PRIu64 ": not a page line\n", name, reader->errorLine);
  }
  return -1;
}

// Reads this machine into the tally as dump `dump`, and into map unless it
// is null. Returns 0, or -1 after saying why on err.
int ReadLive(int dump, StatTally* tally, PageMap* map, FILE* err) {
  LiveMachine machine;
  int result = LiveMachineRead(&machine);
  int mapFull = 0;
  if (result == 0) result = FeedTally(NextLivePages, &machine, tally, dump, map, &mapFull);
  if (result != 0) PrintLiveFailure(machine, err);
  LiveMachineFree(&machine);
  if (result == 0 && mapFull != 0) {
    fprintf(err, "pfnstat: out of memory for the map\n");
    return -1;
  }
  return result;
}

// Returns 0 once everything written to out has gone, or the failed status
// after saying why on err. A write may have failed on the way although the
// flush succeeds (Windows' runtime drops the buffer it could not write):
// the stream's error flag remembers.
int Flushed(FILE* out, FILE* err) {
  if (fflush(out) != 0 || ferror(out)) {
    fprintf(err, "pfnstat: cannot write the output: %s\n", strerror(errno));
    return kStatusFailed;
  }
  return 0;
}

int Run(const Options& options, DumpReader* reader, StatTally* tally, PageMap* map, FILE* in,
        FILE* out, FILE* err) {
  // The map shows the last dump: AFTER when there is one. The machine comes
  // last, so a dump that cannot be read fails before it is asked.
  const int sources = options.dumpCount + options.live;
  for (int dump = 0; dump < options.dumpCount; ++dump) {
    PageMap* drawn = dump == sources - 1 ? map : nullptr;
    if (ReadDump(options.dumps[dump], dump, reader, tally, drawn, in, err) != 0) {
      return kStatusFailed;
    }
  }
  if (options.live && ReadLive(options.dumpCount, tally, map, err) != 0) return kStatusFailed;
  const char* first = options.dumpCount > 0 ? ShownName(options.dumps[0]) : kLiveName;
  const char* last = options.live ? kLiveName : ShownName(options.dumps[options.dumpCount - 1]);
  if (options.csv && options.view == kViewRanges && tally->rangesLeftOut != 0) {
    fprintf(err, "pfnstat: %s: more than %" PRIu64 " physical ranges\n", last,
            static_cast<uint64_t>(kMaxRanges));
    return kStatusFailed;
  }
  // Written before the tables, so that a failure leaves no tables either.
  char reason[256];
  if (map != nullptr && PageMapWritePng(map, options.map, reason, sizeof(reason)) != 0) {
    fprintf(err, "pfnstat: cannot write %s: %s\n", options.map, reason);
    return kStatusFailed;
  }
  ViewSource source = {tally, sources == 2, first, sources == 2 ? last : nullptr};
  const int written =
      options.csv ? WriteViewCsv(source, options.view, out) : PrintViews(source, out);
  if (written != 0) {
    fprintf(err, "pfnstat: out of memory\n");
    return kStatusFailed;
  }
  return Flushed(out, err);
}

}  // namespace

int RunPfnstat(int argc, char** argv, FILE* in, FILE* out, FILE* err) {
  Options options;
  const char* reason = nullptr;
  if (ScanOptions(argc, argv, &options, &reason) != 0) {
    fprintf(err, "pfnstat: %s\n%s", reason, kUsage);
    return kStatusFailed;
  }
  if (options.help) {
    fputs(kUsage, out);
    fputs(kHelp, out);
    // The legend's lines, under the option they belong to.
    for (const char* line = kPageMapLegend; *line != '\0';) {
      const char* end = strchr(line, '\n');
      const size_t length = end != nullptr ? end + 1 - line : strlen(line);
      fprintf(out, "              %.*s", static_cast<int>(length), line);
      line += length;
    }
    fputs(kHelpEnd, out);
    return Flushed(out, err);
  }
  StatTally tally;
  DumpReader reader;
  int status = kStatusFailed;
  const int tallyMade = TallyInit(&tally);
  const int readerMade = DumpReaderInit(&reader, nullptr, nullptr);
  PageMap* map = options.map != nullptr ? PageMapCreate() : nullptr;
  if (tallyMade != 0 || readerMade != 0 || (options.map != nullptr && map == nullptr)) {
    fprintf(err, "pfnstat: out of memory\n");
  } else {
    status = Run(options, &reader, &tally, map, in, out, err);
  }
  PageMapDestroy(map);
  DumpReaderFree(&reader);
  TallyFree(&tally);
  return status;
}

// Runs the built pfnstat as a user would: files, pipes, exit statuses, and
// which stream each text goes to; and, in this process, into a stream that
// fails as Windows' do.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

#include "stat/pfnstat.h"

namespace {

const std::string kBuild = PFNDB_BUILD_DIR;
const std::string kData = PFNSTAT_TEST_DATA;

struct Result {
  std::string out;
  std::string err;
  int status;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

// A folder of this process's own (CTest runs the tests side by side),
// removed when the process ends.
struct Folder {
  std::string path = testing::TempDir() + "pfnstat_run_" + std::to_string(getpid()) + "/";
  Folder() { mkdir(path.c_str(), 0700); }
  ~Folder() { EXPECT_EQ(system(("rm -rf " + path).c_str()), 0); }
};

std::string WorkDir() {
  static const Folder folder;
  return folder.path;
}

// Runs a shell command line whose stderr is kept apart from its stdout.
Result Shell(const std::string& command) {
  const std::string errPath = WorkDir() + "err";
  Result result;
  FILE* pipe = popen((command + " 2>" + errPath).c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  char buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.out.append(buffer, n);
  const int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  result.err = ReadFile(errPath);
  return result;
}

const std::string kStat = kBuild + "/pfnstat ";
const std::string kSmall = kData + "/small.dump";

TEST(PfnstatProgram, ViewsFromFilesAndPipesWithEitherLineEnd) {
  const std::string views = ReadFile(kData + "/small_views.txt");
  for (const std::string& input : {"cat " + kSmall, "sed 's/$/\\r/' " + kSmall}) {
    Result piped = Shell(input + " | " + kStat + "-");
    EXPECT_EQ(piped.status, 0);
    EXPECT_EQ(piped.out, views);
    EXPECT_EQ(piped.err, "");
  }
  Result csv = Shell(kStat + "--csv processes " + kSmall);
  EXPECT_EQ(csv.status, 0);
  EXPECT_EQ(csv.out, ReadFile(kData + "/small_processes.csv"));
}

TEST(PfnstatProgram, UsageAndErrorsGoToStderrWithStatus2) {
  const std::string usage =
      "usage: pfnstat [--csv uses|processes|ranges] [--map FILE.png] DUMP [AFTER]\n";
  for (const char* args : {"", "--csv", "--csv pages x", "-x x", "a b c", "- -", "x --map",
                           "--map a --map b x", "--csv uses --csv uses x"}) {
    Result result = Shell(kStat + args);
    EXPECT_EQ(result.status, 2) << args;
    EXPECT_EQ(result.out, "") << args;
    EXPECT_NE(result.err.find("\n" + usage), std::string::npos) << args;
  }
  Result help = Shell(kStat + "x --help");
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.find(usage), 0u);
  EXPECT_NE(help.out.find("  red      process private\n"), std::string::npos);
  EXPECT_EQ(help.err, "");

  const std::string dir = WorkDir();
  std::ofstream(dir + "notable") << "NativeQuerySuperFecthInformation failed c0000003\n";
  std::ofstream(dir + "badline") << ReadFile(kSmall) << "cannot convert string to unicode \n";
  std::ofstream(dir + "cut") << ReadFile(kSmall) << "0000000000008000 Zero li";
  const struct {
    std::string args;
    int status;
    std::string err;
  } cases[] = {
      {"/nonexistent/a", 2, "pfnstat: cannot open /nonexistent/a: No such file or directory\n"},
      {"-- --live", 2, "pfnstat: cannot open --live: No such file or directory\n"},
      {dir, 2, "pfnstat: cannot read " + dir + ": Is a directory\n"},
      {kSmall + " " + dir + "notable", 2, "pfnstat: " + dir + "notable: no page-frame table\n"},
      {"- < " + dir + "badline", 2, "pfnstat: (standard input):30: not a page line\n"},
      {dir + "cut", 0, "pfnstat: " + dir + "cut:30: warning: last line cut short, ignored\n"},
      {"--map /nonexistent/m.png " + kSmall, 2,
       "pfnstat: cannot write /nonexistent/m.png: No such file or directory\n"},
  };
  for (const auto& c : cases) {
    Result result = Shell(kStat + c.args);
    EXPECT_EQ(result.status, c.status) << c.args;
    EXPECT_EQ(result.err, c.err) << c.args;
    EXPECT_EQ(result.out.empty(), c.status != 0) << c.args;
  }
}

// A dump of the given page lines in the work folder; returns its path.
std::string WriteDump(const std::string& name, const std::string& lines) {
  const std::string path = WorkDir() + name;
  std::ofstream(path, std::ios::binary)
      << "Address        List         Type       Process      VA \n"
      << lines;
  return path;
}

std::string PageLines(uint64_t count, uint64_t step, const char* fields) {
  std::string lines;
  for (uint64_t i = 0; i < count; ++i) {
    char line[128];
    snprintf(line, sizeof(line), "%016llx %s 0000000000000000 \n",
             static_cast<unsigned long long>((i + 1) * step), fields);
    lines += line;
  }
  return lines;
}

TEST(PfnstatProgram, OptionsAndDumpsInAnyOrderAndTheMapOfTheLastDump) {
  // Fewer and other pages than the small dump's, none above 4 GiB.
  const std::string later = WriteDump("later", PageLines(3, 0x3000, "Zero list  AWE "));
  const std::string both = kSmall + " " + later;
  const std::string expected = Shell(kStat + "--csv uses " + both).out;
  ASSERT_NE(expected.find("\nawe,3,"), std::string::npos);
  for (const std::string& args :
       {kSmall + " --csv uses " + later, "- --csv uses " + later + " <" + kSmall,
        "--csv uses " + kSmall + " - <" + later, "--csv uses -- " + both}) {
    Result result = Shell(kStat + args);
    EXPECT_EQ(result.status, 0) << args;
    EXPECT_EQ(result.out, expected) << args;
  }
  const std::string dir = WorkDir();
  for (const std::string& args :
       {"both.png " + both, "later.png " + later, "small.png " + kSmall}) {
    EXPECT_EQ(Shell(kStat + "--map " + dir + args).status, 0) << args;
  }
  EXPECT_EQ(ReadFile(dir + "both.png"), ReadFile(dir + "later.png"));
  EXPECT_NE(ReadFile(dir + "both.png"), ReadFile(dir + "small.png"));
}

// Tables small enough to go out at the end, and large enough to fail while
// they are written.
TEST(PfnstatProgram, AFullDeviceIsAFailure) {
  const std::string owners =
      WriteDump("owners", PageLines(300, 0x1000, "Active  list  Process Private  a_process.exe "));
  for (const std::string& args :
       {kSmall, "--csv uses " + kSmall, owners, "--csv processes " + owners}) {
    Result result = Shell(kStat + args + " >/dev/full");
    EXPECT_EQ(result.status, 2) << args;
    EXPECT_EQ(result.err, "pfnstat: cannot write the output: No space left on device\n") << args;
  }
}

// Windows' C runtime drops a buffer it could not write, and a later flush
// then succeeds: only the stream's error flag remembers. A stream that fails
// its first write and takes the rest does the same here.
ssize_t FailFirstWrite(void* cookie, const char*, size_t size) {
  if ((*static_cast<int*>(cookie))++ > 0) return static_cast<ssize_t>(size);
  errno = ENOSPC;
  return -1;
}

void ExpectAWriteThatFailedOnceToFail(const char* arg) {
  int writes = 0;
  FILE* out = fopencookie(&writes, "w", {nullptr, FailFirstWrite, nullptr, nullptr});
  ASSERT_NE(out, nullptr);
  static char buffer[256];
  ASSERT_EQ(setvbuf(out, buffer, _IOFBF, sizeof(buffer)), 0);
  FILE* err = tmpfile();
  char* argv[] = {const_cast<char*>("pfnstat"), const_cast<char*>(arg), nullptr};
  EXPECT_EQ(RunPfnstat(2, argv, stdin, out, err), 2) << arg;
  EXPECT_GT(writes, 1);
  rewind(err);
  char message[128] = "";
  EXPECT_NE(fgets(message, sizeof(message), err), nullptr);
  EXPECT_EQ(std::string(message).find("pfnstat: cannot write the output: "), 0u);
  fclose(err);
  fclose(out);
}

TEST(PfnstatProgram, AWriteThatFailedOnceIsAFailure) {
  ExpectAWriteThatFailedOnceToFail(PFNSTAT_TEST_DATA "/small.dump");
  ExpectAWriteThatFailedOnceToFail("--help");
}

// Whatever an earlier run left under the map's name or its temporary name,
// the map is written whole or not at all.
TEST(PfnstatProgram, AMapIsWrittenWholeOrNotAtAllWhateverWasLeft) {
  const std::string tables = Shell(kStat + kSmall).out;
  const struct {
    const char* setup;  // @ is the map
    int status;
  } cases[] = {
      {"mkdir @", 2},      {"mkdir @; echo old >@.part", 2}, {"echo old >@.part", 0},
      {"mkdir @.part", 0}, {"echo old >@; chmod 444 @", 0},
  };
  int n = 0;
  for (const auto& c : cases) {
    const std::string map = WorkDir() + "left" + std::to_string(n++) + ".png";
    std::string setup = c.setup;
    for (size_t at; (at = setup.find('@')) != std::string::npos;) setup.replace(at, 1, map);
    ASSERT_EQ(system(setup.c_str()), 0) << setup;
    const std::string part = ReadFile(map + ".part");
    Result result = Shell(kStat + "--map " + map + " " + kSmall);
    EXPECT_EQ(result.status, c.status) << c.setup;
    struct stat left;
    ASSERT_EQ(stat(map.c_str(), &left), 0) << c.setup;
    if (c.status == 0) {
      EXPECT_EQ(result.out, tables) << c.setup;
      EXPECT_EQ(ReadFile(map).substr(0, 8), "\x89PNG\r\n\x1a\n") << c.setup;
    } else {
      EXPECT_EQ(result.out, "") << c.setup;
      EXPECT_EQ(result.err, "pfnstat: cannot write " + map + ": Is a directory\n") << c.setup;
      EXPECT_TRUE(S_ISDIR(left.st_mode)) << c.setup;
    }
    // What was left is as it was, and nothing more is.
    EXPECT_EQ(ReadFile(map + ".part"), part) << c.setup;
    EXPECT_NE(access((map + ".part1").c_str(), F_OK), 0) << c.setup;
  }
}

// The picture's last bytes go out as its file is closed: a disk full by
// then (a limit of 1 KiB on the picture of 1,172 bytes) leaves no picture.
TEST(PfnstatProgram, AMapWhoseLastBytesFailIsNoMap) {
  const std::string map = WorkDir() + "full.png";
  const Result result = Shell("bash -c \"trap '' XFSZ; ulimit -f 1; exec " + kStat + "--map " +
                              map + " " + kSmall + "\"");
  EXPECT_EQ(result.status, 2);
  EXPECT_EQ(result.err, "pfnstat: cannot write " + map + ": File too large\n");
  EXPECT_NE(access(map.c_str(), F_OK), 0);
  EXPECT_NE(access((map + ".part").c_str(), F_OK), 0);
}

TEST(PfnstatProgram, PastTheRangeLimitTheRestIsCountedAndItsCsvRefused) {
  // Every other page, 524,288 ranges of one page and then two of two.
  const uint64_t kLimit = 524288;
  const std::string ranges =
      WriteDump("ranges", PageLines(kLimit, 0x2000, "Zero list  AWE ") +
                              "0000000200000000 Zero list  AWE  0000000000000000 \n"
                              "0000000200001000 Zero list  AWE  0000000000000000 \n"
                              "0000000200003000 Zero list  AWE  0000000000000000 \n"
                              "0000000200004000 Zero list  AWE  0000000000000000 \n");
  const std::string tables = Shell(kStat + ranges).out;
  EXPECT_NE(tables.find("\n0000000100000000  0000000100001000          4\n"
                        "(2 more ranges not listed)                 16\n"
                        "Total: 524290 ranges                2,097,168\n"),
            std::string::npos)
      << tables.substr(tables.size() - 300);
  Result csv = Shell(kStat + "--csv ranges " + ranges);
  EXPECT_EQ(csv.status, 2);
  EXPECT_EQ(csv.out, "");
  EXPECT_EQ(csv.err, "pfnstat: " + ranges + ": more than 524288 physical ranges\n");
  // The change shows AFTER's ranges only.
  Result change = Shell(kStat + "--csv ranges " + ranges + " " + kSmall);
  EXPECT_EQ(change.status, 0) << change.err;
  EXPECT_EQ(change.out, Shell(kStat + "--csv ranges " + kSmall).out);
}

// The stand-in's later machine took free and standby pages for the private
// pages of its two largest processes: the change must say so.
TEST(PfnstatProgram, ChangeShowsTheLeakBetweenTwoStandinDumps) {
  const std::string dir = WorkDir();
  ASSERT_EQ(Shell("env -u LD_LIBRARY_PATH " + kBuild + "/pfndb -p >" + dir + "before").status, 0);
  ASSERT_EQ(Shell("env -u LD_LIBRARY_PATH PFNDB_STANDIN_LATER=1 " + kBuild + "/pfndb -p >" + dir +
                  "after")
                .status,
            0);
  Result owners = Shell(kStat + "--csv processes " + dir + "before " + dir + "after");
  ASSERT_EQ(owners.status, 0) << owners.err;
  // The two that grew come first, the rest shrank.
  std::istringstream rows(owners.out);
  std::string row;
  std::getline(rows, row);
  for (const char* grown : {"devenv.exe,", "firefox.exe,"}) {
    std::getline(rows, row);
    EXPECT_EQ(row.find(grown), 0u) << owners.out;
    EXPECT_NE(row[row.rfind(',') + 1], '-') << row;
  }
  std::getline(rows, row);
  EXPECT_EQ(row[row.rfind(',') + 1], '-') << row;

  // Pages only changed hands: free and standby paid for the active ones.
  Result uses = Shell(kStat + "--csv uses " + dir + "before " + dir + "after");
  const size_t total = uses.out.find("\ntotal,");
  ASSERT_NE(total, std::string::npos) << uses.out;
  long long zero, free, standby, modified, noWrite, bad, active, transition, sum;
  ASSERT_EQ(sscanf(uses.out.c_str() + total, "\ntotal,%lld,%lld,%lld,%lld,%lld,%lld,%lld,%lld,%lld",
                   &zero, &free, &standby, &modified, &noWrite, &bad, &active, &transition, &sum),
            9);
  EXPECT_LT(free, 0);
  EXPECT_LT(standby, 0);
  EXPECT_EQ(active, -(free + standby));
  EXPECT_EQ(sum, 0);
}

}  // namespace

namespace {

std::string Replaced(std::string text, const std::string& from, const std::string& to) {
  for (size_t at = 0; (at = text.find(from, at)) != std::string::npos; at += to.size())
    text.replace(at, from.size(), to);
  return text;
}

// Every view and the map of --live equal those of the same machine's dump,
// but for the title's name; and DUMP --live those of DUMP AFTER.
TEST(PfnstatLive, EqualsTheDumpOfTheSameMachineViewByView) {
  const std::string dir = WorkDir();
  const std::string pfndb = "env -u LD_LIBRARY_PATH " + kBuild + "/pfndb -p >";
  ASSERT_EQ(Shell(pfndb + dir + "now").status, 0);
  ASSERT_EQ(Shell("PFNDB_STANDIN_LATER=1 " + pfndb + dir + "later").status, 0);
  const std::string stat = "env -u LD_LIBRARY_PATH " + kStat;
  for (const char* later : {"", "PFNDB_STANDIN_LATER=1 "}) {
    const std::string dump = dir + (*later ? "later" : "now");
    for (const char* view : {"", "--csv uses ", "--csv processes ", "--csv ranges "}) {
      const Result dumped = Shell(stat + view + "--map " + dir + "d.png " + dump);
      const Result live = Shell(later + stat + view + "--map " + dir + "l.png --live");
      ASSERT_EQ(dumped.status, 0) << dumped.err;
      EXPECT_EQ(live.status, 0) << live.err;
      EXPECT_EQ(live.err, "");
      EXPECT_EQ(Replaced(dumped.out, dump, "(this machine)"), live.out) << later << view;
      EXPECT_EQ(ReadFile(dir + "d.png"), ReadFile(dir + "l.png")) << later << view;
    }
  }
  for (const char* view : {"", "--csv uses ", "--csv processes ", "--csv ranges "}) {
    const Result dumped = Shell(stat + view + dir + "now " + dir + "later");
    const Result live = Shell("PFNDB_STANDIN_LATER=1 " + stat + view + dir + "now --live");
    EXPECT_EQ(live.status, 0) << live.err;
    EXPECT_EQ(Replaced(dumped.out, dir + "later", "(this machine)"), live.out) << view;
    EXPECT_NE(live.out.find(*view ? "1" : "-> (this machine)"), std::string::npos);
  }
  // The 64-bit pair, whichever way the system lays out its answers.
  for (const char* windows : {"x64-7", "x64-1909", "x64-24h2"}) {
    const std::string env = "env -u LD_LIBRARY_PATH PFNDB_STANDIN_WINDOWS=" + std::string(windows);
    ASSERT_EQ(Shell(env + " " + kBuild + "/pfndb64 -p >" + dir + "x64").status, 0);
    for (const char* view : {"", "--csv processes "}) {
      const Result dumped = Shell(env + " " + kBuild + "/pfnstat64 " + view + dir + "x64");
      const Result live = Shell(env + " " + kBuild + "/pfnstat64 " + view + "--live");
      ASSERT_EQ(live.status, 0) << live.err;
      EXPECT_EQ(Replaced(dumped.out, dir + "x64", "(this machine)"), live.out) << windows;
    }
  }
}

// A module without an entry, or one refusing every query: one line (two
// for a refusal), status 2, and nothing of what pfndb prints on the way.
TEST(PfnstatLive, FailuresNameTheStepAndNothingElse) {
  const std::string line = "pfnstat: cannot read this machine's page-frame database: ";
  const struct {
    const char* standin;
    std::string err;
  } cases[] = {
      {"no_entries", line + "no RtlAdjustPrivilege in ntdll\n"},
      {"no_query", line + "no NtQuerySystemInformation in ntdll\n"},
      {"refusing", line + "the physical ranges query failed (status c0000022)\n" +
                       "pfnstat: run it from an elevated console (as administrator)\n"},
  };
  for (const auto& c : cases) {
    for (const char* args :
         {"--live", "--csv ranges --live", "- --live < " PFNSTAT_TEST_DATA "/small.dump"}) {
      const Result result =
          Shell("LD_LIBRARY_PATH=" + kBuild + "/standins/" + c.standin + " " + kStat + args);
      EXPECT_EQ(result.status, 2) << c.standin << args;
      EXPECT_EQ(result.out, "") << c.standin << args;
      EXPECT_EQ(result.err, c.err) << c.standin << args;
    }
  }
  // The heap itself refusing the ranges' answer (3 GiB, under a limit of
  // 600 MB) rather than a test's hook. The sanitizer's build cannot start
  // under such a limit.
  const std::string limited = "ulimit -v 600000 && ";
  if (Shell(limited + kStat + "--help").status == 0) {
    EXPECT_EQ(
        Shell(limited + "LD_LIBRARY_PATH=" + kBuild + "/standins/boundless " + kStat + "--live")
            .err,
        line + "out of memory\n");
  }
  // Pages in no layout pfnstat knows.
  EXPECT_EQ(
      Shell("env -u LD_LIBRARY_PATH PFNDB_STANDIN_FAULTS=1 " + kBuild + "/pfnstat64 --live").err,
      line +
          "the page-frame query answered in no layout pfnstat knows (run it with PFNDB_TRACE=1 "
          "and report the lines)\n");
  // A dump that cannot be read fails first, as without --live.
  EXPECT_EQ(Shell(kStat + "/nonexistent/a --live").err,
            "pfnstat: cannot open /nonexistent/a: No such file or directory\n");
  for (const char* args : {"--live --live", "a b --live", "--live a b"}) {
    const Result result = Shell(kStat + args);
    EXPECT_EQ(result.status, 2) << args;
    EXPECT_EQ(result.out, "") << args;
    EXPECT_NE(result.err.find("usage: pfnstat"), std::string::npos) << args;
  }
}

}  // namespace

// Runs the built pfndb as a user would, with the stand-in module it finds
// beside itself or one put in its place through LD_LIBRARY_PATH.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>

namespace {

const std::string kBuild = PFNDB_BUILD_DIR;

struct Result {
  std::string out;
  int status;
};

Result RunShell(const std::string& command) {
  Result result;
  FILE* pipe = popen(command.c_str(), "r");
  EXPECT_NE(pipe, nullptr);
  char buffer[1 << 16];
  size_t n;
  while ((n = fread(buffer, 1, sizeof(buffer), pipe)) > 0) result.out.append(buffer, n);
  int raw = pclose(pipe);
  result.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
  return result;
}

Result RunPfndb(const std::string& args, const std::string& libraryPath = "") {
  std::string env =
      libraryPath.empty() ? "env -u LD_LIBRARY_PATH " : "env LD_LIBRARY_PATH=" + libraryPath + " ";
  return RunShell(env + kBuild + "/pfndb " + args);
}

std::string Banner() {
  return kBuild +
         "/pfndb  Copyright (C) 2026 The pfndb authors \n"
         "This program comes with ABSOLUTELY NO WARRANTY; for details run it with -w.\n"
         "It is free software under the GNU General Public License, version 3 or later.\n";
}

std::string ReadData(const std::string& name) {
  std::ifstream in(std::string(PFNDB_TEST_DATA) + "/" + name, std::ios::binary);
  std::ostringstream text;
  text << in.rdbuf();
  return text.str();
}

size_t CountLines(const std::string& text) {
  size_t lines = 0;
  for (char c : text) lines += c == '\n';
  return lines;
}

}  // namespace

TEST(PfndbProgram, DumpsTheSimulatedMachineTheSameEveryRun) {
  Result first = RunPfndb("-p");
  Result second = RunPfndb("-p");
  ASSERT_EQ(first.status, 0);
  EXPECT_EQ(first.out, second.out);
  EXPECT_EQ(first.out.find(Banner() + "NativeQuerySuperFecthInformation failed c0000023\n"
                                      "NativeQuerySuperFecthInformation failed c0000023\n"
                                      "Client ID 4 Name: System \n"),
            0u);
  size_t header = first.out.find("Address        List         Type       Process      VA \n");
  ASSERT_NE(header, std::string::npos);
  // One line per page of the machine's four ranges.
  const size_t pages = 0x9e + 0xbf00 + 0x2f00 + 0x8000;
  EXPECT_EQ(CountLines(first.out.substr(header)), pages + 1);
  EXPECT_NE(first.out.find("\n0000000100000000 "), std::string::npos);
  EXPECT_NE(first.out.find("\n0000000107fff000 "), std::string::npos);
  EXPECT_NE(first.out.find(" wmiprvse.exe "), std::string::npos);
  EXPECT_NE(first.out.find(" cmd.exe  conhost.exe "), std::string::npos);
  EXPECT_NE(first.out.find(" Caf\xE9Manager. "), std::string::npos);
}

// Each program on each Windows the stand-in plays. The three 64-bit
// generations lay out every answer differently, and name owners by pointer
// or by id, yet give the same dump; it is the 32-bit dump of the same
// machine with 64-bit virtual addresses. Where the format is not the
// system's, the first query fails. The trace goes to stderr alone.
TEST(PfndbProgram, EachFormatOnEachWindows) {
  const char* windows[] = {"7", "10", "x64-7", "x64-1909", "x64-24h2"};
  // Queries each asks: one more for each layout refused or mistaken before
  // the one taken, and the 64-bit program's short request.
  const size_t queries[] = {6, 8, 9, 7, 8};
  std::string dumps[2][5];
  for (int program = 0; program < 2; ++program) {
    const std::string name = program == 0 ? "/pfndb" : "/pfndb64";
    for (int w = 0; w < 5; ++w) {
      const std::string run =
          "env -u LD_LIBRARY_PATH PFNDB_STANDIN_WINDOWS=" + std::string(windows[w]) + " " + kBuild +
          name + " -p";
      const Result result = RunShell(run);
      const Result traced = RunShell("PFNDB_TRACE=1 " + run + " 2>&1 >/dev/null");
      EXPECT_EQ(RunShell("PFNDB_TRACE=1 " + run + " 2>/dev/null").out, result.out);
      EXPECT_NE(traced.out.find(program == 0 ? "trace: class 0, length 44: "
                                             : "trace: class 0, length 64: "),
                std::string::npos)
          << traced.out;
      if ((w < 2) != (program == 0)) {
        EXPECT_EQ(result.status, 255) << name << windows[w];
        EXPECT_EQ(result.out.substr(result.out.find("NativeQuery")),
                  "NativeQueryBasicInformation failed c0000004\nfailed to get memory range ...\n");
        continue;
      }
      EXPECT_EQ(result.status, 0) << name << windows[w];
      EXPECT_EQ(CountLines(traced.out), queries[w]) << traced.out;
      // 11 24H2: version 1 ranges refused, version 2's header 8 bytes
      // longer; the processes, then the 93,854 pages in two slices of
      // 65,536 entries' room (24 bytes each after 0xC0).
      if (program == 1 && w == 4) {
        EXPECT_EQ(traced.out,
                  "trace: class 0, length 64: status 00000000, returned 64\n"
                  "trace: class 79, sub-class 17, size probe, length 16: status c0000023, "
                  "returned 80\n"
                  "trace: class 79, sub-class 17, version 1, length 80: status c000000d, "
                  "returned 72\n"
                  "trace: class 79, sub-class 17, version 2, length 88: status 00000000, "
                  "returned 80\n"
                  "trace: class 79, sub-class 8, version 8, length 112: status c0000023, "
                  "returned 3376\n"
                  "trace: class 79, sub-class 8, version 8, length 3376: status 00000000, "
                  "returned 3376\n"
                  "trace: class 79, sub-class 6, entries at 0xc0, length 1573056: status "
                  "00000000, returned 1573056\n"
                  "trace: class 79, sub-class 6, entries at 0xc0, length 1573056: status "
                  "00000000, returned 679824\n");
      }
      dumps[program][w] = result.out;
    }
  }
  EXPECT_EQ(dumps[1][2], dumps[1][3]);
  EXPECT_EQ(dumps[1][2], dumps[1][4]);
  // 32-bit Windows 10 names its pages by process id, and prints the
  // pointer as the client ID: only those lines differ.
  std::istringstream seven(dumps[0][0]), ten(dumps[0][1]), x64(dumps[1][3]);
  std::string a, b, c;
  size_t lines = 0, clientLines = 0;
  bool pages = false;
  while (std::getline(seven, a) && std::getline(ten, b) && std::getline(x64, c)) {
    ++lines;
    if (a.compare(0, 10, "Client ID ") == 0) {
      ++clientLines;
      EXPECT_NE(a, b);
      EXPECT_EQ(a.substr(a.find(" Name: ")), b.substr(b.find(" Name: ")));
    } else {
      EXPECT_EQ(a, b);
    }
    // The same page, list, use and owners; a 64-bit virtual address.
    if (pages) {
      ASSERT_GT(a.size(), 17u);
      EXPECT_EQ(a.substr(0, a.size() - 17), c.substr(0, c.size() - 17));
    } else if (lines > 1) {
      EXPECT_EQ(a, c);
    }
    pages = pages || a.compare(0, 8, "Address ") == 0;
  }
  EXPECT_EQ(lines, CountLines(dumps[0][0]));
  EXPECT_EQ(clientLines, 31u);
}

// A slice in no known layout ends pfndb64's dump as a refused request
// does: the processes printed, no table header, the step's summary, 255.
TEST(PfndbProgram, ASliceInNoKnownLayoutEndsTheDump) {
  const Result result =
      RunShell("env -u LD_LIBRARY_PATH PFNDB_STANDIN_FAULTS=1 " + kBuild + "/pfndb64 -p");
  EXPECT_EQ(result.status, 255);
  EXPECT_EQ(result.out.find("Address "), std::string::npos);
  const std::string end =
      "size 5e\npage-frame entries come back in no layout this program knows\n"
      "SetUp Pfn Database failed ...\n";
  ASSERT_GT(result.out.size(), end.size());
  EXPECT_EQ(result.out.substr(result.out.size() - end.size()), end);
}

TEST(PfndbProgram, ModesAndExitStatus) {
  Result usage = RunPfndb("-x");
  EXPECT_EQ(usage.status, 0);
  EXPECT_EQ(usage.out, Banner() + "usage: " + kBuild + "/pfndb -p Dump Pfn Database \n");
  Result conditions = RunPfndb("-c");
  EXPECT_EQ(conditions.out, Banner() + " \n");
  Result warranty = RunPfndb("-w");
  EXPECT_EQ(warranty.status, 0);
  EXPECT_EQ(warranty.out, Banner() + ReadData("warranty.txt"));
}

TEST(PfndbProgram, QuotedArgumentsGiveTheTokensWindowsGives) {
  // Windows sees "-p x" with its quotes: the token "-p is no option.
  Result quoted = RunPfndb("'-p x'");
  EXPECT_EQ(quoted.status, 0);
  ASSERT_LT(quoted.out.size(), 4096u) << "dumped";
  EXPECT_EQ(quoted.out, Banner() + "usage: " + kBuild + "/pfndb -p Dump Pfn Database \n");
}

TEST(PfndbProgram, AnotherModuleTakesTheStandInsPlace) {
  Result noEntries = RunPfndb("-p", kBuild + "/standins/no_entries");
  EXPECT_EQ(noEntries.status, 255);
  EXPECT_EQ(noEntries.out, Banner() +
                               "cannot get adjust priviledge function pointer\n"
                               "failed to initialized ...\n");
  Result noQuery = RunPfndb("-w", kBuild + "/standins/no_query");
  EXPECT_EQ(noQuery.status, 255);
  EXPECT_EQ(noQuery.out, Banner() +
                             "cannot get access to NtQueryInformation\n"
                             "cannot initialize NtQuery pointer\n"
                             "failed to initialized ...\n");
  // Privileges refused is no failure; the first query then reports its status.
  Result refusing = RunPfndb("-p", kBuild + "/standins/refusing");
  EXPECT_EQ(refusing.status, 255);
  EXPECT_EQ(refusing.out, Banner() +
                              "NativeQueryBasicInformation failed c0000022\n"
                              "failed to get memory range ...\n");
  Result usage = RunPfndb("", kBuild + "/standins/refusing");
  EXPECT_EQ(usage.status, 0);
  // A stand-in told a size it cannot be refuses, rather than dump another.
  const std::string misreadRun = "PFNDB_STANDIN_PROCESSES=lots " + kBuild + "/pfndb -p";
  Result misread = RunShell(misreadRun + " 2>/dev/null");
  EXPECT_EQ(misread.status, 255);
  EXPECT_EQ(misread.out, Banner() +
                             "NativeQueryBasicInformation failed c0000022\n"
                             "failed to get memory range ...\n");
  EXPECT_EQ(
      RunShell(misreadRun + " 2>&1 >/dev/null").out,
      "ntdll stand-in: PFNDB_STANDIN_PROCESSES=lots is not a process count from 0 to 65536\n");
}

TEST(PfndbProgram, WithoutAnyModuleInitialisationFails) {
  std::string dir = kBuild + "/lonely";
  RunShell("mkdir -p " + dir + " && cp " + kBuild + "/pfndb " + dir + "/pfndb");
  Result result = RunShell("env -u LD_LIBRARY_PATH " + dir + "/pfndb -p");
  EXPECT_EQ(result.status, 255);
  EXPECT_NE(result.out.find("cannot get adjust priviledge function pointer\n"
                            "failed to initialized ...\n"),
            std::string::npos);
}

TEST(PfndbProgram, AClosedOutputIsAFailure) {
  // /dev/full refuses every write: the run must not claim success, also
  // when the whole output waits for the final flush.
  for (const char* mode : {"-p", "-w"}) {
    Result result =
        RunShell("env -u LD_LIBRARY_PATH " + kBuild + "/pfndb " + mode + " >/dev/full; echo $?");
    EXPECT_EQ(result.out, "255\n") << mode;
  }
}

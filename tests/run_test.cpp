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

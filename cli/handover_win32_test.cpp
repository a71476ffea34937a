#include "cli/handover.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// The Windows the fakes play, set by each case.
struct FakeWindows {
  bool wow64Fails;
  BOOL wow64;
  const wchar_t* self;  // this program's path; null: cut short as Windows XP cuts it
  DWORD attributes;     // of the sibling's path
  DWORD createError;    // 0: CreateProcessW succeeds
  DWORD waitResult;
  // What the calls saw.
  std::wstring attributesAsked, application, commandLine;
  BOOL inherit;
  STARTUPINFOW startup;
  int created;
  std::vector<std::string> errorLines;
} g_fake;

BOOL WINAPI FakeIsWow64(HANDLE, BOOL* wow64) {
  if (g_fake.wow64Fails) {
    SetLastError(ERROR_ACCESS_DENIED);
    return FALSE;
  }
  *wow64 = g_fake.wow64;
  return TRUE;
}

DWORD WINAPI FakeModuleFileName(HMODULE, wchar_t* path, DWORD capacity) {
  if (g_fake.self == nullptr) {
    // Windows XP fills the buffer, leaves out the terminator and succeeds.
    for (DWORD i = 0; i < capacity; ++i) path[i] = L'a';
    return capacity;
  }
  wcscpy(path, g_fake.self);
  return static_cast<DWORD>(wcslen(path));
}

DWORD WINAPI FakeAttributes(const wchar_t* path) {
  g_fake.attributesAsked = path;
  if (g_fake.attributes == INVALID_FILE_ATTRIBUTES) SetLastError(ERROR_FILE_NOT_FOUND);
  return g_fake.attributes;
}

BOOL WINAPI FakeCreate(const wchar_t* application, wchar_t* commandLine, SECURITY_ATTRIBUTES*,
                       SECURITY_ATTRIBUTES*, BOOL inherit, DWORD, void*, const wchar_t*,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
  ++g_fake.created;
  g_fake.application = application;
  g_fake.commandLine = commandLine;
  g_fake.inherit = inherit;
  g_fake.startup = *startup;
  // Windows may write into the command line it is given.
  commandLine[0] = L'#';
  if (g_fake.createError != 0) {
    SetLastError(g_fake.createError);
    return FALSE;
  }
  info->hProcess = info->hThread = nullptr;
  return TRUE;
}

DWORD WINAPI FakeWait(HANDLE, DWORD) {
  if (g_fake.waitResult == WAIT_FAILED) SetLastError(ERROR_INVALID_HANDLE);
  return g_fake.waitResult;
}

BOOL WINAPI FakeExitCode(HANDLE, DWORD* code) {
  *code = 0xFFFFFFFF;  // the sibling's -1
  return TRUE;
}

void CollectErrorLine(const char* line) { g_fake.errorLines.push_back(line); }

HandoverSystem FakeSystem(bool hasIsWow64) {
  HandoverSystem system = {hasIsWow64 ? FakeIsWow64 : nullptr,
                           FakeModuleFileName,
                           FakeAttributes,
                           FakeCreate,
                           FakeWait,
                           FakeExitCode,
                           CollectErrorLine};
  return system;
}

const wchar_t kSelf[] = L"C:\\Program Files\\pfndb\\pfndb.exe";
const DWORD kMissing = INVALID_FILE_ATTRIBUTES;
const DWORD kFile = FILE_ATTRIBUTE_ARCHIVE;

TEST(HandoverTest, RunsHereOrHandsOverAsWindowsAnswers) {
  const char* wait = "pfndb: cannot learn how the 64-bit program ended (error 6)";
  struct Case {
    const char* name;
    bool hasIsWow64, wow64Fails;
    BOOL wow64;
    const wchar_t* self;
    DWORD attributes, createError, waitResult;
    int result, created;
    const char* errorLine;  // or null
  } cases[] = {
      {"no IsWow64Process", false, false, TRUE, kSelf, kFile, 0, WAIT_OBJECT_0, kRunHere, 0,
       nullptr},
      {"IsWow64Process fails", true, true, TRUE, kSelf, kFile, 0, WAIT_OBJECT_0, kRunHere, 0,
       nullptr},
      {"32-bit Windows", true, false, FALSE, kSelf, kFile, 0, WAIT_OBJECT_0, kRunHere, 0, nullptr},
      {"no sibling", true, false, TRUE, kSelf, kMissing, 0, WAIT_OBJECT_0, kRunHere, 0,
       kPfndbHandover.missing},
      {"sibling a folder", true, false, TRUE, kSelf, FILE_ATTRIBUTE_DIRECTORY, 0, WAIT_OBJECT_0,
       kRunHere, 0, kPfndbHandover.missing},
      {"own path cut short", true, false, TRUE, nullptr, kFile, 0, WAIT_OBJECT_0, kRunHere, 0,
       kPfndbHandover.missing},
      {"sibling will not start", true, false, TRUE, kSelf, kFile, ERROR_BAD_EXE_FORMAT,
       WAIT_OBJECT_0, kRunHere, 1, kPfndbHandover.missing},
      {"handed over", true, false, TRUE, kSelf, kFile, 0, WAIT_OBJECT_0, kHandedOver, 1, nullptr},
      {"sibling lost", true, false, TRUE, kSelf, kFile, 0, WAIT_FAILED, kHandedOver, 1, wait},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_fake = FakeWindows();
    g_fake.wow64Fails = c.wow64Fails;
    g_fake.wow64 = c.wow64;
    g_fake.self = c.self;
    g_fake.attributes = c.attributes;
    g_fake.createError = c.createError;
    g_fake.waitResult = c.waitResult;
    uint32_t exitCode = 7;
    EXPECT_EQ(c.result, HandOverTo64(FakeSystem(c.hasIsWow64), kPfndbHandover, &exitCode));
    EXPECT_EQ(c.created, g_fake.created);
    EXPECT_EQ(c.result == kHandedOver ? 0xFFFFFFFF : 7u, exitCode);
    std::vector<std::string> lines;
    if (c.errorLine != nullptr) lines.push_back(c.errorLine);
    EXPECT_EQ(lines, g_fake.errorLines);
  }
}

TEST(HandoverTest, TheSiblingGetsOurFolderCommandLineAndHandles) {
  g_fake = FakeWindows();
  g_fake.wow64 = TRUE;
  g_fake.self = kSelf;
  g_fake.attributes = kFile;
  g_fake.waitResult = WAIT_OBJECT_0;
  uint32_t exitCode = 0;
  ASSERT_EQ(kHandedOver, HandOverTo64(FakeSystem(true), kPfnstatHandover, &exitCode));
  const std::wstring sibling = L"C:\\Program Files\\pfndb\\pfnstat64.exe";
  EXPECT_EQ(sibling, g_fake.attributesAsked);
  EXPECT_EQ(sibling, g_fake.application);
  EXPECT_EQ(std::wstring(GetCommandLineW()), g_fake.commandLine);
  EXPECT_NE(L'#', GetCommandLineW()[0]);
  EXPECT_TRUE(g_fake.inherit);
  EXPECT_EQ(static_cast<DWORD>(STARTF_USESTDHANDLES), g_fake.startup.dwFlags);
  EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), g_fake.startup.hStdInput);
  EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), g_fake.startup.hStdOutput);
  EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), g_fake.startup.hStdError);
}

}  // namespace

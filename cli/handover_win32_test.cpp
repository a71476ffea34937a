#include "cli/handover.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The Windows the fakes play, and what they were asked.
struct FakeWindows {
  BOOL wow64;
  const wchar_t* self;  // null: cut short, as Windows XP cuts it
  DWORD attributes, createError, waitResult;
  int created;
  std::wstring application, commandLine;
  BOOL inherit;
  STARTUPINFOW startup;
  std::string errors;
} g_fake;

BOOL WINAPI FakeIsWow64(HANDLE, BOOL* wow64) { return *wow64 = g_fake.wow64, TRUE; }
DWORD WINAPI FakeModuleFileName(HMODULE, wchar_t* path, DWORD capacity) {
  if (g_fake.self != nullptr) return wcscpy(path, g_fake.self), wcslen(path);
  for (DWORD i = 0; i < capacity; ++i) path[i] = L'a';  // no terminator
  return capacity;
}
DWORD WINAPI FakeAttributes(const wchar_t*) { return g_fake.attributes; }
BOOL WINAPI FakeCreate(const wchar_t* application, wchar_t* commandLine, SECURITY_ATTRIBUTES*,
                       SECURITY_ATTRIBUTES*, BOOL inherit, DWORD, void*, const wchar_t*,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
  ++g_fake.created;
  g_fake.application = application;
  g_fake.commandLine = commandLine;
  g_fake.inherit = inherit;
  g_fake.startup = *startup;
  commandLine[0] = L'#';  // Windows may write into it
  info->hProcess = info->hThread = nullptr;
  SetLastError(g_fake.createError);
  return g_fake.createError == 0;
}
DWORD WINAPI FakeWait(HANDLE, DWORD) {
  SetLastError(ERROR_INVALID_HANDLE);
  return g_fake.waitResult;
}
BOOL WINAPI FakeExitCode(HANDLE, DWORD* code) { return *code = 0xFFFFFFFF, TRUE; }
void CollectError(const char* line) { g_fake.errors += std::string(line) + "|"; }

TEST(HandoverTest, RunsHereOrHandsOverAsWindowsAnswers) {
  const wchar_t* self = L"C:\\Program Files\\pfndb\\pfnstat.exe";
  const std::string hint = std::string(kPfnstatHandover.missing) + "|";
  const DWORD kFile = FILE_ATTRIBUTE_ARCHIVE, kOk = WAIT_OBJECT_0;
  struct Case {
    const char* name;
    bool hasIsWow64;
    BOOL wow64;
    const wchar_t* self;
    DWORD attributes, createError, waitResult;
    int result, created;
    std::string errors;
  } cases[] = {
      {"no IsWow64Process", false, TRUE, self, kFile, 0, kOk, kRunHere, 0, ""},
      {"32-bit Windows", true, FALSE, self, kFile, 0, kOk, kRunHere, 0, ""},
      {"no sibling", true, TRUE, self, INVALID_FILE_ATTRIBUTES, 0, kOk, kRunHere, 0, hint},
      {"a folder", true, TRUE, self, FILE_ATTRIBUTE_DIRECTORY, 0, kOk, kRunHere, 0, hint},
      {"own path cut short", true, TRUE, nullptr, kFile, 0, kOk, kRunHere, 0, hint},
      {"will not start", true, TRUE, self, kFile, ERROR_BAD_EXE_FORMAT, kOk, kRunHere, 1, hint},
      {"handed over", true, TRUE, self, kFile, 0, kOk, kHandedOver, 1, ""},
      {"lost", true, TRUE, self, kFile, 0, WAIT_FAILED, kHandedOver, 1,
       "pfnstat: cannot learn how the 64-bit program ended (error 6)|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    g_fake = FakeWindows();
    g_fake.wow64 = c.wow64;
    g_fake.self = c.self;
    g_fake.attributes = c.attributes;
    g_fake.createError = c.createError;
    g_fake.waitResult = c.waitResult;
    const HandoverSystem system = {c.hasIsWow64 ? FakeIsWow64 : nullptr, FakeModuleFileName,
                                   FakeAttributes, FakeCreate, FakeWait, FakeExitCode,
                                   CollectError};
    uint32_t exitCode = 7;
    EXPECT_EQ(c.result, HandOverTo64(system, kPfnstatHandover, &exitCode));
    EXPECT_EQ(c.result == kHandedOver ? 0xFFFFFFFF : 7u, exitCode);
    EXPECT_EQ(c.errors, g_fake.errors);
    ASSERT_EQ(c.created, g_fake.created);
    if (c.created == 0) continue;
    // Our folder, our raw command line (left as it was), our standard handles.
    EXPECT_EQ(L"C:\\Program Files\\pfndb\\pfnstat64.exe", g_fake.application);
    EXPECT_EQ(std::wstring(GetCommandLineW()), g_fake.commandLine);
    EXPECT_NE(L'#', GetCommandLineW()[0]);
    EXPECT_TRUE(g_fake.inherit);
    EXPECT_EQ(static_cast<DWORD>(STARTF_USESTDHANDLES), g_fake.startup.dwFlags);
    EXPECT_EQ(GetStdHandle(STD_INPUT_HANDLE), g_fake.startup.hStdInput);
    EXPECT_EQ(GetStdHandle(STD_OUTPUT_HANDLE), g_fake.startup.hStdOutput);
    EXPECT_EQ(GetStdHandle(STD_ERROR_HANDLE), g_fake.startup.hStdError);
  }
}

}  // namespace

#include "cli/handover.h"

#include <gtest/gtest.h>

#include <string>

namespace {

// The Windows the fakes play.
struct Answers {
  BOOL wow64;
  const wchar_t* self;  // null: cut short, as Windows XP cuts it
  DWORD attributes, createError, waitResult;
};
// And what they were asked.
struct FakeWindows {
  Answers is;
  int created;
  std::wstring application, commandLine;
  BOOL inherit;
  STARTUPINFOW startup;
  std::string errors;
} g_fake;

BOOL WINAPI FakeIsWow64(HANDLE, BOOL* wow64) { return *wow64 = g_fake.is.wow64, TRUE; }
DWORD WINAPI FakeModuleFileName(HMODULE, wchar_t* path, DWORD capacity) {
  if (g_fake.is.self != nullptr) return wcscpy(path, g_fake.is.self), wcslen(path);
  return wmemset(path, L'a', capacity), capacity;  // no terminator
}
DWORD WINAPI FakeAttributes(const wchar_t*) { return g_fake.is.attributes; }
BOOL WINAPI FakeCreate(const wchar_t* application, wchar_t* commandLine, SECURITY_ATTRIBUTES*,
                       SECURITY_ATTRIBUTES*, BOOL inherit, DWORD, void*, const wchar_t*,
                       STARTUPINFOW* startup, PROCESS_INFORMATION* info) {
  g_fake.created++, g_fake.application = application, g_fake.commandLine = commandLine;
  g_fake.inherit = inherit, g_fake.startup = *startup;
  commandLine[0] = L'#';  // Windows may write into it
  info->hProcess = info->hThread = nullptr;
  SetLastError(g_fake.is.createError);
  return g_fake.is.createError == 0;
}
DWORD WINAPI FakeWait(HANDLE, DWORD) { return SetLastError(6), g_fake.is.waitResult; }
BOOL WINAPI FakeExitCode(HANDLE, DWORD* code) { return *code = 0xFFFFFFFF, TRUE; }
void CollectError(const char* line) { g_fake.errors += std::string(line) + "|"; }

TEST(HandoverTest, RunsHereOrHandsOverAsWindowsAnswers) {
  const wchar_t* self = L"C:\\Program Files\\pfndb\\pfnstat.exe";
  const std::string hint = std::string(kPfnstatHandover.missing) + "|";
  const DWORD kFile = FILE_ATTRIBUTE_ARCHIVE, kOk = WAIT_OBJECT_0;
  struct Case {
    bool hasIsWow64;
    Answers windows;
    int result;
    std::string errors;
  } cases[] = {
      {false, {TRUE, self, kFile, 0, kOk}, kRunHere, ""},
      {true, {FALSE, self, kFile, 0, kOk}, kRunHere, ""},  // 32-bit Windows
      {true, {TRUE, self, INVALID_FILE_ATTRIBUTES, 0, kOk}, kRunHere, hint},
      {true, {TRUE, self, FILE_ATTRIBUTE_DIRECTORY, 0, kOk}, kRunHere, hint},
      {true, {TRUE, nullptr, kFile, 0, kOk}, kRunHere, hint},
      {true, {TRUE, self, kFile, ERROR_BAD_EXE_FORMAT, kOk}, kRunHere, hint},
      {true, {TRUE, self, kFile, 0, kOk}, kHandedOver, ""},
      {true, {TRUE, self, kFile, 0, WAIT_FAILED}, kHandedOver,
       "pfnstat: cannot learn how the 64-bit program ended (error 6)|"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(&c - cases);
    g_fake = FakeWindows();
    g_fake.is = c.windows;
    const HandoverSystem system = {c.hasIsWow64 ? FakeIsWow64 : nullptr, FakeModuleFileName,
                                   FakeAttributes, FakeCreate, FakeWait, FakeExitCode,
                                   CollectError};
    uint32_t exitCode = 7;
    EXPECT_EQ(c.result, HandOverTo64(system, kPfnstatHandover, &exitCode));
    EXPECT_EQ(c.result == kHandedOver ? 0xFFFFFFFF : 7u, exitCode);
    EXPECT_EQ(c.errors, g_fake.errors);
    if (g_fake.created == 0) continue;
    // Our folder, our raw command line (left as it was), our standard handles.
    EXPECT_EQ(L"C:\\Program Files\\pfndb\\pfnstat64.exe", g_fake.application);
    EXPECT_EQ(std::wstring(GetCommandLineW()), g_fake.commandLine);
    EXPECT_NE(L'#', GetCommandLineW()[0]);
    EXPECT_TRUE(g_fake.inherit && g_fake.startup.dwFlags == STARTF_USESTDHANDLES &&
                g_fake.startup.hStdInput == GetStdHandle(STD_INPUT_HANDLE) &&
                g_fake.startup.hStdOutput == GetStdHandle(STD_OUTPUT_HANDLE) &&
                g_fake.startup.hStdError == GetStdHandle(STD_ERROR_HANDLE));
  }
}

}  // namespace

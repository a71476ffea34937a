#include "native/console_out_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "native/console.h"

namespace {

// Standard output as a console of Windows 7 or earlier (opened for writing
// only, it fails GetConsoleMode, which needs read access), or as a file.
bool g_isConsole = false;
bool g_writeOnly = false;
std::string g_arrived;
DWORD g_largestWrite = 0;

BOOL WINAPI OldConsoleWrite(HANDLE, LPCVOID bytes, DWORD count, LPDWORD written, LPOVERLAPPED) {
  *written = 0;
  if (g_isConsole && count > 64 * 1024) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return FALSE;
  }
  g_arrived.append(static_cast<const char*>(bytes), count);
  g_largestWrite = std::max(g_largestWrite, count);
  *written = count;
  return TRUE;
}

BOOL WINAPI ModeIfConsole(HANDLE, LPDWORD mode) {
  *mode = ENABLE_PROCESSED_OUTPUT;
  return g_isConsole && !g_writeOnly;
}

DWORD WINAPI TypeIfConsole(HANDLE) { return g_isConsole ? FILE_TYPE_CHAR : FILE_TYPE_DISK; }

}  // namespace

TEST(StandardOutput, WholeOutputArrivesOnAnOldConsoleAndInMegabytesElsewhere) {
  // Lines enough for several of the console's buffers, handed over whole.
  std::string sent;
  for (int i = 0; sent.size() < 3 * kOtherWritePiece; ++i) sent += std::to_string(i) + "\r\n";
  const struct {
    bool isConsole, writeOnly;
    DWORD largestWrite;
  } cases[] = {{true, false, kConsoleWritePiece},
               {true, true, kConsoleWritePiece},
               {false, false, kOtherWritePiece}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.isConsole ? (c.writeOnly ? "write-only console" : "console") : "file");
    g_isConsole = c.isConsole;
    g_writeOnly = c.writeOnly;
    g_arrived.clear();
    g_largestWrite = 0;
    const StandardOutputCalls calls = {OldConsoleWrite, ModeIfConsole, TypeIfConsole};
    SetStandardOutputCalls(&calls);
    ConsoleClearError();
    ConsoleWrite(sent.data(), sent.size());
    EXPECT_EQ(ConsoleFlush(), 0);
    SetStandardOutputCalls(nullptr);
    EXPECT_TRUE(g_arrived == sent) << g_arrived.size() << " bytes of " << sent.size();
    EXPECT_EQ(g_largestWrite, c.largestWrite);
  }
  ConsoleClearError();
}

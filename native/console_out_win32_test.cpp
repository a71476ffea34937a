#include "native/console_out_win32.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"
#include "report/report.h"
#include "standin/machine.h"
#include "tests/scripted_service.h"

namespace {

// Standard output as a console of Windows 7 or earlier, or as a file.
bool g_isConsole = false;
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

BOOL WINAPI ConsoleModeIfConsole(HANDLE, LPDWORD mode) {
  if (!g_isConsole) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  *mode = ENABLE_PROCESSED_OUTPUT | ENABLE_WRAP_AT_EOL_OUTPUT;
  return TRUE;
}

std::string g_sunk;
size_t g_largestHandOver = 0;
int KeepSink(const char* bytes, size_t count) {
  g_sunk.append(bytes, count);
  g_largestHandOver = std::max(g_largestHandOver, count);
  return 0;
}

// The default machine's report as the console hands it over, through the
// sink given (null: standard output).
int PrintReport(ConsoleSink sink) {
  ProcessNameList names;
  ProcessNameListInit(&names);
  uint32_t requestSize = 0;
  MemoryRangeInfo* ranges = nullptr;
  PfnRequest* request = nullptr;
  {
    StandinSelectMachine(StandinDefaultMachine());
    g_NtQuerySystemInformation = StandinNtQuerySystemInformation;
    ConsoleCapture quiet;
    EXPECT_EQ(GetMemoryRanges(&requestSize, &ranges), 0);
    EXPECT_EQ(SetUpPfnDatabase(requestSize, ranges, &request), 0);
    EXPECT_EQ(SetupProcessNameDatabase(&names), 0);
    g_NtQuerySystemInformation = nullptr;
    StandinSelectMachine(nullptr);
  }
  SetConsoleSink(sink);
  if (request != nullptr) PrintPfnDatabase(request, requestSize, &names, ranges);
  const int status = ConsoleFlush();
  SetConsoleSink(nullptr);
  ProcessNameListRelease(&names);
  RuntimeFree(ranges);
  ProcessHeapFree(request);
  return status;
}

}  // namespace

TEST(StandardOutput, WholeDumpArrivesOnAnOldConsoleAndInMegabytesElsewhere) {
  g_sunk.clear();
  ASSERT_EQ(PrintReport(KeepSink), 0);
  // Several of the console's buffers, so that it drains more than once.
  ASSERT_GT(g_sunk.size(), 3u * kOtherWritePiece);
  // A file takes what the console hands over in one write each.
  ASSERT_LE(g_largestHandOver, kOtherWritePiece);
  const DWORD handedOver = static_cast<DWORD>(g_largestHandOver);

  const struct {
    bool isConsole;
    DWORD largestWrite;
  } cases[] = {{true, kConsoleWritePiece}, {false, handedOver}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.isConsole ? "console" : "file");
    g_isConsole = c.isConsole;
    g_arrived.clear();
    g_largestWrite = 0;
    const StandardOutputCalls calls = {OldConsoleWrite, ConsoleModeIfConsole};
    SetStandardOutputCalls(&calls);
    ConsoleClearError();
    EXPECT_EQ(PrintReport(nullptr), 0);
    SetStandardOutputCalls(nullptr);
    EXPECT_TRUE(g_arrived == g_sunk) << g_arrived.size() << " bytes of " << g_sunk.size();
    EXPECT_EQ(g_largestWrite, c.largestWrite);
  }
  ConsoleClearError();
}

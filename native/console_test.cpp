#include "native/console.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/scripted_service.h"

TEST(Console, WideAndNarrowShareOneStreamInCallOrder) {
  ConsoleCapture capture;
  ConsoleWPrintf(L"wide %s ", L"one");
  ConsolePrintf("narrow %s ", "two");
  ConsoleWPrintf(L"%x\n", 0xC0000023u);
  EXPECT_EQ(capture.Take(), "wide one narrow two c0000023\n");
}

TEST(Console, WideCharactersBecomeBytesOfTheSameValue) {
  ConsoleCapture capture;
  const wchar_t text[] = {L'C',
                          L'a',
                          L'f',
                          static_cast<wchar_t>(0xE9),
                          static_cast<wchar_t>(0xFF),
                          static_cast<wchar_t>(0x100),
                          static_cast<wchar_t>(0x20AC),
                          L'\0'};
  ConsoleWPrintf(L"%s|", text);
  ConsolePrintf("%s", "\xE9\xFF");
  EXPECT_EQ(capture.Take(), "Caf\xE9\xFF??|\xE9\xFF");
}

TEST(Console, PrecisionBoundsStringsOtherConversionsShowAsWritten) {
  ConsoleCapture capture;
  ConsolePrintf("[%.12s]", "SearchIndexer.exe");
  const char unterminated[12] = {'e', 'x', 'p', 'l', 'o', 'r', 'e', 'r', '.', 'e', 'x', 'e'};
  ConsolePrintf("[%.12s]", unterminated);
  ConsolePrintf("[%.12s]", "in\0it");
  ConsoleWPrintf(L"[%.15s ]", L"Modified page list ");
  ConsolePrintf("[%X][%x][%x]", 0x2c0u, 0xC0000023u, 0u);
  ConsolePrintf("[%llX][%llx][%lx]", 0xFFFFA00000001040ull, 0x1ull);
  // Conversions the program does not use take no argument.
  ConsolePrintf("[%d][%5s][%.3x][%%]%", "ignored");
  EXPECT_EQ(capture.Take(),
            "[SearchIndexe][explorer.exe][in][Modified page l ]"
            "[2C0][c0000023][0][FFFFA00000001040][1][%lx][%d][%5s][%.3x][%%]%");
}

TEST(Console, LargeOutputKeepsItsOrderAcrossTheBuffer) {
  ConsoleCapture capture;
  std::string expected;
  for (int i = 0; i < 70000; ++i) {
    ConsolePrintf("%x,", static_cast<unsigned>(i));
    char piece[16];
    snprintf(piece, sizeof(piece), "%x,", static_cast<unsigned>(i));
    expected += piece;
    if (i % 1000 == 0) {
      char* room = ConsoleReserve(3);
      room[0] = '<';
      room[1] = '>';
      ConsoleCommit(2);
      expected += "<>";
    }
  }
  std::string big(3 << 20, 'z');
  ConsoleWrite(big.data(), big.size());
  expected += big;
  EXPECT_EQ(capture.Take(), expected);
}

namespace {
int FailingSink(const char*, size_t) { return -1; }
}  // namespace

TEST(Console, AFailedWriteIsReportedByFlush) {
  ConsoleCapture capture;
  SetConsoleSink(FailingSink);
  ConsolePrintf("lost\n");
  EXPECT_EQ(ConsoleFlush(), -1);
  ConsoleClearError();
}

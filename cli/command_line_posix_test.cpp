#include "cli/command_line.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::wstring Join(std::vector<const char*> argv) {
  const int count = static_cast<int>(argv.size());
  std::wstring line(JoinCommandLine(count, argv.data(), nullptr, 0), L'#');
  EXPECT_EQ(JoinCommandLine(count, argv.data(), &line[0], line.size()), line.size());
  EXPECT_EQ(line.back(), L'\0');
  line.pop_back();
  return line;
}

}  // namespace

TEST(JoinCommandLine, QuotesAndEscapesAsAWindowsCommandLineIsWritten) {
  EXPECT_EQ(Join({"pfndb", "-p", "-w"}), L"pfndb -p -w");
  EXPECT_EQ(Join({"/opt/my tools/pfndb", "-p x", "", "-p"}),
            L"\"/opt/my tools/pfndb\" \"-p x\" \"\" -p");
  EXPECT_EQ(Join({"pfndb", "a\tb", "say \"hi\"", "\"-p\""}),
            L"pfndb \"a\tb\" \"say \\\"hi\\\"\" \"\\\"-p\\\"\"");
  // Backslashes are doubled only before a quote, the closing one included.
  EXPECT_EQ(Join({"pfndb", "a\\b", "c\\ d\\\\", "e\\\"f"}),
            L"pfndb a\\b \"c\\ d\\\\\\\\\" \"e\\\\\\\"f\"");
  // Bytes above 0x7F keep their value.
  EXPECT_EQ(Join({"caf\xE9", "\xFF"}), std::wstring(L"caf") + wchar_t(0xE9) + L" " + wchar_t(0xFF));
}

TEST(JoinCommandLine, ATooSmallRoomIsStillTerminated) {
  const char* argv[] = {"pfndb", "-p"};
  wchar_t line[4] = {L'#', L'#', L'#', L'#'};
  EXPECT_EQ(JoinCommandLine(2, argv, line, 4), 9u);
  EXPECT_EQ(std::wstring(line), L"pfn");
}

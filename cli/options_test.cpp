#include "cli/options.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

std::vector<std::wstring> AllTokens(std::wstring text, const wchar_t* delimiters) {
  std::vector<std::wstring> tokens;
  wchar_t* context = nullptr;
  for (wchar_t* token = TokenizeWide(&text[0], delimiters, &context); token != nullptr;
       token = TokenizeWide(nullptr, delimiters, &context))
    tokens.push_back(token);
  // Once exhausted, it stays exhausted.
  EXPECT_EQ(TokenizeWide(nullptr, delimiters, &context), nullptr);
  EXPECT_EQ(TokenizeWide(nullptr, delimiters, &context), nullptr);
  return tokens;
}

struct Scan {
  RunMode mode;
  std::wstring programToken;
  bool hasProgramToken;
};

Scan ScanLine(int argumentCount, std::wstring line) {
  const wchar_t* token = nullptr;
  Scan scan;
  scan.mode = ScanRunMode(argumentCount, &line[0], &token);
  scan.hasProgramToken = token != nullptr;
  scan.programToken = token != nullptr ? token : L"";
  return scan;
}

}  // namespace

TEST(TokenizeWide, SplitsAtRunsOfDelimitersAndSkipsLeadingOnes) {
  EXPECT_EQ(AllTokens(L"  a  bb c ", L" "), (std::vector<std::wstring>{L"a", L"bb", L"c"}));
  EXPECT_EQ(AllTokens(L"a\tb c", L" "), (std::vector<std::wstring>{L"a\tb", L"c"}));
  EXPECT_EQ(AllTokens(L"a,;b", L",;"), (std::vector<std::wstring>{L"a", L"b"}));
  EXPECT_TRUE(AllTokens(L"", L" ").empty());
  EXPECT_TRUE(AllTokens(L"    ", L" ").empty());
}

TEST(TokenizeWide, TerminatesInPlaceAndLeavesTheRemainder) {
  std::wstring text = L"prog -p -w";
  wchar_t* context = nullptr;
  wchar_t* first = TokenizeWide(&text[0], L" ", &context);
  EXPECT_EQ(first, &text[0]);
  EXPECT_EQ(text[4], L'\0');
  EXPECT_EQ(std::wstring(context), L"-p -w");
}

TEST(ScanRunMode, FirstRecognisedOptionWins) {
  EXPECT_EQ(ScanLine(1, L"pfndb").mode, ModeUsage);
  EXPECT_EQ(ScanLine(2, L"pfndb -p").mode, ModeDumpPfn);
  EXPECT_EQ(ScanLine(2, L"pfndb -w").mode, ModeWarranty);
  EXPECT_EQ(ScanLine(2, L"pfndb -c").mode, ModeConditions);
  EXPECT_EQ(ScanLine(2, L"pfndb -a").mode, ModeUsage);
  EXPECT_EQ(ScanLine(3, L"pfndb -x -p").mode, ModeDumpPfn);
  EXPECT_EQ(ScanLine(3, L"pfndb -a -p").mode, ModeUsage);
  EXPECT_EQ(ScanLine(3, L"pfndb -p -w").mode, ModeDumpPfn);
}

TEST(ScanRunMode, OnlyWholeCaseSensitiveTokensCount) {
  EXPECT_EQ(ScanLine(2, L"pfndb -P").mode, ModeUsage);
  EXPECT_EQ(ScanLine(2, L"pfndb -pp").mode, ModeUsage);
  EXPECT_EQ(ScanLine(2, L"pfndb \"-p\"").mode, ModeUsage);
  // Only the space separates: a tab joins two options into one token.
  EXPECT_EQ(ScanLine(3, L"pfndb -x\t-p").mode, ModeUsage);
}

TEST(ScanRunMode, ExaminesAtMostCountMinusOneTokens) {
  EXPECT_EQ(ScanLine(1, L"pfndb -p").mode, ModeUsage);
  EXPECT_EQ(ScanLine(2, L"pfndb -x -p").mode, ModeUsage);
  // Runs of spaces are one separator.
  EXPECT_EQ(ScanLine(2, L"pfndb    -p").mode, ModeDumpPfn);
  // Fewer tokens than the count: the remaining slots find nothing.
  EXPECT_EQ(ScanLine(5, L"pfndb -x").mode, ModeUsage);
}

TEST(ScanRunMode, QuotedProgramPathSplitsAtItsSpace) {
  Scan one = ScanLine(2, L"\"C:\\Program Files\\pfndb.exe\" -p");
  EXPECT_EQ(one.programToken, L"\"C:\\Program");
  EXPECT_EQ(one.mode, ModeUsage);
  EXPECT_EQ(ScanLine(3, L"\"C:\\Program Files\\pfndb.exe\" -x -p").mode, ModeUsage);
  EXPECT_EQ(ScanLine(3, L"\"C:\\Program Files\\pfndb.exe\" -p -x").mode, ModeDumpPfn);
}

TEST(ScanRunMode, ProgramTokenAsTyped) {
  Scan tabbed = ScanLine(2, L"pfndb\t-p");
  EXPECT_EQ(tabbed.programToken, L"pfndb\t-p");
  EXPECT_EQ(tabbed.mode, ModeUsage);
  EXPECT_EQ(ScanLine(2, L"  \"pfndb.exe\"  -w").programToken, L"\"pfndb.exe\"");
  Scan empty = ScanLine(0, L"   ");
  EXPECT_FALSE(empty.hasProgramToken);
  EXPECT_EQ(empty.mode, ModeUsage);
}

// Arbitrary wide command lines through TokenizeWide, ScanRunMode and a whole
// RunPfndb. The line is its own heap block ending right after its
// terminator, so a read past it is an ASan finding; the tokens and the mode
// are checked against a plain reimplementation of the documented rules.
//
// Input, read front to back (fuzz_input.h: zeros past the end):
//   u8 argc       the runtime's argument count, as a signed byte
//   u8 d          d % 4 delimiter characters for TokenizeWide follow
//   characters    of the delimiters, then of the line to its end; a byte
//                 is that character, except 0xFF, which takes the next u32
//                 as the character (anything a wchar_t holds)
#include <cstring>
#include <cwchar>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/pfndb.h"
#include "fuzz/fuzz_input.h"
#include "native/console.h"
#include "native/heap.h"
#include "native/native_query.h"

namespace {

const QueryStatus kAccessDenied = static_cast<QueryStatus>(0xC0000022u);

std::string g_output;

int CaptureSink(const char* bytes, size_t count) {
  g_output.append(bytes, count);
  return 0;
}

wchar_t TakeChar(FuzzInput* in) {
  uint8_t byte = TakeU8(in);
  if (byte != 0xFF) return static_cast<wchar_t>(byte);
  return static_cast<wchar_t>(TakeU32(in));
}

// A service that refuses every query, so a dump stops at its first step.
QueryStatus RefusingQuery(uint32_t, void*, uint32_t, uint32_t*) { return kAccessDenied; }

QueryStatus AdjustPrivilege(uint32_t, uint8_t, uint8_t, uint8_t* wasEnabled) {
  if (wasEnabled != nullptr) *wasEnabled = 0;
  return kStatusSuccess;
}

NativeEntry Lookup(const wchar_t*, const char* entryName) {
  if (strcmp(entryName, "RtlAdjustPrivilege") == 0)
    return reinterpret_cast<NativeEntry>(&AdjustPrivilege);
  return reinterpret_cast<NativeEntry>(&RefusingQuery);
}

// A private copy of the line: TokenizeWide writes into it.
wchar_t* CopyLine(const std::vector<wchar_t>& line) {
  wchar_t* copy = new wchar_t[line.size()];
  memcpy(copy, line.data(), line.size() * sizeof(wchar_t));
  return copy;
}

bool Within(const wchar_t* p, const wchar_t* block, size_t count) {
  return p >= block && p < block + count;
}

// The tokens of text under the documented rules: maximal runs of
// non-delimiters, up to the first terminator.
std::vector<std::wstring> ExpectedTokens(const wchar_t* text, const std::wstring& delimiters) {
  std::vector<std::wstring> tokens;
  std::wstring current;
  for (const wchar_t* p = text; *p != L'\0'; ++p) {
    if (delimiters.find(*p) != std::wstring::npos) {
      if (!current.empty()) tokens.push_back(current);
      current.clear();
    } else {
      current.push_back(*p);
    }
  }
  if (!current.empty()) tokens.push_back(current);
  return tokens;
}

void CheckTokenizer(const std::vector<wchar_t>& line, const std::wstring& delimiters) {
  wchar_t* text = CopyLine(line);
  std::vector<std::wstring> expected = ExpectedTokens(line.data(), delimiters);
  wchar_t* context = nullptr;
  size_t count = 0;
  for (wchar_t* token = TokenizeWide(text, delimiters.c_str(), &context); token != nullptr;
       token = TokenizeWide(nullptr, delimiters.c_str(), &context)) {
    FUZZ_REQUIRE(Within(token, text, line.size()));
    FUZZ_REQUIRE(count < expected.size());
    FUZZ_REQUIRE(expected[count] == token);
    ++count;
  }
  FUZZ_REQUIRE(count == expected.size());
  // Once exhausted it stays so.
  FUZZ_REQUIRE(TokenizeWide(nullptr, delimiters.c_str(), &context) == nullptr);
  FUZZ_REQUIRE(TokenizeWide(nullptr, delimiters.c_str(), &context) == nullptr);
  delete[] text;
}

RunMode ExpectedMode(int argumentCount, const std::vector<std::wstring>& tokens) {
  for (int k = 1; k < argumentCount && static_cast<size_t>(k) < tokens.size(); ++k) {
    if (tokens[k] == L"-p") return ModeDumpPfn;
    if (tokens[k] == L"-a") return ModeUsage;
    if (tokens[k] == L"-w") return ModeWarranty;
    if (tokens[k] == L"-c") return ModeConditions;
  }
  return ModeUsage;
}

RunMode CheckScan(int argumentCount, const std::vector<wchar_t>& line) {
  wchar_t* text = CopyLine(line);
  std::vector<std::wstring> tokens = ExpectedTokens(line.data(), L" ");
  const wchar_t* program = reinterpret_cast<const wchar_t*>(1);
  RunMode mode = ScanRunMode(argumentCount, text, &program);
  if (tokens.empty()) {
    FUZZ_REQUIRE(program == nullptr);
  } else {
    FUZZ_REQUIRE(program != nullptr && Within(program, text, line.size()));
    FUZZ_REQUIRE(tokens[0] == program);
  }
  FUZZ_REQUIRE(mode == ExpectedMode(argumentCount, tokens));
  delete[] text;
  return mode;
}

// The banner starts with the program token as the "C" locale prints it.
std::string NarrowedProgram(const std::vector<wchar_t>& line) {
  std::vector<std::wstring> tokens = ExpectedTokens(line.data(), L" ");
  std::string out;
  if (tokens.empty()) return out;
  for (wchar_t c : tokens[0]) {
    uint32_t value = static_cast<uint32_t>(c);
    out.push_back(value <= 0xFF ? static_cast<char>(value) : '?');
  }
  return out;
}

void CheckRun(int argumentCount, const std::vector<wchar_t>& line, RunMode mode) {
  wchar_t* text = CopyLine(line);
  g_output.clear();
  SetConsoleSink(CaptureSink);
  ConsoleClearError();
  SetNativeEntryLookup(Lookup);
  const int64_t live = HeapLiveBlocks();
  int status = RunPfndbAndFlush(argumentCount, text);
  SetNativeEntryLookup(nullptr);
  FUZZ_REQUIRE(HeapLiveBlocks() == live);
  // Every mode but the dump succeeds; the dump meets a refusing service.
  FUZZ_REQUIRE(status == (mode == ModeDumpPfn ? -1 : 0));
  const std::string banner = NarrowedProgram(line) + "  Copyright (C) 2026 The pfndb authors \n";
  FUZZ_REQUIRE(g_output.compare(0, banner.size(), banner) == 0);
  delete[] text;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FuzzInput in;
  FuzzInputStart(&in, data, size);
  const int argumentCount = static_cast<int8_t>(TakeU8(&in));
  std::wstring delimiters;
  for (int d = TakeU8(&in) % 4; d > 0; --d) {
    wchar_t c = TakeChar(&in);
    if (c != L'\0') delimiters.push_back(c);
  }
  std::vector<wchar_t> line;
  while (!FuzzInputExhausted(&in)) line.push_back(TakeChar(&in));
  line.push_back(L'\0');

  CheckTokenizer(line, delimiters);
  RunMode mode = CheckScan(argumentCount, line);
  CheckRun(argumentCount, line, mode);
  return 0;
}

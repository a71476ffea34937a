#include "tests/scripted_service.h"

#include <gtest/gtest.h>

#include <cstring>

#include "native/console.h"
#include "native/line_end.h"
#include "native/native_query.h"
#include "pfn/pfn.h"

namespace {

ScriptedService* g_current = nullptr;
std::string g_captured;

int CaptureSink(const char* bytes, size_t count) {
  g_captured.append(bytes, count);
  return 0;
}

void PutWord(std::vector<uint8_t>* out, size_t offset, uint32_t value) {
  if (out->size() < offset + 4) out->resize(offset + 4);
  for (int i = 0; i < 4; ++i) (*out)[offset + i] = static_cast<uint8_t>(value >> (8 * i));
}

}  // namespace

ScriptedService::ScriptedService() {
  g_current = this;
  g_NtQuerySystemInformation = &ScriptedService::Query;
}

ScriptedService::~ScriptedService() {
  SetNativeEntryLookup(nullptr);
  g_NtQuerySystemInformation = nullptr;
  g_current = nullptr;
}

void ScriptedService::ProvideEntries(bool withAdjustPrivilege, bool withQuery) {
  withAdjust_ = withAdjustPrivilege;
  withQuery_ = withQuery;
  g_NtQuerySystemInformation = nullptr;
  SetNativeEntryLookup(&ScriptedService::Lookup);
}

NativeEntry ScriptedService::Lookup(const wchar_t* moduleName, const char* entryName) {
  EXPECT_EQ(std::wstring(moduleName), L"ntdll.dll");
  if (strcmp(entryName, "RtlAdjustPrivilege") == 0 && g_current->withAdjust_)
    return reinterpret_cast<NativeEntry>(&ScriptedService::AdjustPrivilege);
  if (strcmp(entryName, "NtQuerySystemInformation") == 0 && g_current->withQuery_)
    return reinterpret_cast<NativeEntry>(&ScriptedService::Query);
  return nullptr;
}

QueryStatus PFNDB_NTAPI ScriptedService::AdjustPrivilege(uint32_t privilege, uint8_t enable,
                                                         uint8_t currentThreadOnly,
                                                         uint8_t* wasEnabled) {
  g_current->privilegeCalls_.push_back({privilege, enable, currentThreadOnly});
  if (wasEnabled != nullptr) *wasEnabled = 0;
  return static_cast<QueryStatus>(0xC0000061u);  // STATUS_PRIVILEGE_NOT_HELD
}

void ScriptedService::AnswerStatus(QueryStatus status, uint32_t returnLength) {
  ScriptedAnswer answer;
  answer.status = status;
  answer.setsReturnLength = true;
  answer.returnLength = returnLength;
  Answer(answer);
}

void ScriptedService::AnswerBytes(QueryStatus status, uint32_t returnLength,
                                  std::vector<uint8_t> bytes) {
  ScriptedAnswer answer;
  answer.status = status;
  answer.setsReturnLength = true;
  answer.returnLength = returnLength;
  answer.fill = [bytes](void* data, uint32_t length) {
    ASSERT_NE(data, nullptr);
    memcpy(data, bytes.data(), bytes.size() < length ? bytes.size() : length);
  };
  Answer(answer);
}

void ScriptedService::AnswerHighestPage(uint32_t highestPage) {
  std::vector<uint8_t> basic(44, 0);
  PutWord(&basic, 20, highestPage);
  AnswerBytes(0, 44, basic);
}

QueryStatus PFNDB_NTAPI ScriptedService::Query(uint32_t infoClass, void* buffer,
                                               uint32_t bufferLength, uint32_t* returnLength) {
  ScriptedService* self = g_current;
  ScriptedCall call;
  call.infoClass = infoClass;
  call.bufferLength = bufferLength;
  call.returnLengthOnEntry = returnLength != nullptr ? *returnLength : 0;
  void* data = buffer;
  uint32_t dataLength = bufferLength;
  if (infoClass == kSystemSuperfetchInformation) {
    EXPECT_EQ(bufferLength, sizeof(SuperfetchInformation));
    SuperfetchInformation* envelope = static_cast<SuperfetchInformation*>(buffer);
    call.version = envelope->version;
    call.magic = envelope->magic;
    call.subClass = envelope->subClass;
    call.hasData = envelope->data != nullptr;
    call.dataLength = envelope->length;
    data = envelope->data;
    dataLength = envelope->length;
    if (data != nullptr && dataLength >= 4) memcpy(&call.dataFirstWord, data, 4);
  }
  self->calls_.push_back(call);
  if (self->next_ == self->answers_.size()) {
    ADD_FAILURE() << "unscripted call of class " << infoClass;
    return static_cast<QueryStatus>(0xC0000001u);
  }
  const ScriptedAnswer& answer = self->answers_[self->next_++];
  if (answer.fill && data != nullptr) answer.fill(data, dataLength);
  if (answer.setsReturnLength && returnLength != nullptr) *returnLength = answer.returnLength;
  return answer.status;
}

std::vector<uint8_t> RangesAnswer(int32_t count,
                                  const std::vector<std::pair<uint32_t, uint32_t>>& ranges) {
  std::vector<uint8_t> out;
  PutWord(&out, 0, 1);
  PutWord(&out, 4, static_cast<uint32_t>(count));
  for (size_t k = 0; k < ranges.size(); ++k) {
    PutWord(&out, 8 + 8 * k, ranges[k].first);
    PutWord(&out, 12 + 8 * k, ranges[k].second);
  }
  return out;
}

std::vector<uint8_t> SourcesAnswer(int32_t count, const std::vector<SourceSpec>& sources) {
  std::vector<uint8_t> out;
  PutWord(&out, 0, 3);  // version 3
  PutWord(&out, 4, static_cast<uint32_t>(count));
  for (size_t r = 0; r < sources.size(); ++r) {
    size_t at = 8 + 48 * r;
    out.resize(at + 48, 0);
    PutWord(&out, at, sources[r].type);
    PutWord(&out, at + 16, sources[r].key);
    PutWord(&out, at + 24, sources[r].size);
    memcpy(&out[at + 32], sources[r].name.data(),
           sources[r].name.size() < 12 ? sources[r].name.size() : 12);
  }
  return out;
}

ConsoleCapture::ConsoleCapture() {
  ConsoleFlush();
  g_captured.clear();
  SetConsoleSink(CaptureSink);
  ConsoleClearError();
}

ConsoleCapture::~ConsoleCapture() { SetConsoleSink(nullptr); }

std::string ConsoleCapture::Take() {
  ConsoleFlush();
  std::string bytes;
  bytes.swap(g_captured);
  if (kLineEndLength == 1) return bytes;
  // Undoes what a text stream does to "\n"; a '\n' printed without the
  // line end's first byte before it is a fault the tests must see.
  std::string out;
  out.reserve(bytes.size());
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (bytes[i] == kLineEnd[0] && i + 1 < bytes.size() && bytes[i + 1] == '\n') continue;
    if (bytes[i] == '\n' && (i == 0 || bytes[i - 1] != kLineEnd[0]))
      ADD_FAILURE() << "a line end without its \\r at byte " << i;
    out += bytes[i];
  }
  return out;
}

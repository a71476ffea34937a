// A native service whose answers a test scripts call by call, and a capture
// of everything the program prints.
#ifndef PFNDB_TESTS_SCRIPTED_SERVICE_H_
#define PFNDB_TESTS_SCRIPTED_SERVICE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "native/module.h"
#include "native/ntdll.h"

// One answer. `fill` receives the buffer the call names (the class-0 buffer,
// or the sub-class buffer of a class-79 envelope) with its length.
struct ScriptedAnswer {
  QueryStatus status = 0;
  bool setsReturnLength = false;
  uint32_t returnLength = 0;
  std::function<void(void* data, uint32_t length)> fill;
};

// What a call asked for.
struct ScriptedCall {
  uint32_t infoClass = 0;
  uint32_t bufferLength = 0;
  uint32_t returnLengthOnEntry = 0;
  // Class 79 only.
  uint32_t version = 0;
  uint32_t magic = 0;
  uint32_t subClass = 0;
  bool hasData = false;
  uint32_t dataLength = 0;
  // First 32-bit word of the sub-class buffer on entry, if any.
  uint32_t dataFirstWord = 0;
};

// Installs itself as the program-wide service pointer for its lifetime and
// answers calls in order; a call beyond the script fails the test and gets
// 0xC0000001.
class ScriptedService {
 public:
  ScriptedService();
  ~ScriptedService();

  void Answer(ScriptedAnswer answer) { answers_.push_back(std::move(answer)); }
  // Shorthands for the usual answers.
  void AnswerStatus(QueryStatus status, uint32_t returnLength);
  void AnswerBytes(QueryStatus status, uint32_t returnLength, std::vector<uint8_t> bytes);
  void AnswerHighestPage(uint32_t highestPage);

  // Lets InitNativeQuery find this service, and a RtlAdjustPrivilege that
  // records what it is asked (and refuses it), instead of a module; either
  // entry can be left missing.
  void ProvideEntries(bool withAdjustPrivilege, bool withQuery);
  struct PrivilegeCall {
    uint32_t privilege;
    uint8_t enable;
    uint8_t currentThreadOnly;
  };
  const std::vector<PrivilegeCall>& privilegeCalls() const { return privilegeCalls_; }

  const std::vector<ScriptedCall>& calls() const { return calls_; }
  size_t unanswered() const { return answers_.size() - next_; }

 private:
  static QueryStatus PFNDB_NTAPI Query(uint32_t infoClass, void* buffer, uint32_t bufferLength,
                                       uint32_t* returnLength);
  static QueryStatus PFNDB_NTAPI AdjustPrivilege(uint32_t privilege, uint8_t enable,
                                                 uint8_t currentThreadOnly, uint8_t* wasEnabled);
  static NativeEntry Lookup(const wchar_t* moduleName, const char* entryName);
  bool withAdjust_ = false;
  bool withQuery_ = false;
  std::vector<PrivilegeCall> privilegeCalls_;
  std::vector<ScriptedAnswer> answers_;
  std::vector<ScriptedCall> calls_;
  size_t next_ = 0;
};

// Little-endian images of the answers.
std::vector<uint8_t> RangesAnswer(int32_t count,
                                  const std::vector<std::pair<uint32_t, uint32_t>>& ranges);
struct SourceSpec {
  uint32_t type;
  uint32_t key;
  uint32_t size;
  std::string name;  // first 12 bytes are used
};
std::vector<uint8_t> SourcesAnswer(int32_t count, const std::vector<SourceSpec>& sources);

// Sends console output to a string for its lifetime.
class ConsoleCapture {
 public:
  ConsoleCapture();
  ~ConsoleCapture();
  // Everything printed so far (flushing first), and forgets it. Line ends
  // come back as "\n", as the program's formats write them; a test failure
  // reports any "\n" not printed as the platform's line end.
  std::string Take();
};

#endif  // PFNDB_TESTS_SCRIPTED_SERVICE_H_

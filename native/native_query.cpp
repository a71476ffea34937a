#include "native/native_query.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "native/console.h"

NtQuerySystemInformationFn g_NtQuerySystemInformation = nullptr;

namespace {

const wchar_t kNtdll[] = L"ntdll.dll";

// Nobody reads the previous state; both calls share the byte.
uint8_t g_privilegeWasEnabled;

NativeEntryLookup g_lookup = LookupNativeEntry;

}  // namespace

int InitNativeQuery() { return InitNativeQuery(&kConsoleMessages); }

int InitNativeQuery(const MessageSink* messages) {
  RtlAdjustPrivilegeFn adjust =
      NativeEntryCast<RtlAdjustPrivilegeFn>(g_lookup(kNtdll, "RtlAdjustPrivilege"));
  if (adjust == nullptr) {
    messages->wide(L"cannot get adjust priviledge function pointer\n");
    return kNoAdjustPrivilegeEntry;
  }
  // Without these a later query may be refused; that query reports its status.
  adjust(kSeProfileSingleProcessPrivilege, 1, 0, &g_privilegeWasEnabled);
  adjust(kSeDebugPrivilege, 1, 0, &g_privilegeWasEnabled);

  g_NtQuerySystemInformation =
      NativeEntryCast<NtQuerySystemInformationFn>(g_lookup(kNtdll, "NtQuerySystemInformation"));
  if (g_NtQuerySystemInformation == nullptr) {
    messages->wide(L"cannot get access to NtQueryInformation\n");
    messages->wide(L"cannot initialize NtQuery pointer\n");
    return kNoQueryEntry;
  }
  return 0;
}

void SetNativeEntryLookup(NativeEntryLookup lookup) {
  g_lookup = lookup != nullptr ? lookup : LookupNativeEntry;
}

void MakeSuperfetchInformation(SuperfetchInformation* envelope, uint32_t subClass, void* data,
                               uint32_t length) {
  envelope->version = kSuperfetchVersion;
  envelope->magic = kSuperfetchMagic;
  envelope->subClass = subClass;
  envelope->data = data;
  envelope->length = length;
}

namespace {

void DiscardWide(const wchar_t*, ...) {}
void DiscardNarrow(const char*, ...) {}

NativeService g_programService = {nullptr, &kConsoleMessages, nullptr, 0};

QueryStatus Call(NativeService* service, uint32_t infoClass, void* buffer, uint32_t length,
                 uint32_t* returnLength) {
  NtQuerySystemInformationFn query =
      service == &g_programService ? g_NtQuerySystemInformation : service->query;
  service->lastStatus = query(infoClass, buffer, length, returnLength);
  return service->lastStatus;
}

void Trace(NativeService* service, const char* asked, uint32_t length, QueryStatus status,
           const uint32_t* returnLength) {
  char line[160];
  snprintf(line, sizeof(line), "trace: %s, length %lu: status %08lx, returned %lu", asked,
           static_cast<unsigned long>(length),
           static_cast<unsigned long>(static_cast<uint32_t>(status)),
           static_cast<unsigned long>(returnLength != nullptr ? *returnLength : 0));
  service->trace(line);
}

}  // namespace

const MessageSink kConsoleMessages = {ConsoleWPrintf, ConsolePrintf};
const MessageSink kNoMessages = {DiscardWide, DiscardNarrow};

void TraceToStandardError(const char* line) {
  fputs(line, stderr);
  fputc('\n', stderr);
  fflush(stderr);
}

bool TraceRequested() {
  const char* value = getenv("PFNDB_TRACE");
  return value != nullptr && strcmp(value, "1") == 0;
}

NativeService* ProgramService() { return &g_programService; }

QueryStatus QueryBasicInformation(NativeService* service, void* buffer, uint32_t length,
                                  uint32_t* returnLength) {
  QueryStatus status = Call(service, kSystemBasicInformation, buffer, length, returnLength);
  if (service->trace != nullptr) Trace(service, "class 0", length, status, returnLength);
  return status;
}

QueryStatus QuerySuperfetch(NativeService* service, SuperfetchInformation* envelope,
                            uint32_t* returnLength, const char* tried) {
  QueryStatus status = Call(service, kSystemSuperfetchInformation, envelope,
                            static_cast<uint32_t>(sizeof(*envelope)), returnLength);
  if (service->trace != nullptr) {
    char asked[96];
    snprintf(asked, sizeof(asked), "class 79, sub-class %lu, %s",
             static_cast<unsigned long>(envelope->subClass), tried);
    Trace(service, asked, envelope->length, status, returnLength);
  }
  return status;
}

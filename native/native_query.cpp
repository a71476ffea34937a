#include "native/native_query.h"

#include "native/console.h"

NtQuerySystemInformationFn g_NtQuerySystemInformation = nullptr;

namespace {

const wchar_t kNtdll[] = L"ntdll.dll";

// Nobody reads the previous state; both calls share the byte.
uint8_t g_privilegeWasEnabled;

NativeEntryLookup g_lookup = LookupNativeEntry;

}  // namespace

int InitNativeQuery() {
  RtlAdjustPrivilegeFn adjust =
      NativeEntryCast<RtlAdjustPrivilegeFn>(g_lookup(kNtdll, "RtlAdjustPrivilege"));
  if (adjust == nullptr) {
    ConsoleWPrintf(L"cannot get adjust priviledge function pointer\n");
    return kNoAdjustPrivilegeEntry;
  }
  // Without these a later query may be refused; that query reports its status.
  adjust(kSeProfileSingleProcessPrivilege, 1, 0, &g_privilegeWasEnabled);
  adjust(kSeDebugPrivilege, 1, 0, &g_privilegeWasEnabled);

  g_NtQuerySystemInformation =
      NativeEntryCast<NtQuerySystemInformationFn>(g_lookup(kNtdll, "NtQuerySystemInformation"));
  if (g_NtQuerySystemInformation == nullptr) {
    ConsoleWPrintf(L"cannot get access to NtQueryInformation\n");
    ConsoleWPrintf(L"cannot initialize NtQuery pointer\n");
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

QueryStatus QuerySuperfetch(SuperfetchInformation* envelope, uint32_t* returnLength) {
  return g_NtQuerySystemInformation(kSystemSuperfetchInformation, envelope,
                                    static_cast<uint32_t>(sizeof(*envelope)), returnLength);
}

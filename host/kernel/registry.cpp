// The registry, as far as a driver reads its own settings: keys by their
// full path, binary values, opened and read at PASSIVE_LEVEL.
#include "host/kernel/state.h"

#include <cstring>
#include <map>

namespace host {
namespace detail {
namespace {
struct Registry {
  std::mutex lock;
  std::map<std::u16string, std::map<std::u16string, std::string>> keys;  // path (lower case) -> values
  std::map<HANDLE, std::u16string> open;
};
Registry& registry() { return Forever<Registry>(); }

// Registry names compare without regard to case.
std::u16string Folded(std::u16string text) {
  for (char16_t& c : text)
    if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
  return text;
}
std::u16string Text(const UNICODE_STRING* s) { return std::u16string(s->Buffer, s->Length / sizeof(WCHAR)); }
}  // namespace
}  // namespace detail

namespace registry {
void SetServiceParameter(const char16_t* service, const char16_t* value, const std::string& bytes) {
  std::u16string key = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\" + std::u16string(service) +
                       u"\\Parameters";
  auto& r = detail::registry();
  std::lock_guard<std::mutex> guard(r.lock);
  r.keys[detail::Folded(key)][detail::Folded(value)] = bytes;
}
}  // namespace registry
}  // namespace host

using namespace host;

extern "C" NTSTATUS NTAPI ZwOpenKey(PHANDLE keyHandle, ACCESS_MASK, POBJECT_ATTRIBUTES attributes) {
  verifier::RequireIrql(PASSIVE_LEVEL, "ZwOpenKey");
  if (NTSTATUS failure = faults::Check("ZwOpenKey")) return failure;
  if (attributes == nullptr || attributes->ObjectName == nullptr || attributes->RootDirectory != nullptr)
    return STATUS_INVALID_PARAMETER;
  std::u16string path = detail::Folded(detail::Text(attributes->ObjectName));
  auto& r = detail::registry();
  std::lock_guard<std::mutex> guard(r.lock);
  if (r.keys.count(path) == 0) return STATUS_OBJECT_NAME_NOT_FOUND;
  HANDLE handle = detail::NewHandle("Key");
  r.open[handle] = path;
  *keyHandle = handle;
  return STATUS_SUCCESS;
}

extern "C" NTSTATUS NTAPI ZwQueryValueKey(HANDLE keyHandle, PUNICODE_STRING valueName,
                                          KEY_VALUE_INFORMATION_CLASS informationClass, PVOID information,
                                          ULONG length, PULONG resultLength) {
  verifier::RequireIrql(PASSIVE_LEVEL, "ZwQueryValueKey");
  if (NTSTATUS failure = faults::Check("ZwQueryValueKey")) return failure;
  if (informationClass != KeyValuePartialInformation) return STATUS_INVALID_PARAMETER;
  auto& r = detail::registry();
  std::lock_guard<std::mutex> guard(r.lock);
  auto key = r.open.find(keyHandle);
  if (key == r.open.end()) return STATUS_INVALID_HANDLE;
  const auto& values = r.keys[key->second];
  auto value = values.find(detail::Folded(detail::Text(valueName)));
  if (value == values.end()) return STATUS_OBJECT_NAME_NOT_FOUND;
  constexpr ULONG kHeader = offsetof(KEY_VALUE_PARTIAL_INFORMATION, Data);
  ULONG needed = kHeader + static_cast<ULONG>(value->second.size());
  *resultLength = needed;
  if (length < kHeader) return STATUS_BUFFER_TOO_SMALL;
  auto* out = static_cast<PKEY_VALUE_PARTIAL_INFORMATION>(information);
  out->TitleIndex = 0;
  out->Type = REG_BINARY;
  out->DataLength = static_cast<ULONG>(value->second.size());
  if (length < needed) return STATUS_BUFFER_OVERFLOW;  // the fixed part is filled in
  std::memcpy(out->Data, value->second.data(), value->second.size());
  return STATUS_SUCCESS;
}

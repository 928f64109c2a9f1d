// Run-time library routines of the kernel.
#include "host/kernel/state.h"

#include <cstdio>
#include <cstring>

extern "C" VOID NTAPI RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  size_t length = 0;
  if (source != nullptr)
    while (source[length] != 0) ++length;
  destination->Buffer = const_cast<PWSTR>(source);
  destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  destination->MaximumLength = source != nullptr ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
}

extern "C" SIZE_T NTAPI RtlCompareMemory(const VOID* source1, const VOID* source2, SIZE_T length) {
  auto* a = static_cast<const unsigned char*>(source1);
  auto* b = static_cast<const unsigned char*>(source2);
  SIZE_T i = 0;
  while (i < length && a[i] == b[i]) ++i;
  return i;
}

// The kernel's _vsnprintf writes at most `count` characters. When the text
// fits with room to spare it is NUL-terminated and its length returned; when
// it fills the buffer exactly, no NUL is written; when it does not fit, the
// first `count` characters are written without a NUL and -1 is returned.
extern "C" int _vsnprintf(char* buffer, SIZE_T count, const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int needed = std::vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  if (needed < 0) return -1;
  std::string text(static_cast<size_t>(needed) + 1, '\0');
  std::vsnprintf(&text[0], text.size(), format, args);
  size_t length = static_cast<size_t>(needed);
  if (length < count) {
    std::memcpy(buffer, text.c_str(), length + 1);
    return needed;
  }
  std::memcpy(buffer, text.data(), count);
  return length == count ? needed : -1;
}

#include "core/http/bounded_printf.h"

NTSTATUS BoundedPrintf(char* buffer, SIZE_T size, const char* format, ...) {
  if (size == 0 || size > 0x7FFFFFFF) return STATUS_INVALID_PARAMETER;
  SIZE_T room = size - 1;
  va_list args;
  va_start(args, format);
  int written = _vsnprintf(buffer, room, format, args);
  va_end(args);
  // The kernel's _vsnprintf leaves the text unterminated when it fills the
  // room exactly or does not fit.
  if (written < 0 || static_cast<SIZE_T>(written) > room) {
    buffer[room] = '\0';
    return STATUS_BUFFER_OVERFLOW;
  }
  if (static_cast<SIZE_T>(written) == room) buffer[room] = '\0';
  return STATUS_SUCCESS;
}

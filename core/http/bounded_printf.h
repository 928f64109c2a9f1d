// Formatting into a fixed buffer that is always NUL-terminated.
#pragma once
#include "platform/wdk.h"

// Formats at most size - 1 characters into buffer and terminates them.
// STATUS_INVALID_PARAMETER (buffer untouched) for a size of 0 or above
// 0x7FFFFFFF; STATUS_BUFFER_OVERFLOW when the text was cut short.
NTSTATUS BoundedPrintf(char* buffer, SIZE_T size, const char* format, ...);

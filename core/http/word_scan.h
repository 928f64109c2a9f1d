// Byte searches a machine word at a time, for the request parser and the
// request records: plain integer arithmetic, no vector registers (kernel code
// on x86 would have to save the FPU state to use them).
#pragma once
#include "platform/wdk.h"

namespace word_scan {

typedef ULONG_PTR ScanWord;  // long is as wide as a pointer on every target here
constexpr ScanWord kOnes = ~ScanWord(0) / 0xFF;
constexpr ScanWord kHighBits = kOnes * 0x80;
constexpr UINT32 kWordBytes = sizeof(ScanWord);
static_assert(sizeof(ScanWord) == sizeof(unsigned long), "__builtin_ctzl takes a ScanWord");
static_assert(__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__, "the lowest flagged byte comes first");

// High bit of each byte of w that equals c. A borrow only runs upwards from a
// matching byte, so the lowest flag is always a true one.
inline ScanWord Matches(ScanWord w, char c) {
  ScanWord x = w ^ (kOnes * static_cast<UINT8>(c));
  return (x - kOnes) & ~x & kHighBits;
}
// High bit of each byte of w that is CR or LF (the lowest flag true).
inline ScanWord LineEnds(ScanWord w) { return Matches(w, '\r') | Matches(w, '\n'); }
// Non-zero when w has a byte below 0x0E, which every CR, LF and NUL is, and
// possibly when it has one above 0x8D: a pre-filter for LineEnds in two
// operations, rarely true inside header text (which is ASCII).
inline ScanWord Controls(ScanWord w) { return (w - kOnes * 0x0E) & kHighBits; }
inline UINT32 FirstFlagged(ScanWord flags) { return static_cast<UINT32>(__builtin_ctzl(flags)) / 8; }
// Unaligned loads and stores as byte copies, which the compiler folds into
// one move on x86.
inline ScanWord LoadWord(const void* p) {
  ScanWord w;
  __builtin_memcpy(&w, p, sizeof(w));
  return w;
}
inline void StoreWord(void* p, ScanWord w) { __builtin_memcpy(p, &w, sizeof(w)); }
inline bool IsLineEnd(UINT8 byte) { return byte == '\r' || byte == '\n'; }

// Copies n bytes, sizeof(T) <= n <= 2 * sizeof(T), as two moves of T that
// may overlap.
template <typename T>
inline void CopyHeadAndTail(char* to, const char* from, SIZE_T n) {
  T head, tail;
  __builtin_memcpy(&head, from, sizeof(T));
  __builtin_memcpy(&tail, from + n - sizeof(T), sizeof(T));
  __builtin_memcpy(to, &head, sizeof(T));
  __builtin_memcpy(to + n - sizeof(T), &tail, sizeof(T));
}

// memcpy for the short texts of a request (a few dozen bytes): whole words,
// the last one overlapping the one before it, so that no byte outside the n
// is read or written and no call is made (a byte loop here would become a
// memmove call, which the driver image does not import).
inline void CopyShort(char* to, const char* from, SIZE_T n) {
  if (n >= kWordBytes) {
    SIZE_T i = 0;
    for (; n - i > kWordBytes; i += kWordBytes) StoreWord(to + i, LoadWord(from + i));
    StoreWord(to + n - kWordBytes, LoadWord(from + n - kWordBytes));
  } else if (n >= 4) {
    CopyHeadAndTail<UINT32>(to, from, n);
  } else if (n >= 2) {
    CopyHeadAndTail<UINT16>(to, from, n);
  } else if (n == 1) {
    to[0] = from[0];
  }
}

// strlen, reading the first `readable` bytes of the text a word at a time
// (they must all be readable; 0 for a text of unknown extent).
inline SIZE_T TextLength(const char* text, SIZE_T readable) {
  SIZE_T i = 0;
  for (; readable - i >= kWordBytes; i += kWordBytes) {
    ScanWord zeros = Matches(LoadWord(text + i), '\0');
    if (zeros != 0) return i + FirstFlagged(zeros);
  }
  for (; i < readable; ++i)
    if (text[i] == '\0') return i;
  return readable + strlen(text + readable);
}

// Index of the first c or NUL in the text (strchrnul), reading the first
// `readable` bytes a word at a time.
inline SIZE_T SpanUntil(const char* text, SIZE_T readable, char c) {
  SIZE_T i = 0;
  for (; readable - i >= kWordBytes; i += kWordBytes) {
    ScanWord w = LoadWord(text + i);
    ScanWord stops = Matches(w, '\0') | Matches(w, c);
    if (stops != 0) return i + FirstFlagged(stops);
  }
  for (; i < readable; ++i)
    if (text[i] == c || text[i] == '\0') return i;
  const char* found = strchr(text + readable, c);
  return found != nullptr ? static_cast<SIZE_T>(found - text) : readable + strlen(text + readable);
}

}  // namespace word_scan

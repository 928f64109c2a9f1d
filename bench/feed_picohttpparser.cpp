#include "bench/parsers.h"

#include <strings.h>

// picohttpparser's interface. Debian ships no header of it; the library is
// the copy built into libh2o-evloop (package libh2o-evloop0.13).
extern "C" {
struct phr_header {
  const char* name;
  size_t name_len;
  const char* value;
  size_t value_len;
};
int phr_parse_request(const char* buf, size_t len, const char** method, size_t* method_len, const char** path,
                      size_t* path_len, int* minor_version, struct phr_header* headers, size_t* num_headers,
                      size_t last_len);
}

namespace bench {
namespace {

size_t ContentLength(const phr_header* headers, size_t count) {
  for (size_t k = 0; k < count; ++k) {
    if (headers[k].name_len == 14 && strncasecmp(headers[k].name, "content-length", 14) == 0) {
      size_t value = 0;
      for (size_t c = 0; c < headers[k].value_len; ++c) value = value * 10 + (headers[k].value[c] - '0');
      return value;
    }
  }
  return 0;
}

}  // namespace

long FeedPicoHttpParser(const std::string& stream, size_t chunk) {
  static std::string pending;  // the start of a header not complete yet
  pending.clear();
  size_t lastLen = 0;     // bytes of pending already offered
  size_t bodyLeft = 0;    // body bytes still to skip
  long requests = 0;
  const size_t size = stream.size();
  if (chunk == 0) chunk = size;
  for (size_t at = 0; at < size; at += chunk) {
    const char* data = stream.data() + at;
    size_t n = size - at < chunk ? size - at : chunk;
    size_t skip = bodyLeft < n ? bodyLeft : n;
    bodyLeft -= skip;
    data += skip;
    n -= skip;
    if (n == 0) continue;
    // Parse straight from the chunk unless a partial header waits.
    const bool direct = pending.empty();
    if (!direct) pending.append(data, n);
    const char* buf = direct ? data : pending.data();
    const size_t len = direct ? n : pending.size();
    size_t used = 0;
    while (used < len) {
      const char *method, *path;
      size_t methodLen, pathLen, headerCount = 32;
      int minor;
      phr_header headers[32];
      int r = phr_parse_request(buf + used, len - used, &method, &methodLen, &path, &pathLen, &minor, headers,
                                &headerCount, lastLen);
      if (r == -1) return -1;
      if (r == -2) {
        lastLen = len - used;
        break;
      }
      ++requests;
      lastLen = 0;
      used += static_cast<size_t>(r);
      size_t body = ContentLength(headers, headerCount);
      if (body > len - used) {
        bodyLeft = body - (len - used);
        used = len;
      } else {
        used += body;
      }
    }
    if (direct) {
      pending.assign(buf + used, len - used);
    } else {
      pending.erase(0, used);
    }
  }
  return requests;
}

}  // namespace bench

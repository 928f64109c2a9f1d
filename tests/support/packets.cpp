#include "tests/support/classify.h"

#include "host/wfp.h"

namespace nqtest {

HANDLE InjectionHandleOfType(UINT32 injectionType) {
  for (const auto& h : host::wfp::View().injectionHandles)
    if (h.injectionType == injectionType) return h.handle;
  return nullptr;
}

std::string Ipv4Header(UINT8 protocol, UINT32 source, UINT32 destination, size_t transportLength) {
  std::string h(20, '\0');
  size_t total = 20 + transportLength;
  h[0] = 0x45;
  h[2] = static_cast<char>(total >> 8);
  h[3] = static_cast<char>(total);
  h[8] = 64;
  h[9] = static_cast<char>(protocol);
  for (int i = 0; i < 4; ++i) {
    h[12 + i] = static_cast<char>(source >> (24 - 8 * i));
    h[16 + i] = static_cast<char>(destination >> (24 - 8 * i));
  }
  return h;
}

std::string UdpHeader(UINT16 sourcePort, UINT16 destinationPort, size_t payloadLength) {
  std::string h(8, '\0');
  size_t length = 8 + payloadLength;
  h[0] = static_cast<char>(sourcePort >> 8);
  h[1] = static_cast<char>(sourcePort);
  h[2] = static_cast<char>(destinationPort >> 8);
  h[3] = static_cast<char>(destinationPort);
  h[4] = static_cast<char>(length >> 8);
  h[5] = static_cast<char>(length);
  return h;
}

}  // namespace nqtest

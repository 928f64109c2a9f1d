// libFuzzer target: the replay's capture reader and frame decoder on
// whatever bytes a file may hold. The input is the file; every frame libpcap
// hands back is decoded at the file's link type, and what the decoder says
// it found must lie inside the captured bytes.
#include "tools/replay/capture.h"
#include "tools/replay/decode.h"

#include <sys/mman.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

void Fail(const char* problem, size_t frame) {
  std::fprintf(stderr, "capture decoder: frame %zu: %s\n", frame, problem);
  std::abort();
}

// The packet's parts, as the decoder describes them, within the frame.
void CheckPacket(const replay::Packet& p, const replay::Frame& f, size_t index) {
  const uint8_t* end = f.data + f.capturedLength;
  if (p.ip < f.data || p.ip > end) Fail("the IPv4 header starts outside the frame", index);
  if (p.ipHeaderLength < 20 || p.ipHeaderLength > p.ipLength) Fail("the IPv4 header length is impossible", index);
  if (p.ipLength > static_cast<size_t>(end - p.ip)) Fail("the IPv4 packet runs past the captured bytes", index);
  if ((p.IsTcp() || p.IsUdp()) && p.transportHeaderLength > p.TransportLength())
    Fail("the transport header runs past the packet", index);
  if (p.IsTcp() && p.transportHeaderLength < 20) Fail("a TCP header shorter than 20 bytes", index);
  if (p.IsUdp() && p.transportHeaderLength != 8) Fail("a UDP header other than 8 bytes", index);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  int fd = memfd_create("capture", 0);
  if (fd < 0) return 0;
  for (size_t at = 0; at < size;) {
    ssize_t n = write(fd, data + at, size - at);
    if (n <= 0) {
      close(fd);
      return 0;
    }
    at += static_cast<size_t>(n);
  }
  std::string path = "/proc/self/fd/" + std::to_string(fd);
  {
    replay::CaptureReader reader;
    std::string error;
    if (reader.Open(path, &error)) {
      replay::Frame frame;
      for (size_t index = 1; reader.Read(&frame, &error) == replay::CaptureReader::Result::kFrame; ++index) {
        if (frame.capturedLength > frame.wireLength && frame.wireLength != 0) continue;  // libpcap's word
        replay::Packet packet;
        if (replay::DecodeFrame(reader.linkType(), frame.data, frame.capturedLength, frame.wireLength, &packet) ==
            replay::Skip::kNone)
          CheckPacket(packet, frame, index);
        reader.Progress();
      }
    }
  }
  close(fd);
  return 0;
}

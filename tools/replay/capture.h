// Reading packet captures (pcap and pcapng) through libpcap.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

typedef struct pcap pcap_t;

namespace replay {

struct Frame {
  int64_t timeMicros = 0;     // capture time stamp
  const uint8_t* data = nullptr;  // valid until the next Read
  size_t capturedLength = 0;
  size_t wireLength = 0;
};

class CaptureReader {
 public:
  CaptureReader() = default;
  CaptureReader(const CaptureReader&) = delete;
  CaptureReader& operator=(const CaptureReader&) = delete;
  ~CaptureReader();

  // Opens a capture file; fails with a one-line reason for a missing file,
  // a file that is not a capture, or a link type the decoder cannot read.
  bool Open(const std::string& path, std::string* error);

  enum class Result { kFrame, kEnd, kError };
  // The next frame; kError with a reason when the file is damaged (the
  // frames read before the damage stay valid results).
  Result Read(Frame* frame, std::string* error);

  int linkType() const { return linkType_; }
  std::string linkName() const;
  // How far into the file the reader is, as a fraction (0 when unknown).
  double Progress() const;

 private:
  pcap_t* pcap_ = nullptr;
  int linkType_ = -1;
  long fileSize_ = 0;
};

// A capture time stamp in microseconds, held within a range where
// differences of two of them cannot overflow.
int64_t TimeMicros(int64_t seconds, int64_t micros);

// Whether the decoder reads frames of this libpcap link type.
bool LinkTypeSupported(int linkType);

}  // namespace replay

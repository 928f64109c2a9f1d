// The replay's outcome as captures (nqwfp replay --write, --write-passed):
// every packet of the input with a comment saying what the driver did with
// it, and the packets the driver injected, placed where it injected them.
// One file holds all of it; the other only what would be on the wire or at
// the application with the driver in place.
#pragma once
#include "tools/replay/capture.h"
#include "tools/replay/pcapng_writer.h"
#include "tools/replay/stack.h"

#include <string>

namespace replay {

class OutcomeCapture {
 public:
  struct Setup {
    std::string all;     // every packet read and every injection; empty for none
    std::string passed;  // what was delivered and every injection; empty for none
    int dlt = 0;         // the input's libpcap link type: its frames are written as they were captured
    uint32_t localAddress = 0;
    std::string policy;  // the policy file's name, for the interface description
  };

  // Creates the files; false with a one-line reason when one cannot be
  // written.
  bool Open(const Setup& setup, std::string* error);
  bool enabled() const { return all_.writer.is_open() || passed_.writer.is_open(); }

  // A frame of the input and what became of it; then what the driver
  // injected meanwhile. A skipped frame has no injections.
  void Frame(const replay::Frame& frame, const PacketFate& fate);
  // Injections made after the last frame (at the end of the capture).
  void Injected(const std::vector<InjectedPacket>& packets);

  // Closes the files; false with a one-line reason when one could not be
  // written in full.
  bool Close(std::string* error);

 private:
  struct Output {
    std::string path;
    PcapngWriter writer;
    uint32_t captured = 0, injected = 0;  // interface numbers
  };
  bool OpenOne(Output& out, const std::string& path, const Setup& setup, std::string* error);
  void Write(const std::vector<InjectedPacket>& packets);

  Output all_, passed_;
  int64_t lastTime_ = 0;
};

}  // namespace replay

#include "tools/replay/outcome_capture.h"

#include "tools/replay/decode.h"

#ifndef NQ_TOOL_VERSION
#define NQ_TOOL_VERSION "unknown"
#endif

namespace replay {

bool OutcomeCapture::Open(const Setup& setup, std::string* error) {
  return OpenOne(all_, setup.all, setup, error) && OpenOne(passed_, setup.passed, setup, error);
}

bool OutcomeCapture::OpenOne(Output& out, const std::string& path, const Setup& setup, std::string* error) {
  if (path.empty()) return true;
  out.path = path;
  if (!out.writer.Open(path, std::string("nqwfp replay ") + NQ_TOOL_VERSION + " (nqwfpdrv on the host platform)",
                       error))
    return false;
  std::string local = Dotted(setup.localAddress);
  std::string policy = setup.policy.empty() ? "no policy file (everything permitted)" : "policy " + setup.policy;
  // The input's frames keep their own link type; what the driver made up is
  // raw IPv4.
  out.captured = out.writer.AddInterface(LinkTypeOfDlt(setup.dlt), "capture",
                                         "the capture as seen at the local host " + local + ", " + policy);
  out.injected = out.writer.AddInterface(kLinkTypeRaw, "nqwfpdrv",
                                         "packets nqwfpdrv injected at the local host " + local + ", " + policy);
  return true;
}

void OutcomeCapture::Frame(const replay::Frame& frame, const PacketFate& fate) {
  lastTime_ = frame.timeMicros;
  for (Output* out : {&all_, &passed_}) {
    if (!out->writer.is_open() || (out == &passed_ && !fate.delivered)) continue;
    out->writer.WritePacket(out->captured, frame.timeMicros, frame.data, frame.capturedLength, frame.wireLength,
                            fate.comment);
  }
  Write(fate.injected);
}

void OutcomeCapture::Injected(const std::vector<InjectedPacket>& packets) { Write(packets); }

void OutcomeCapture::Write(const std::vector<InjectedPacket>& packets) {
  for (const InjectedPacket& p : packets)
    for (Output* out : {&all_, &passed_})
      if (out->writer.is_open())
        out->writer.WritePacket(out->injected, lastTime_, p.ip.data(), p.ip.size(), p.ip.size(), p.comment);
}

bool OutcomeCapture::Close(std::string* error) {
  bool ok = true;
  for (Output* out : {&all_, &passed_}) {
    if (!out->writer.is_open()) continue;
    if (!out->writer.Close() && ok) {
      *error = "the capture '" + out->path + "' could not be written in full";
      ok = false;
    }
  }
  return ok;
}

}  // namespace replay

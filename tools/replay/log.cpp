#include "tools/replay/log.h"

#include "tools/replay/decode.h"

#include <cstdio>

namespace replay {
namespace {

constexpr size_t kHexBytes = 32;  // first bytes of a buffer shown in the log

std::string Quote(const std::string& text) {
  std::string out = "\"";
  for (unsigned char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      default:
        if (c < 0x20 || c >= 0x7F) {
          char esc[8];
          std::snprintf(esc, sizeof esc, "\\u%04x", c);
          out += esc;
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  return out + "\"";
}

std::string Hex(const std::string& bytes, size_t limit) {
  static const char digits[] = "0123456789abcdef";
  std::string out;
  for (size_t i = 0; i < bytes.size() && i < limit; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    out += digits[c >> 4];
    out += digits[c & 15];
  }
  return out;
}

// Addresses travel in network order: the first octet in the lowest byte.
std::string DottedNet(uint64_t networkOrder) { return Dotted(__builtin_bswap32(static_cast<uint32_t>(networkOrder))); }

bool IsAddress(const std::string& name) {
  return name.size() >= 7 && name.compare(name.size() - 7, 7, "Address") == 0;
}

const char* ActionName(FWP_ACTION_TYPE action) {
  switch (action) {
    case FWP_ACTION_PERMIT: return "PERMIT";
    case FWP_ACTION_BLOCK: return "BLOCK";
    case FWP_ACTION_CONTINUE: return "CONTINUE";
    case FWP_ACTION_NONE: return "NONE";
    default: return "OTHER";
  }
}

// A byte buffer: its length and its first bytes in hex.
std::string BytesJson(const std::string& bytes) {
  return "{\"length\":" + std::to_string(bytes.size()) + ",\"hex\":" + Quote(Hex(bytes, kHexBytes)) + "}";
}

std::string DataField(const std::string& data) { return ",\"data\":" + BytesJson(data); }

std::string Endpoint(uint32_t address, uint16_t port) { return Quote(Dotted(address) + ":" + std::to_string(port)); }

std::string PlaceFields(const ClassifyPlace& p) {
  std::string s;
  if (p.packet != 0) s += ",\"packet\":" + std::to_string(p.packet);
  if (p.flow != 0) s += ",\"flow\":" + std::to_string(p.flow);
  if (p.direction >= 0) s += std::string(",\"direction\":") + (p.direction == 0 ? "\"outbound\"" : "\"inbound\"");
  if (p.protocol >= 0) s += std::string(",\"protocol\":") + (p.protocol == 6 ? "\"tcp\"" : p.protocol == 17 ? "\"udp\"" : std::to_string(p.protocol));
  s += ",\"local\":" + Endpoint(p.localAddress, p.localPort);
  if (p.remoteAddress != 0 || p.remotePort != 0) s += ",\"remote\":" + Endpoint(p.remoteAddress, p.remotePort);
  if (p.processId != 0) s += ",\"processId\":" + std::to_string(p.processId);
  return s;
}

}  // namespace

std::string CallJson(const client::Call& call) {
  std::string s = "{\"call\":" + Quote(call.slot);
  for (const client::Arg& a : call.args) {
    s += "," + Quote(a.name) + ":";
    if (a.isText)
      s += Quote(a.text);
    else if (a.isBytes)
      s += BytesJson(a.bytes);
    else if (IsAddress(a.name))
      s += Quote(DottedNet(a.value));
    else
      s += std::to_string(a.value);
  }
  return s + "}";
}

void JsonLog::HoldForClassify() {
  std::lock_guard<std::mutex> guard(lock_);
  holding_ = true;
  holder_ = std::this_thread::get_id();
}

void JsonLog::Line(const std::string& json) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (holding_ && std::this_thread::get_id() != holder_) {
    held_.push_back(json);
    return;
  }
  *out_ << json << '\n';
}

void JsonLog::Call(const client::Call& call) {
  if (out_ != nullptr) Line(CallJson(call));
}

void JsonLog::Lookup(const char* service, uint32_t localAddressNet, uint32_t localPort, uint32_t found,
                     uint64_t processId) {
  if (out_ == nullptr) return;
  std::string s = std::string("{\"lookup\":") + Quote(service) + ",\"localAddress\":" + Quote(DottedNet(localAddressNet)) +
                  ",\"localPort\":" + std::to_string(localPort) + ",\"found\":" + std::to_string(found);
  if (found != 0) s += ",\"processId\":" + std::to_string(processId);
  Line(s + "}");
}

void JsonLog::Classify(UINT16 layerId, const host::wfp::ClassifyResult& r, const ClassifyPlace& place,
                       bool reauthorization, const FWPS_STREAM_CALLOUT_IO_PACKET0* stream) {
  if (out_ == nullptr) return;
  std::string s = std::string("{\"classify\":") + Quote(host::wfp::LayerName(layerId)) + ",\"action\":" +
                  Quote(r.called ? ActionName(r.actionType) : "NOT_CLASSIFIED") + PlaceFields(place);
  if (stream != nullptr && stream->streamData != nullptr) {
    s += ",\"streamFlags\":" + std::to_string(stream->streamData->flags) +
         ",\"dataLength\":" + std::to_string(stream->streamData->dataLength);
    if (r.actionType == FWP_ACTION_BLOCK)
      s += ",\"countBytesEnforced\":" + std::to_string(stream->countBytesEnforced) +
           ",\"streamAction\":" + std::to_string(static_cast<int>(stream->streamAction));
  }
  s += std::string(",\"absorb\":") + ((r.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0 ? "true" : "false");
  s += std::string(",\"writeRight\":") + ((r.rights & FWPS_RIGHT_ACTION_WRITE) != 0 ? "true" : "false");
  s += std::string(",\"reauthorize\":") + (reauthorization ? "true" : "false");
  std::lock_guard<std::mutex> guard(lock_);
  if (stream == nullptr || r.called) *out_ << s << "}\n";
  for (const std::string& line : held_) *out_ << line << '\n';
  held_.clear();
  holding_ = false;
}

void JsonLog::Injection(const std::string& kind, const ClassifyPlace& place, const std::string& data) {
  if (out_ == nullptr) return;
  Line("{\"injection\":" + Quote(kind) + PlaceFields(place) + DataField(data) + "}");
}

void JsonLog::StreamInjection(const ClassifyPlace& place, UINT32 streamFlags, const std::string& data) {
  if (out_ == nullptr) return;
  Line("{\"injection\":\"stream\"" + PlaceFields(place) + ",\"streamFlags\":" + std::to_string(streamFlags) +
       DataField(data) + "}");
}

}  // namespace replay

#include "tools/replay/log.h"

#include <cstring>

namespace replay {
namespace {

constexpr size_t kHexBytes = 32;            // first bytes of a buffer shown in the log
constexpr size_t kFlushBytes = 256 * 1024;  // the buffer goes out in writes of about this much

using Buffer = fmt::memory_buffer;

// Appends bytes: a copy in place while the buffer has room (the common
// case, the buffer being reused), else the buffer grows.
inline void Put(Buffer& b, const char* bytes, size_t length) {
  size_t size = b.size();
  if (size + length > b.capacity()) {
    b.append(bytes, bytes + length);
    return;
  }
  char* to = b.data() + size;
  if (length <= 16) {
    for (size_t i = 0; i < length; ++i) to[i] = bytes[i];  // the usual piece: shorter than a call's overhead
  } else {
    std::memcpy(to, bytes, length);
  }
  b.resize(size + length);
}

// Text that needs no escaping: a literal, whose length is known, or a name.
template <size_t N>
void Raw(Buffer& b, const char (&literal)[N]) {
  Put(b, literal, N - 1);
}
void RawText(Buffer& b, const char* text) { Put(b, text, std::strlen(text)); }

// Decimal digits, written in place.
void Num(Buffer& b, uint64_t value) {
  size_t length = 1;
  for (uint64_t rest = value / 10; rest != 0; rest /= 10) ++length;
  size_t size = b.size();
  b.resize(size + length);
  char* digit = b.data() + size + length;
  do {
    *--digit = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
}

// A packet or flow number; null for none.
void NumOrNull(Buffer& b, uint64_t value) {
  if (value == 0)
    Raw(b, "null");
  else
    Num(b, value);
}

// ,"packet":N,"flow":N (null for none)
void PacketAndFlow(Buffer& b, uint64_t packet, int flow) {
  Raw(b, ",\"packet\":");
  NumOrNull(b, packet);
  Raw(b, ",\"flow\":");
  NumOrNull(b, static_cast<uint64_t>(flow));
}

void Bool(Buffer& b, bool value) { RawText(b, value ? "true" : "false"); }

// A JSON string: quotes, backslashes and control bytes escaped, and every
// byte outside printable ASCII as \u00XX, so that a line is ASCII whatever
// bytes the capture held.
void Str(Buffer& b, const char* text, size_t length) {
  static const char digits[] = "0123456789abcdef";
  b.push_back('"');
  const char* run = text;
  const char* end = text + length;
  for (const char* p = text; p != end; ++p) {
    unsigned char c = static_cast<unsigned char>(*p);
    if (c >= 0x20 && c < 0x7F && c != '"' && c != '\\') continue;
    Put(b, run, static_cast<size_t>(p - run));
    run = p + 1;
    switch (c) {
      case '"': Raw(b, "\\\""); break;
      case '\\': Raw(b, "\\\\"); break;
      case '\n': Raw(b, "\\n"); break;
      case '\r': Raw(b, "\\r"); break;
      case '\t': Raw(b, "\\t"); break;
      default: {
        const char esc[6] = {'\\', 'u', '0', '0', digits[c >> 4], digits[c & 15]};
        Put(b, esc, sizeof esc);
      }
    }
  }
  Put(b, run, static_cast<size_t>(end - run));
  b.push_back('"');
}
void Str(Buffer& b, const std::string& text) { Str(b, text.data(), text.size()); }
void Str(Buffer& b, const char* text) { Str(b, text, std::strlen(text)); }

// A key after the first, ,"name": in one append.
template <size_t N>
void Key(Buffer& b, const char (&name)[N]) {
  char key[N + 3] = {',', '"'};
  std::memcpy(key + 2, name, N - 1);
  key[N + 1] = '"';
  key[N + 2] = ':';
  Put(b, key, sizeof key);
}

// a.b.c.d
void Dotted(Buffer& b, uint32_t hostOrder) {
  for (int shift = 24; shift >= 0; shift -= 8) {
    Num(b, (hostOrder >> shift) & 255);
    if (shift != 0) b.push_back('.');
  }
}

// The dotted address, as a JSON string.
void Address(Buffer& b, uint32_t hostOrder) {
  b.push_back('"');
  Dotted(b, hostOrder);
  b.push_back('"');
}

// "a.b.c.d:port"
void Endpoint(Buffer& b, uint32_t hostOrder, uint16_t port) {
  b.push_back('"');
  Dotted(b, hostOrder);
  b.push_back(':');
  Num(b, port);
  b.push_back('"');
}

// Addresses in client calls travel in network order: the first octet in
// the lowest byte.
void AddressNet(Buffer& b, uint64_t networkOrder) { Address(b, __builtin_bswap32(static_cast<uint32_t>(networkOrder))); }

// A byte buffer: its length and its first bytes in hex.
void BytesJson(Buffer& b, const std::string& bytes) {
  static const char digits[] = "0123456789abcdef";
  Raw(b, "{\"length\":");
  Num(b, bytes.size());
  Raw(b, ",\"hex\":\"");
  for (size_t i = 0; i < bytes.size() && i < kHexBytes; ++i) {
    unsigned char c = static_cast<unsigned char>(bytes[i]);
    b.push_back(digits[c >> 4]);
    b.push_back(digits[c & 15]);
  }
  Raw(b, "\"}");
}

bool IsAddress(const std::string& name) {
  return name.size() >= 7 && std::memcmp(name.data() + name.size() - 7, "Address", 7) == 0;
}

bool IsProcessId(const std::string& name) { return name.size() == 9 && std::memcmp(name.data(), "processId", 9) == 0; }

const char* ActionName(FWP_ACTION_TYPE action) {
  switch (action) {
    case FWP_ACTION_PERMIT: return "PERMIT";
    case FWP_ACTION_BLOCK: return "BLOCK";
    case FWP_ACTION_CONTINUE: return "CONTINUE";
    case FWP_ACTION_NONE: return "NONE";
    default: return "OTHER";
  }
}

// The stream's flags, and their FWPS_STREAM_FLAG_ names: "SEND|SEND_DISCONNECT".
void StreamFlags(Buffer& b, UINT32 flags) {
  static const std::pair<UINT32, const char*> kNames[] = {
      {FWPS_STREAM_FLAG_RECEIVE, "RECEIVE"},
      {FWPS_STREAM_FLAG_RECEIVE_EXPEDITED, "RECEIVE_EXPEDITED"},
      {FWPS_STREAM_FLAG_RECEIVE_DISCONNECT, "RECEIVE_DISCONNECT"},
      {FWPS_STREAM_FLAG_RECEIVE_ABORT, "RECEIVE_ABORT"},
      {FWPS_STREAM_FLAG_RECEIVE_PUSH, "RECEIVE_PUSH"},
      {FWPS_STREAM_FLAG_SEND, "SEND"},
      {FWPS_STREAM_FLAG_SEND_EXPEDITED, "SEND_EXPEDITED"},
      {FWPS_STREAM_FLAG_SEND_NODELAY, "SEND_NODELAY"},
      {FWPS_STREAM_FLAG_SEND_DISCONNECT, "SEND_DISCONNECT"},
      {FWPS_STREAM_FLAG_SEND_ABORT, "SEND_ABORT"},
  };
  Key(b, "streamFlags");
  Num(b, flags);
  Key(b, "streamFlagNames");
  b.push_back('"');
  const char* separator = "";
  UINT32 known = 0;
  for (const auto& [flag, name] : kNames) {
    known |= flag;
    if ((flags & flag) == 0) continue;
    RawText(b, separator);
    RawText(b, name);
    separator = "|";
  }
  if ((flags & ~known) != 0) fmt::format_to(fmt::appender(b), "{}0x{:x}", separator, flags & ~known);
  b.push_back('"');
}

}  // namespace

void AppendJsonString(fmt::memory_buffer& out, const std::string& text) { Str(out, text); }

void JsonLog::ProcessName(Buffer& b, uint64_t processId) const {
  const char* name = names_ ? names_(processId) : nullptr;
  if (name == nullptr) return;
  Key(b, "process");
  Str(b, name);
}

void JsonLog::ProcessField(Buffer& b, uint64_t processId) const {
  Key(b, "processId");
  Num(b, processId);
  ProcessName(b, processId);
}

void JsonLog::PlaceFields(Buffer& b, const ClassifyPlace& p) const {
  PacketAndFlow(b, p.packet, p.flow);
  if (p.direction >= 0) {
    Key(b, "direction");
    RawText(b, p.direction == 0 ? "\"outbound\"" : "\"inbound\"");
  }
  if (p.protocol >= 0) {
    Key(b, "protocol");
    if (p.protocol == 6 || p.protocol == 17)
      RawText(b, p.protocol == 6 ? "\"tcp\"" : "\"udp\"");
    else
      Num(b, static_cast<uint64_t>(p.protocol));
  }
  Key(b, "local");
  Endpoint(b, p.localAddress, p.localPort);
  if (p.remoteAddress != 0 || p.remotePort != 0) {
    Key(b, "remote");
    Endpoint(b, p.remoteAddress, p.remotePort);
  }
  if (p.processId != 0) {
    ProcessField(b, p.processId);
  }
}

void JsonLog::HoldForClassify() {
  std::lock_guard<std::mutex> guard(lock_);
  holding_ = true;
  holder_ = std::this_thread::get_id();
}

JsonLog::Buffer& JsonLog::Target() {
  return holding_ && std::this_thread::get_id() != holder_ ? held_ : buffer_;
}

void JsonLog::EndLine(Buffer& line) {
  Raw(line, "}\n");
  if (&line == &buffer_) WriteIfFull();
}

void JsonLog::WriteIfFull() {
  if (buffer_.size() < kFlushBytes) return;
  out_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
}

void JsonLog::Flush() {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  out_->write(buffer_.data(), static_cast<std::streamsize>(buffer_.size()));
  buffer_.clear();
  out_->flush();
}

void JsonLog::Call(const client::Call& call, uint64_t packet, int flow) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  Buffer& b = Target();
  Raw(b, "{\"type\":\"call\",\"call\":");
  Str(b, call.slot);
  PacketAndFlow(b, packet, flow);
  for (const client::Arg& a : call.args) {
    // Argument names are the stand-in client's identifiers: nothing to escape.
    Raw(b, ",\"");
    Put(b, a.name.data(), a.name.size());
    Raw(b, "\":");
    if (a.isText) {
      Str(b, a.text);
    } else if (a.isBytes) {
      BytesJson(b, a.bytes);
    } else if (IsAddress(a.name)) {
      AddressNet(b, a.value);
    } else {
      Num(b, a.value);
      if (IsProcessId(a.name)) ProcessName(b, a.value);
    }
  }
  EndLine(b);
}

void JsonLog::Lookup(const char* service, uint32_t localAddressNet, uint32_t localPort, uint32_t found,
                     uint64_t processId, uint64_t packet, int flow) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  Buffer& b = Target();
  Raw(b, "{\"type\":\"lookup\",\"lookup\":");
  Str(b, service);
  PacketAndFlow(b, packet, flow);
  Key(b, "localAddress");
  AddressNet(b, localAddressNet);
  Key(b, "localPort");
  Num(b, localPort);
  Key(b, "found");
  Num(b, found);
  if (found != 0) {
    ProcessField(b, processId);
  }
  EndLine(b);
}

void JsonLog::Classify(UINT16 layerId, const host::wfp::ClassifyResult& r, const ClassifyPlace& place,
                       bool reauthorization, const FWPS_STREAM_CALLOUT_IO_PACKET0* stream) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  if (stream == nullptr || r.called) {
    Buffer& b = buffer_;
    Raw(b, "{\"type\":\"classify\",\"classify\":");
    Str(b, host::wfp::LayerName(layerId));
    Key(b, "action");
    Str(b, r.called ? ActionName(r.actionType) : "NOT_CLASSIFIED");
    PlaceFields(b, place);
    if (stream != nullptr && stream->streamData != nullptr) {
      StreamFlags(b, stream->streamData->flags);
      Key(b, "dataLength");
      Num(b, stream->streamData->dataLength);
      if (r.actionType == FWP_ACTION_BLOCK) {
        Key(b, "countBytesEnforced");
        Num(b, stream->countBytesEnforced);
        Key(b, "streamAction");
        Num(b, static_cast<uint64_t>(stream->streamAction));
      }
    }
    Key(b, "absorb");
    Bool(b, (r.flags & FWPS_CLASSIFY_OUT_FLAG_ABSORB) != 0);
    // A pended operation answers BLOCK with absorb until its completion.
    if (r.pended) {
      Key(b, "pended");
      Bool(b, true);
    }
    Key(b, "writeRight");
    Bool(b, (r.rights & FWPS_RIGHT_ACTION_WRITE) != 0);
    Key(b, "reauthorize");
    Bool(b, reauthorization);
    Raw(b, "}\n");
  }
  buffer_.append(held_.data(), held_.data() + held_.size());
  held_.clear();
  holding_ = false;
  WriteIfFull();
}

void JsonLog::Injection(const char* kind, const ClassifyPlace& place, const std::string& data) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  Buffer& b = Target();
  Raw(b, "{\"type\":\"injection\",\"injection\":");
  Str(b, kind);
  PlaceFields(b, place);
  Key(b, "data");
  BytesJson(b, data);
  EndLine(b);
}

void JsonLog::StreamInjection(const ClassifyPlace& place, UINT32 streamFlags, const std::string& data) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  Buffer& b = Target();
  Raw(b, "{\"type\":\"injection\",\"injection\":\"stream\"");
  PlaceFields(b, place);
  StreamFlags(b, streamFlags);
  Key(b, "data");
  BytesJson(b, data);
  EndLine(b);
}

void JsonLog::Http(const HttpRecord& r) {
  if (out_ == nullptr) return;
  std::lock_guard<std::mutex> guard(lock_);
  Buffer& b = Target();
  Raw(b, "{\"type\":\"http\"");
  PacketAndFlow(b, r.packet, r.flow);
  if (r.processId != 0) {
    ProcessField(b, r.processId);
  }
  Key(b, "host");
  Str(b, r.host);
  Key(b, "hostFromRequest");
  Bool(b, r.hostFromRequest);
  Key(b, "method");
  Str(b, r.method);
  Key(b, "url");
  Str(b, r.url);
  Key(b, "size");
  Num(b, r.size);
  Key(b, "outcome");
  Str(b, r.outcome);
  EndLine(b);
}

}  // namespace replay

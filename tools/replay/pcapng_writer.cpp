#include "tools/replay/pcapng_writer.h"

#include <pcap/dlt.h>

#include <cerrno>
#include <cstring>

namespace replay {
namespace {

constexpr uint32_t kSectionHeaderBlock = 0x0A0D0D0A;
constexpr uint32_t kInterfaceDescriptionBlock = 1;
constexpr uint32_t kEnhancedPacketBlock = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;

constexpr uint16_t kOptEndOfOptions = 0;
constexpr uint16_t kOptComment = 1;
constexpr uint16_t kShbUserApplication = 4;
constexpr uint16_t kIfName = 2;
constexpr uint16_t kIfDescription = 3;
constexpr uint16_t kIfTimestampResolution = 9;

template <typename T>
void Put(std::string& out, T value) {
  out.append(reinterpret_cast<const char*>(&value), sizeof value);
}

// Bodies and option values are padded to 32 bits with zeros.
void Pad(std::string& out) { out.append((4 - out.size() % 4) % 4, '\0'); }

void Option(std::string& out, uint16_t code, const std::string& value) {
  if (value.empty()) return;
  // An option's length field holds 16 bits; longer text is cut there.
  size_t length = value.size() < 0xFFFC ? value.size() : 0xFFFC;
  Put<uint16_t>(out, code);
  Put<uint16_t>(out, static_cast<uint16_t>(length));
  out.append(value, 0, length);
  Pad(out);
}

void EndOfOptions(std::string& out) {
  Put<uint16_t>(out, kOptEndOfOptions);
  Put<uint16_t>(out, 0);
}

}  // namespace

uint16_t LinkTypeOfDlt(int dlt) {
  // libpcap's DLT_RAW differs between systems; the file format has one value.
  if (dlt == DLT_RAW) return kLinkTypeRaw;
  return static_cast<uint16_t>(dlt);
}

PcapngWriter::~PcapngWriter() { Close(); }

bool PcapngWriter::Open(const std::string& path, const std::string& application, std::string* error) {
  file_ = std::fopen(path.c_str(), "wb");
  if (file_ == nullptr) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    return false;
  }
  std::string body;
  Put<uint32_t>(body, kByteOrderMagic);
  Put<uint16_t>(body, 1);  // major version
  Put<uint16_t>(body, 0);  // minor version
  Put<int64_t>(body, -1);  // section length: not given
  Option(body, kShbUserApplication, application);
  EndOfOptions(body);
  Block(kSectionHeaderBlock, body);
  if (ok_ && std::fflush(file_) != 0) ok_ = false;
  if (!ok_) {
    *error = "cannot write '" + path + "': " + std::strerror(errno);
    Close();
    return false;
  }
  return true;
}

uint32_t PcapngWriter::AddInterface(uint16_t linkType, const std::string& name, const std::string& description) {
  std::string body;
  Put<uint16_t>(body, linkType);
  Put<uint16_t>(body, 0);  // reserved
  Put<uint32_t>(body, 0);  // snap length: no limit
  Option(body, kIfName, name);
  Option(body, kIfDescription, description);
  Option(body, kIfTimestampResolution, std::string(1, '\x06'));  // microseconds
  EndOfOptions(body);
  Block(kInterfaceDescriptionBlock, body);
  return interfaces_++;
}

void PcapngWriter::WritePacket(uint32_t interface, int64_t timeMicros, const void* data, size_t captured,
                               size_t wireLength, const std::string& comment) {
  uint64_t time = timeMicros < 0 ? 0 : static_cast<uint64_t>(timeMicros);
  std::string body;
  Put<uint32_t>(body, interface);
  Put<uint32_t>(body, static_cast<uint32_t>(time >> 32));
  Put<uint32_t>(body, static_cast<uint32_t>(time));
  Put<uint32_t>(body, static_cast<uint32_t>(captured));
  Put<uint32_t>(body, static_cast<uint32_t>(wireLength < captured ? captured : wireLength));
  body.append(static_cast<const char*>(data), captured);
  Pad(body);
  if (!comment.empty()) {
    Option(body, kOptComment, comment);
    EndOfOptions(body);
  }
  Block(kEnhancedPacketBlock, body);
}

void PcapngWriter::Block(uint32_t type, const std::string& body) {
  if (file_ == nullptr) return;
  // Type, total length, body, total length again.
  uint32_t total = static_cast<uint32_t>(body.size() + 12);
  std::string block;
  block.reserve(total);
  Put<uint32_t>(block, type);
  Put<uint32_t>(block, total);
  block += body;
  Put<uint32_t>(block, total);
  if (std::fwrite(block.data(), 1, block.size(), file_) != block.size()) ok_ = false;
}

bool PcapngWriter::Close() {
  if (file_ == nullptr) return ok_;
  if (std::fclose(file_) != 0) ok_ = false;
  file_ = nullptr;
  return ok_;
}

}  // namespace replay

// A pcapng file writer, block by block: a section header block, interface
// description blocks and enhanced packet blocks, each with the few options
// the replay uses (the application, an interface's name and description, a
// packet's comment). Blocks are written in the byte order of the machine,
// which the section header's byte-order magic tells readers.
//
// Every block goes to the file whole, so a replay that stops at a damaged
// capture and closes the writer leaves a file that readers take up to its
// last packet.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace replay {

// pcapng link types (LINKTYPE_*), which differ from libpcap's DLT_* values
// for raw IP.
constexpr uint16_t kLinkTypeRaw = 101;  // IPv4 or IPv6 packets without a link header
uint16_t LinkTypeOfDlt(int dlt);

class PcapngWriter {
 public:
  PcapngWriter() = default;
  PcapngWriter(const PcapngWriter&) = delete;
  PcapngWriter& operator=(const PcapngWriter&) = delete;
  ~PcapngWriter();

  // Creates (or truncates) the file and writes the section header, naming
  // the application that wrote it. False with a one-line reason when the
  // file cannot be written.
  bool Open(const std::string& path, const std::string& application, std::string* error);
  bool is_open() const { return file_ != nullptr; }

  // Describes an interface; packets name it by the number returned (0, 1,
  // ... in the order of the calls). Time stamps are in microseconds.
  uint32_t AddInterface(uint16_t linkType, const std::string& name, const std::string& description);

  // One packet: `captured` bytes of a packet `wireLength` long, captured at
  // `timeMicros` after 1970, with a comment (none when empty).
  void WritePacket(uint32_t interface, int64_t timeMicros, const void* data, size_t captured, size_t wireLength,
                   const std::string& comment);

  // Whether everything so far reached the file; Close() says it once more
  // for the last bytes.
  bool ok() const { return ok_; }
  bool Close();

 private:
  void Block(uint32_t type, const std::string& body);
  FILE* file_ = nullptr;
  bool ok_ = true;
  uint32_t interfaces_ = 0;
};

}  // namespace replay

#include "tools/replay/capture.h"

#include <pcap/pcap.h>
#include <sys/stat.h>

namespace replay {

bool LinkTypeSupported(int linkType) {
  switch (linkType) {
    case DLT_EN10MB:
    case DLT_LINUX_SLL:
    case DLT_LINUX_SLL2:
    case DLT_RAW:
    case DLT_IPV4:
    case DLT_NULL:
    case DLT_LOOP:
      return true;
    default:
      return false;
  }
}

int64_t TimeMicros(int64_t seconds, int64_t micros) {
  // A pcapng timestamp can carry any 64-bit count. Past some 30,000 years
  // either side of the epoch the time stands still at that bound, so that
  // microseconds and the differences between two of them stay in range.
  constexpr int64_t kBound = 1000000000000;  // seconds
  if (seconds > kBound) return kBound * 1000000;
  if (seconds < -kBound) return -kBound * 1000000;
  return seconds * 1000000 + micros;
}

CaptureReader::~CaptureReader() {
  if (pcap_ != nullptr) pcap_close(pcap_);
}

bool CaptureReader::Open(const std::string& path, std::string* error) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) {
    *error = "cannot open capture '" + path + "': no such file";
    return false;
  }
  if (S_ISDIR(st.st_mode)) {
    *error = "cannot open capture '" + path + "': it is a directory";
    return false;
  }
  char errbuf[PCAP_ERRBUF_SIZE] = {};
  pcap_ = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_MICRO, errbuf);
  if (pcap_ == nullptr) {
    *error = "'" + path + "' is not a readable pcap or pcapng capture (" + errbuf + ")";
    return false;
  }
  linkType_ = pcap_datalink(pcap_);
  if (!LinkTypeSupported(linkType_)) {
    *error = "'" + path + "' has link type " + std::to_string(linkType_) + " (" + linkName() +
             "), which the replay does not read; it reads Ethernet, Linux cooked v1 and v2, raw IP and BSD loopback";
    return false;
  }
  fileSize_ = static_cast<long>(st.st_size);
  return true;
}

std::string CaptureReader::linkName() const {
  const char* name = pcap_datalink_val_to_name(linkType_);
  return name != nullptr ? name : "unknown";
}

CaptureReader::Result CaptureReader::Read(Frame* frame, std::string* error) {
  struct pcap_pkthdr* header = nullptr;
  const u_char* data = nullptr;
  int status = pcap_next_ex(pcap_, &header, &data);
  if (status == PCAP_ERROR_BREAK) return Result::kEnd;
  if (status != 1) {
    *error = std::string("damaged capture: ") + pcap_geterr(pcap_);
    return Result::kError;
  }
  frame->timeMicros = TimeMicros(header->ts.tv_sec, header->ts.tv_usec);
  frame->data = data;
  frame->capturedLength = header->caplen;
  frame->wireLength = header->len;
  return Result::kFrame;
}

double CaptureReader::Progress() const {
  if (pcap_ == nullptr || fileSize_ <= 0) return 0;
  FILE* file = pcap_file(pcap_);
  if (file == nullptr) return 0;
  long at = ftell(file);
  return at <= 0 ? 0 : static_cast<double>(at) / static_cast<double>(fileSize_);
}

}  // namespace replay

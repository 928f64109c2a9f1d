// The host platform's NDIS side, for tests and tools: building the
// NET_BUFFER_LISTs that the filter engine hands to callouts.
#pragma once
#include "host/host.h"

#include <string>
#include <vector>

namespace host::ndis {

// One NET_BUFFER: `bytes` laid out in MDLs cut at `mdlCuts` (offsets into
// `bytes`, ascending), with the data start `dataOffset` bytes into them. The
// bytes in front of the data start (an IP header, say) are part of the
// buffer, as they are when the stack indicates a packet at a transport layer.
struct NetBufferSpec {
  NetBufferSpec(std::string b, size_t offset = 0, std::vector<size_t> cuts = {})
      : bytes(std::move(b)), dataOffset(offset), mdlCuts(std::move(cuts)) {}
  std::string bytes;
  size_t dataOffset;
  std::vector<size_t> mdlCuts;
};

// A list of one NET_BUFFER per layout given, chained in order. Owned by the caller
// until FreeNetBufferList.
NET_BUFFER_LIST* BuildNetBufferList(const std::vector<NetBufferSpec>& buffers);
NET_BUFFER_LIST* BuildNetBufferList(const NetBufferSpec& buffer);
void FreeNetBufferList(NET_BUFFER_LIST* list);

// The bytes of a NET_BUFFER from its current data start, across its MDLs.
std::string DataBytes(const NET_BUFFER* buffer);
// Net buffer lists built here or cloned, and not yet freed.
unsigned LiveNetBufferLists();

}  // namespace host::ndis

// Internal to the host platform: the memory behind the net buffer lists the
// host builds or clones.
#pragma once
#include "host/kernel/state.h"
#include "host/ndis.h"

#include <map>
#include <memory>

namespace host::ndis::detail {

struct OwnedList {
  bool clone = false;
  bool allocated = false;      // by FwpsAllocateNetBufferAndNetBufferList0; the MDLs are the caller's
  bool freeRequested = false;  // freed by its owner while clones still referred to it
  std::vector<NET_BUFFER*> buffers;
  std::vector<PMDL> mdls;                       // MDLs this list owns (none for a clone)
  std::vector<std::unique_ptr<char[]>> memory;  // the bytes behind them
};

struct NetBufferTable {
  std::mutex lock;
  std::map<const NET_BUFFER_LIST*, std::unique_ptr<OwnedList>> lists;
};

NetBufferTable& Table();
// Releases a list's memory; the caller holds the table lock and has taken
// the list out of the table.
void Destroy(NET_BUFFER_LIST* list, std::unique_ptr<OwnedList> owned);
unsigned LiveClones();
void LocateDataStart(NET_BUFFER* nb);
char* MdlData(const MDL* mdl);

}  // namespace host::ndis::detail

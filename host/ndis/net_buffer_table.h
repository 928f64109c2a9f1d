// Internal to the host platform: the memory behind the net buffer lists the
// host builds or clones.
#pragma once
#include "host/kernel/state.h"
#include "host/ndis.h"

#include <map>
#include <memory>

namespace host::ndis::detail {

struct OwnedList {
  std::vector<NET_BUFFER*> buffers;
  std::vector<PMDL> mdls;                       // MDLs this list owns (none for a clone)
  std::vector<std::unique_ptr<char[]>> memory;  // the bytes behind them
};

struct NetBufferTable {
  std::mutex lock;
  std::map<const NET_BUFFER_LIST*, std::unique_ptr<OwnedList>> lists;
};

NetBufferTable& Table();
void LocateDataStart(NET_BUFFER* nb);
char* MdlData(const MDL* mdl);

}  // namespace host::ndis::detail

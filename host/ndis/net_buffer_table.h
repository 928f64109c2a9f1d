// Internal to the host platform: the memory behind the net buffer lists the
// host builds or clones.
#pragma once
#include "host/kernel/state.h"
#include "host/ndis.h"

#include <map>
#include <memory>
#include <set>

namespace host::ndis::detail {

struct OwnedList {
  bool clone = false;
  bool allocated = false;      // by FwpsAllocateNetBufferAndNetBufferList0; the MDLs are the caller's
  bool freeRequested = false;  // freed by its owner while clones still referred to it
  std::vector<NET_BUFFER*> buffers;
  std::vector<PMDL> mdls;                       // MDLs this list owns (none for a clone)
  std::vector<std::unique_ptr<char[]>> memory;  // the bytes behind them
};

// An MDL that NdisRetreatNetBufferDataStart put in front of a net buffer's
// chain because the data space in front of the data start was too short.
struct RetreatMdl {
  NET_BUFFER* buffer;
  const host::detail::ThreadContext* thread;  // the thread whose retreat allocated it
  bool reported = false;        // left on the buffer at the end of a classify
  std::unique_ptr<char[]> memory;
};

struct NetBufferTable {
  std::mutex lock;
  std::map<const NET_BUFFER_LIST*, std::unique_ptr<OwnedList>> lists;
  std::map<PMDL, RetreatMdl> retreats;
  std::set<const NET_BUFFER_LIST*> freed;  // freed and not handed out again
};

NetBufferTable& Table();
// Releases a list's memory; the caller holds the table lock and has taken
// the list out of the table.
void Destroy(NET_BUFFER_LIST* list, std::unique_ptr<OwnedList> owned);
unsigned LiveClones();
// True (and reported) when a list must not be freed now: an injection still
// holds it, or it was freed already.
bool RefuseFree(const NET_BUFFER_LIST* list, const char* routine);
// Reports every MDL a retreat on this thread allocated that is still on its
// buffer; the classify that made it is over. Called at the end of a classify.
void ReportRetreatMdlsLeftBy(const host::detail::ThreadContext* thread);
// Frees the retreat MDLs at the head of a buffer's chain; the caller holds
// the table lock.
void FreeRetreatMdls(NET_BUFFER* nb);
void LocateDataStart(NET_BUFFER* nb);
char* MdlData(const MDL* mdl);

}  // namespace host::ndis::detail

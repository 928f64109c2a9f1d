// The host platform's filter engine, classify side: turns a described
// network event into the classify call a Windows stack makes, with the
// incoming values at the platform's field indices and of the platform's
// types, the metadata and the layer data.
#pragma once
#include "host/host.h"

#include <deque>
#include <string>
#include <vector>

namespace host::wfp {

// The most incoming values a modelled layer has.
constexpr UINT32 kMaxLayerFields = 32;

// Incoming values by field index, in a fixed array as the engine holds
// them: an event costs no allocation.
struct FieldValues {
  FWP_VALUE0 items[kMaxLayerFields];
  UINT32 count = 0;
  size_t size() const { return count; }
  FWP_VALUE0& operator[](size_t i) { return items[i]; }
  const FWP_VALUE0& operator[](size_t i) const { return items[i]; }
  FWP_VALUE0* begin() { return items; }
  FWP_VALUE0* end() { return items + count; }
  const FWP_VALUE0* begin() const { return items; }
  const FWP_VALUE0* end() const { return items + count; }
};

struct ClassifyEvent {
  UINT16 layerId = 0;
  // Incoming values by field index; every field of the layer is present,
  // typed as the platform types it, and zero unless set.
  FieldValues values;
  FWPS_INCOMING_METADATA_VALUES0 meta{};
  void* layerData = nullptr;
  UINT32 rights = FWPS_RIGHT_ACTION_WRITE;  // the write right is present unless an event says otherwise
  UINT64 flowContext = 0;
  KIRQL irql = DISPATCH_LEVEL;  // the IRQL the classify runs at

  // All fields of a modelled layer, typed and zero.
  explicit ClassifyEvent(UINT16 layer);
  ClassifyEvent(const ClassifyEvent& other);
  ClassifyEvent& operator=(const ClassifyEvent& other);

  // Sets a field, keeping the platform's type for it (64-bit values are
  // held by pointer, as on the platform).
  ClassifyEvent& Set(UINT32 field, UINT64 value);
  UINT64 Get(UINT32 field) const;
  // Metadata with its presence bit.
  ClassifyEvent& ProcessId(UINT64 pid);
  ClassifyEvent& EndpointHandle(UINT64 handle);
  ClassifyEvent& FlowHandle(UINT64 handle);
  ClassifyEvent& CompletionHandle(HANDLE handle);
  ClassifyEvent& HeaderSizes(UINT32 ipHeaderSize, UINT32 transportHeaderSize);
  ClassifyEvent& Direction(FWP_DIRECTION direction);

 private:
  unsigned long long wide_[kMaxLayerFields];  // storage behind 64-bit values, by field index
  // Points copied 64-bit values at this event's own storage.
  void RebindWideValues();
};

struct ClassifyResult {
  bool called = false;  // a callout was classified
  FWP_ACTION_TYPE actionType = FWP_ACTION_CONTINUE;
  UINT32 rights = 0;
  UINT32 flags = 0;
  // At the authorization layers the engine hands every classify a completion
  // handle; when the callout pended the operation, this is it.
  HANDLE completionHandle = nullptr;
  bool pended = false;
  // At the stream layer the engine reads back what the callout set in the
  // FWPS_STREAM_CALLOUT_IO_PACKET0. A permit or block covers the leading
  // countBytesEnforced bytes of the indication (0 covers none); the engine
  // indicates the rest again, and bytesIndicatedAgain says how many that is.
  // A stream action of NEED_MORE_DATA holds the whole indication back until
  // countBytesRequired more bytes have come.
  bool stream = false;
  FWPS_STREAM_ACTION_TYPE streamAction = FWPS_STREAM_ACTION_NONE;
  SIZE_T countBytesEnforced = 0;
  UINT32 countBytesRequired = 0;
  SIZE_T bytesIndicatedAgain = 0;
};

// Calls one classify function as the engine does, with the given filter.
ClassifyResult InvokeClassify(FWPS_CALLOUT_CLASSIFY_FN1* classifyFn, const FWPS_FILTER1& filter,
                              const ClassifyEvent& event);

// Classifies the event at its layer through the engine: the callout that the
// layer's filter names is called with that filter. Nothing is called when no
// filter at the layer names a registered callout.
ClassifyResult Classify(const ClassifyEvent& event);

// ---- Pending ---------------------------------------------------------------------
// When a pended operation is completed, the engine classifies it again at the
// same layer with FWP_CONDITION_FLAG_IS_REAUTHORIZE: either inside the
// completing call (the default) or later, on another thread.
enum class ReauthorizeMode { InsideCompletion, Later };
void SetReauthorizeMode(ReauthorizeMode mode);

struct Reauthorization {
  ClassifyResult result;
  NET_BUFFER_LIST* completedWith = nullptr;  // what FwpsCompleteOperation0 was given
};
// Blocks until the operation pended under the completion handle has been
// completed and reauthorized; false if that does not happen in time.
bool WaitReauthorized(HANDLE completionHandle, Reauthorization* out, unsigned timeoutMs = 10000);
unsigned PendedOperationCount();  // pended and not yet completed

// ---- Injections and clones ------------------------------------------------------------
struct Injection {
  enum Kind { TransportSend, TransportReceive, Stream } kind;
  HANDLE injectionHandle;
  NET_BUFFER_LIST* list;
  std::string data;            // the first net buffer's bytes from its data start, at injection
  UINT64 endpointHandle;       // send
  std::string remoteAddress;   // send: the 4 bytes the send parameters pointed at, at injection
  UINT32 remoteScopeId;        // send
  std::string controlData;     // send
  UINT32 addressFamily;
  UINT32 compartmentId;
  UINT32 interfaceIndex;       // receive
  UINT32 subInterfaceIndex;    // receive
  UINT64 flowId;               // stream
  UINT32 calloutId;            // stream
  UINT16 layerId;              // stream
  UINT32 streamFlags;          // stream
  SIZE_T dataLength;           // stream
  bool completed;
};
// The history of injections, oldest first: every one made, unless told to
// keep fewer (below).
std::vector<Injection> Injections();
// Injections are numbered from 0 in the order they are made. InjectionsMade
// is the number of the next one; InjectionsSince gives those from number
// *next on that the history holds and moves *next past the last one made,
// copying nothing older. *missed, when asked for, counts those from *next
// on that the history had forgotten already.
uint64_t InjectionsMade();
std::vector<Injection> InjectionsSince(uint64_t* next, uint64_t* missed = nullptr);
// From now on, while the history holds more than `count` injections, it
// forgets the oldest once completed; one still waiting for its completion
// stays, and so does everything after it. Without a call it keeps all.
void KeepCompletedInjections(size_t count);
// Completions run on another thread; tests can hold them back.
void HoldInjectionCompletions(bool hold);
void WaitInjectionsCompleted();
unsigned LiveClones();
// Marks a packet as received protected by IPsec (transport mode).
void MarkIpsecSecured(const NET_BUFFER_LIST* list);
struct IpHeaderConstruction {
  NET_BUFFER_LIST* list;
  ULONG headerLength;
  UINT32 source;       // network-order bytes as an integer
  UINT32 destination;
  UINT32 protocol;
};
std::vector<IpHeaderConstruction> IpHeaderConstructions();

// ---- Flows ------------------------------------------------------------------------------
// The flow goes away: every callout that associated a context with it is
// told through its flow-delete function, once, after every classify of the
// flow running on another thread (one through Classify, with the flow
// handle in the metadata) has returned.
void DeleteFlow(UINT64 flowId);
unsigned FlowContextCount();
// The stack has the flow from now on (as it has once it classified an event
// with the flow's handle): stream injection into it is accepted until
// DeleteFlow.
void EstablishFlow(UINT64 flowId);

// Field index names of the modelled layers, and the platform type of each.
FWP_DATA_TYPE FieldType(UINT16 layerId, UINT32 field);
UINT32 FieldCount(UINT16 layerId);
const char* LayerName(UINT16 layerId);

// Marks a net buffer list as injected through an injection handle, as the
// engine marks what a callout injects.
void MarkInjected(const NET_BUFFER_LIST* list, HANDLE injectionHandle);
void ForgetInjected(const NET_BUFFER_LIST* list);

// IPv4 addresses as the layers deliver them (host order) from dotted text.
UINT32 Ipv4(const char* dotted);

}  // namespace host::wfp

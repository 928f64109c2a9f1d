// The stream side of the host platform: indications, copies out of them,
// net buffer lists built over a caller's MDL, and stream injection.
#include "host/stack.h"
#include "tests/support/machine.h"

#include <atomic>

namespace {

class StreamPlatform : public nqtest::MachineTest {};

host::stack::Socket HttpSocket() {
  host::stack::Socket s;
  s.localAddress = host::wfp::Ipv4("10.0.0.2");
  s.localPort = 50000;
  s.remoteAddress = host::wfp::Ipv4("192.0.2.80");
  s.remotePort = 80;
  s.processId = 700;
  return s;
}

TEST_F(StreamPlatform, CopyGathersAcrossTheWholeChainAndStopsAtTheDataLength) {
  host::stack::StreamIndication indication(HttpSocket(), 42, FWPS_STREAM_FLAG_SEND, {"GET / HT", "TP/1.1\r\n", "\r\n"});
  EXPECT_EQ(indication.StreamData().dataLength, 18u);
  EXPECT_EQ(indication.Event().Get(FWPS_FIELD_STREAM_V4_DIRECTION), UINT64(FWP_DIRECTION_OUTBOUND));
  char buffer[64] = {};
  SIZE_T copied = 0;
  FwpsCopyStreamDataToBuffer0(&indication.StreamData(), buffer, sizeof(buffer), &copied);
  EXPECT_EQ(copied, 18u);
  EXPECT_EQ(std::string(buffer, copied), "GET / HTTP/1.1\r\n\r\n");
  FwpsCopyStreamDataToBuffer0(&indication.StreamData(), buffer, 10, &copied);
  EXPECT_EQ(copied, 10u);
}

VOID NTAPI CountCompletion(PVOID context, NET_BUFFER_LIST* list, BOOLEAN dispatchLevel) {
  EXPECT_TRUE(dispatchLevel);
  EXPECT_EQ(host::kernel::CurrentIrql(), DISPATCH_LEVEL);
  ++*static_cast<std::atomic<int>*>(context);
  FwpsFreeNetBufferList0(list);
}

TEST_F(StreamPlatform, StreamInjectionOfAListBuiltOverAnMdlCompletesOnceAndMarksIt) {
  char bytes[] = "HTTP/1.0 403 Forbidden\r\n\r\n";
  PMDL mdl = IoAllocateMdl(bytes, sizeof(bytes) - 1, FALSE, FALSE, nullptr);
  MmBuildMdlForNonPagedPool(mdl);
  NET_BUFFER_LIST* list = nullptr;
  ASSERT_EQ(FwpsAllocateNetBufferAndNetBufferList0(reinterpret_cast<NDIS_HANDLE>(0x1), 0, 0, mdl, 0,
                                                   sizeof(bytes) - 1, &list),
            STATUS_SUCCESS);
  std::atomic<int> completions{0};
  HANDLE injector = reinterpret_cast<HANDLE>(0x99);
  host::wfp::HoldInjectionCompletions(true);
  ASSERT_EQ(FwpsStreamInjectAsync0(injector, nullptr, 0, 42, 7, FWPS_LAYER_STREAM_V4,
                                   FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT, list,
                                   sizeof(bytes) - 1, CountCompletion, &completions),
            STATUS_SUCCESS);
  EXPECT_EQ(FwpsQueryPacketInjectionState0(injector, list, nullptr), FWPS_PACKET_INJECTED_BY_SELF);
  EXPECT_EQ(completions.load(), 0) << "completions come later";
  host::wfp::HoldInjectionCompletions(false);
  host::wfp::WaitInjectionsCompleted();
  EXPECT_EQ(completions.load(), 1);
  auto injections = host::wfp::Injections();
  ASSERT_EQ(injections.size(), 1u);
  EXPECT_EQ(injections[0].kind, host::wfp::Injection::Stream);
  EXPECT_EQ(injections[0].data, std::string(bytes, sizeof(bytes) - 1));
  EXPECT_EQ(injections[0].flowId, 42u);
  EXPECT_EQ(injections[0].streamFlags, UINT32(5));
  EXPECT_TRUE(injections[0].completed);
  IoFreeMdl(mdl);
  EXPECT_EQ(host::kernel::MdlCount(), 0u);
}

TEST_F(StreamPlatform, DisconnectWithoutDataIsAcceptedAndCompletesNothing) {
  std::atomic<int> completions{0};
  EXPECT_EQ(FwpsStreamInjectAsync0(reinterpret_cast<HANDLE>(0x99), nullptr, 0, 42, 7, FWPS_LAYER_STREAM_V4,
                                   FWPS_STREAM_FLAG_RECEIVE | FWPS_STREAM_FLAG_RECEIVE_DISCONNECT, nullptr, 0,
                                   CountCompletion, &completions),
            STATUS_SUCCESS);
  host::wfp::WaitInjectionsCompleted();
  EXPECT_EQ(completions.load(), 0);
  EXPECT_EQ(FwpsStreamInjectAsync0(reinterpret_cast<HANDLE>(0x99), nullptr, 0, 42, 7, FWPS_LAYER_STREAM_V4, 0,
                                   nullptr, 10, CountCompletion, &completions),
            STATUS_INVALID_PARAMETER) << "a length needs data";
}
}  // namespace

// Test support for the classify path: events at each layer, packets, and a
// driver loaded with the stand-in client attached.
#pragma once
#include "host/ndis.h"
#include "host/wfp_classify.h"
#include "tests/support/machine.h"

#include <string>

namespace nqtest {

using host::wfp::ClassifyEvent;
using host::wfp::ClassifyResult;
using host::wfp::Ipv4;

// Classifies the event through the filter engine: the driver's callout at
// the event's layer is called with its filter.
inline ClassifyResult RunClassify(const ClassifyEvent& event) { return host::wfp::Classify(event); }

// A 20-byte IPv4 header (no options) in front of `transportLength` bytes.
std::string Ipv4Header(UINT8 protocol, UINT32 source, UINT32 destination, size_t transportLength);
std::string UdpHeader(UINT16 sourcePort, UINT16 destinationPort, size_t payloadLength);

// The injection handle of that FWPS_INJECTION_TYPE_* the engine holds for
// the driver; null when start-up made none.
HANDLE InjectionHandleOfType(UINT32 injectionType);

// Network byte order of a host-order address, as the driver reports it.
inline UINT32 Net(UINT32 hostOrder) { return __builtin_bswap32(hostOrder); }

class ClassifyTest : public MachineTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(LoadDriver(), STATUS_SUCCESS);
    ASSERT_TRUE(Client().Attach());
  }
  std::vector<client::Call> Calls() { return Client().Calls(); }
};

}  // namespace nqtest

#include "core/classify/endpoints.h"

void RecordEndpoint(UINT8 protocol, UINT64 endpointHandle, UINT64 processId, UINT32 localAddress, UINT16 localPort) {
  (void)protocol;
  (void)endpointHandle;
  (void)processId;
  (void)localAddress;
  (void)localPort;
}

NqU32 NQ_CLIENT_STDCALL LookupUdpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  (void)localAddress;
  (void)localPort;
  (void)processId;
  return 0;
}

NqU32 NQ_CLIENT_STDCALL LookupTcpEndpointOwner(NqU32 localAddress, NqU16 localPort, NqU64* processId) {
  (void)localAddress;
  (void)localPort;
  (void)processId;
  return 0;
}

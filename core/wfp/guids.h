// The driver's fixed identities in the filter engine: the keys of its
// provider context, its sublayer and its nine callouts, and the name every
// object it adds carries.
#pragma once
#include "platform/wdk.h"

extern const GUID ClassifyOptionsContextKey;
extern const GUID SubLayerKey;
extern const GUID CalloutKeyResourceAssignmentV4;
extern const GUID CalloutKeyResourceReleaseV4;
extern const GUID CalloutKeyFlowEstablishedV4;
extern const GUID CalloutKeyAuthConnectV4;
extern const GUID CalloutKeyAuthRecvAcceptV4;
extern const GUID CalloutKeyAuthListenV4;
extern const GUID CalloutKeyStreamV4;
extern const GUID CalloutKeyDatagramDataV4;
extern const GUID CalloutKeyInboundIppacketV4;

// "nqwfpdrv" as both name and description.
FWPM_DISPLAY_DATA0 DriverDisplayData();

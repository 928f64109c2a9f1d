/* A client compiled separately, as C, against the client table header: it
 * reports where it sees each slot, so the test can compare with the layout
 * the driver was built with. Built as C99 with -Wpedantic -Werror, the
 * oldest C the header promises. */
#include "core/driver/client_table.h"

#include <stddef.h>

#define AT(f) (unsigned)offsetof(ClientTable, f)

const unsigned kCClientTableSize = (unsigned)sizeof(ClientTable);
const unsigned kCClientSlotOffsets[] = {
    AT(Version),           AT(Signature),          AT(ClientReady),        AT(ReportConnect),
    AT(ReportAccept),      AT(ReportPayload),      AT(ReportListen),       AT(ReportHttpRequest),
    AT(ReportHttpSecondary), AT(ReleasePendHandle), AT(DecidePended),      AT(QueryBind),
    AT(QueryConnect),      AT(QueryAccept),        AT(QueryListen),        AT(QueryHttpPrimary),
    AT(QueryHttpSecondary), AT(ReportHttpSecondaryExempt), AT(CheckHttpExempt), AT(GetUrlReply),
    AT(GetPrimaryReply),   AT(GetSecondaryReply),  AT(ReleaseReplyObject), AT(ReportStreamSent),
    AT(ReportStreamReceived), AT(ReportDatagramSent), AT(ReportDatagramReceived), AT(LookupUdpEndpointOwner),
    AT(LookupTcpEndpointOwner), AT(InspectInboundPacket), AT(Reserved78)};
const unsigned kCClientSlotCount = sizeof(kCClientSlotOffsets) / sizeof(kCClientSlotOffsets[0]);

/* The C client calls a lookup service through the table, stdcall. */
unsigned CClientLookupTcp(const ClientTable* table, unsigned address, unsigned short port, unsigned long long* pid) {
  return table->LookupTcpEndpointOwner(address, port, pid);
}

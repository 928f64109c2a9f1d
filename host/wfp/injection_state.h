// Internal to the host platform: what an injection still holds. Until its
// completion function is called for a net buffer list, the list, its net
// buffers and the MDLs under them belong to the platform, not to the caller.
#pragma once
#include "host/host.h"

namespace host::wfp::detail {
bool InjectionHoldsList(const NET_BUFFER_LIST* list);
bool InjectionHoldsMdl(const MDL* mdl);
}  // namespace host::wfp::detail

// The one header through which driver code reaches the platform: every
// kernel, HAL, NDIS and filtering-platform name the driver uses, declared with
// the x86 layouts and calling conventions of 32-bit Windows.
//
// A build against the real WDK headers defines NQ_USE_WDK_HEADERS; it is not
// part of the builds made here (host32, host64, windows via mingw-w64).
#pragma once

#if defined(NQ_USE_WDK_HEADERS)
#include <ntddk.h>
#include <ndis.h>
#include <fwpsk.h>
#include <fwpmk.h>
#else
#include "platform/wdk_base.h"
#include "platform/wdk_kernel.h"
#include "platform/wdk_ndis.h"
#include "platform/wdk_fwp.h"
#endif

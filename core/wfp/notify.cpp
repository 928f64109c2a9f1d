#include "core/wfp/callouts.h"

// The driver keeps no record of filters: every filter that names one of its
// callouts is accepted, whoever adds it, and every deletion acknowledged.
NTSTATUS NTAPI CalloutNotify(FWPS_CALLOUT_NOTIFY_TYPE notifyType, const GUID* filterKey, FWPS_FILTER1* filter) {
  (void)notifyType;
  (void)filterKey;
  (void)filter;
  return STATUS_SUCCESS;
}

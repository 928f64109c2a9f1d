#include "core/classify/classify.h"

// Empty until the classify dispatcher takes its place.
VOID NTAPI ClassifyAll(const FWPS_INCOMING_VALUES0* inFixedValues, const FWPS_INCOMING_METADATA_VALUES0* inMetaValues,
                       void* layerData, const void* classifyContext, const FWPS_FILTER1* filter, UINT64 flowContext,
                       FWPS_CLASSIFY_OUT0* classifyOut) {
  (void)inFixedValues;
  (void)inMetaValues;
  (void)layerData;
  (void)classifyContext;
  (void)filter;
  (void)flowContext;
  (void)classifyOut;
}

#pragma once
// The meters over the VST record: a host asks with effVendorSpecific, index kMeterRequestIndex,
// value kMeterRequestValue and ptr pointing to a MeterSnapshot; the effect fills it and answers
// sizeof(MeterSnapshot). Any other index or value is answered with 0, as is a null pointer.
// Any thread, at any time while the effect is open: the copy never waits for processing.
#include "dsp/meter_readout.h"
#include "host/vst2.h"

namespace orvex {

inline constexpr VstInt32 kMeterRequestIndex = CCONST('O', 'r', 'v', 'x');
inline constexpr VstIntPtr kMeterRequestValue = CCONST('M', 't', 'r', 's');

}  // namespace orvex

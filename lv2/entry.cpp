// The bundle's one export: the host asks for descriptors by index until it gets null.
//
// Threads: any host thread; the descriptor is a constant.
#include <lv2/core/lv2.h>

#include "lv2/adapter.h"

LV2_SYMBOL_EXPORT const LV2_Descriptor* lv2_descriptor(uint32_t index) {
    return orvex::lv2::descriptor(index);
}

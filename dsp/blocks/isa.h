#pragma once
// The signal chain is compiled once per instruction set (see dsp/CMakeLists.txt): every type and
// function of the chain lives in an inline namespace named after the set of its unit, so the
// copies never share a symbol and the linker cannot hand one copy's code to another. Code
// outside the chain names them as plain orvex::..., which is the baseline copy.
#ifndef ORVEX_ISA_NS
#define ORVEX_ISA_NS isa_base
#endif

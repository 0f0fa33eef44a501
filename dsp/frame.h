#pragma once
// The processing frame's unit of work: compute runs every stage over sub-blocks of at most
// kSubBlock samples, held in fixed-size scratch buffers, so each stage loops over a short span
// with its state in registers and nothing on the audio path allocates.
namespace orvex {

inline constexpr int kSubBlock = 64;

}  // namespace orvex

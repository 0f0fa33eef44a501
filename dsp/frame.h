#pragma once
// The processing frame's unit of work: compute runs every stage over sub-blocks of at most
// kSubBlock samples, held in fixed-size scratch buffers, so each stage loops over a short span
// with its state in registers and nothing on the audio path allocates. 128 samples: the
// wavefronts' fill and drain steps then cost a small share of each span, and the buffers still
// sit in the first-level cache (256 was no faster).
namespace orvex {

inline constexpr int kSubBlock = 128;

}  // namespace orvex

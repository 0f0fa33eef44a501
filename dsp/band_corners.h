#pragma once
// The corner frequencies of the twelve bands: band b runs from kBandCorners[b - 1] to
// kBandCorners[b] (Hz). From 200 Hz to 7688 Hz they are 200 * 1.5^k truncated to whole hertz.
// Apart from the filter bank so that what labels the bands (meters, pictures) reads the same
// table without the instruction-set layer.
namespace orvex {

inline constexpr float kBandCorners[13] = {10.0f,   80.0f,   200.0f,  300.0f,  450.0f,  675.0f,   1012.0f,
                                           1518.0f, 2278.0f, 3417.0f, 5125.0f, 7688.0f, 15000.0f};

}  // namespace orvex

#pragma once
// The built-in demonstration programme: 30 seconds of material that exercises a broadcast
// processor the way a station's day does (speech, music, a sudden bang, near-silence).
#include <vector>

namespace orvex::tools {

constexpr int kDemoRate = 48000;
constexpr double kDemoSeconds = 30.0;

// One mono channel at `rate`, always the same samples for the same rate. Sections in order:
//   0-9 s    speech-like: voiced syllables from a pulse train through moving formants, fricative
//            noise bursts, short pauses between words and longer ones between phrases;
//   9-20 s   music-like: four-note chords with bass under an attack/decay envelope, quieter than
//            the speech, with a loud percussive transient at 16 s;
//   20-25 s  near-silence: low hiss around -70 dBFS;
//   25-30 s  speech again, 12 dB quieter than at the start.
std::vector<float> synthesiseDemo(int rate = kDemoRate);

}  // namespace orvex::tools

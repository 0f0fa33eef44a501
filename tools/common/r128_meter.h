#pragma once
// The programme loudness measurements of EBU R 128, computed by the program itself for builds
// without libebur128 (the Windows build among them):
//
//   integrated loudness  ITU-R BS.1770: K-weighting (a high shelf and a high pass, designed for
//                        the sample rate at hand), mean square over 400 ms blocks every 100 ms,
//                        an absolute gate at -70 LUFS and a relative gate 10 LU below the
//                        loudness of the blocks that pass the first;
//   loudness range       EBU Tech 3342: 3 s windows every second (2 s overlap), gated at -70 LUFS
//                        and 20 LU below their mean, the spread from the 10th to the 95th
//                        percentile of their loudness;
//   true peak            BS.1770 Annex 2: the largest magnitude after 4x oversampling.
//
// Channels weigh 1 each; a single channel counts twice (heard on both loudspeakers).
#include <cstddef>
#include <cstdint>
#include <vector>

namespace orvex::tools {

class R128Meter {
public:
    R128Meter(int channels, int rate);

    void add(const float* interleaved, std::size_t frames);

    // -inf when no block passes the absolute gate.
    double integratedLufs() const;
    // 0 when fewer than two windows pass the gates.
    double rangeLu() const;
    // Linear, the largest over all channels; 0 for digital silence.
    double truePeak() const;

    // Taps per phase of the oversampling filter (48 in all, the length BS.1770 gives), and its
    // phase count.
    static constexpr int kTaps = 12;
    static constexpr int kPhases = 4;

private:
    struct Biquad {
        double b0, b1, b2, a1, a2;
    };
    struct Channel {
        double s1[2] = {0, 0};  // shelf state
        double s2[2] = {0, 0};  // high-pass state
        std::vector<float> history;  // last kTaps input samples, twice over for a flat window
        std::size_t at = 0;
        double peak = 0.0;
    };

    void endSegment();

    int channels_;
    double weight_;
    Biquad shelf_{}, highPass_{};
    std::vector<Channel> state_;
    std::vector<float> taps_;  // kPhases rows of kTaps, in the order the history is read

    // 100 ms segments: the weighted sum of the channels' mean squares, and the running one.
    std::size_t segmentLength_;
    std::size_t segmentFill_ = 0;
    double segmentSum_ = 0.0;
    std::vector<double> segments_;
    std::vector<double> blocks_;       // 400 ms, every 100 ms: weighted mean square
    std::vector<double> shortTerm_;    // 3 s, every 1 s
};

}  // namespace orvex::tools

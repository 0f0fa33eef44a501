#pragma once
// Loudness measurement of a programme: integrated loudness, loudness range and true peak after
// EBU R 128, and the sample peak. Fed block by block while the programme streams past.
// libebur128 measures where the build has it; otherwise the program's own meter does
// (tools/common/r128_meter.h).
#include <cstddef>
#include <memory>

namespace orvex::tools {

struct LoudnessReport {
    double integratedLufs;  // -inf for a programme that never rises above the absolute gate
    double rangeLu;
    double truePeakDbtp;    // -inf for digital silence
    double samplePeakDbfs;  // -inf for digital silence
};

class LoudnessMeter {
public:
    // A single channel is measured as played on both loudspeakers (dual mono), so a mono input
    // compares with the stereo output it becomes.
    LoudnessMeter(int channels, int rate);
    ~LoudnessMeter();
    LoudnessMeter(const LoudnessMeter&) = delete;
    LoudnessMeter& operator=(const LoudnessMeter&) = delete;

    void add(const float* interleaved, std::size_t frames);
    LoudnessReport report() const;

private:
    struct State;
    std::unique_ptr<State> state_;
    int channels_;
    float samplePeak_ = 0.0f;
};

}  // namespace orvex::tools

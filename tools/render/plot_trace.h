#pragma once
// What the picture of a render (--plot) shows, gathered while the render runs: per column of
// 100 ms of the output file, the momentary loudness of input and output, the output's true peak
// and, when the plug-in answers the meter readout (Orvex does), the gain each of its 12 bands
// applied. Kept apart from the drawing (plot.h) so that tests can read what a picture shows.
//
// Time is the output file's: with the latency compensated (the default) sample n of the output
// is the processing of input sample n, so input, output and band gains line up.
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "dsp/meter_readout.h"

namespace orvex::tools {

class RunningLoudness;

inline constexpr int kTraceBands = orvex::kMeterBands;

struct RenderTrace {
    int rate = 0;
    std::int64_t frames = 0;        // of the output file
    std::int64_t columnFrames = 0;  // rate / 10: 100 ms; the last column may be shorter
    // One entry per column; column i covers frames [i, i + 1) * columnFrames.
    std::vector<double> inputMomentaryLufs;   // the 400 ms ending with the column; -inf in silence
    std::vector<double> outputMomentaryLufs;  // (and before the first 400 ms are in)
    std::vector<double> outputTruePeakDbtp;   // the largest in the column; -inf in silence
    // Band gains (dB, the gate and level together), the mean over the column weighted by the
    // frames each processed block contributed. Empty when the plug-in has no meter readout.
    bool hasBands = false;
    std::vector<std::array<float, kTraceBands>> bandGainDb;

    std::size_t columns() const { return inputMomentaryLufs.size(); }
    double columnSeconds() const { return rate > 0 ? static_cast<double>(columnFrames) / rate : 0.0; }
    double seconds() const { return rate > 0 ? static_cast<double>(frames) / rate : 0.0; }
};

// Fed by the render loop: input frames as they are read, output frames as they are written,
// band gains after each processed block. Each stream may run ahead of the others.
class TraceRecorder {
public:
    TraceRecorder(int inputChannels, int rate, std::int64_t frames);
    ~TraceRecorder();
    TraceRecorder(const TraceRecorder&) = delete;
    TraceRecorder& operator=(const TraceRecorder&) = delete;

    void addInput(const float* interleaved, std::size_t frames);
    void addOutput(const float* stereo, std::size_t frames);
    // The gains of one processed block of `frames` frames whose first frame lands at
    // `outputFrame` in the output file (negative while the plug-in's latency is being dropped:
    // those frames are not in the file and count nowhere).
    void addBandGains(const float (&gainDb)[kTraceBands], std::int64_t outputFrame, int frames);
    // The plug-in has no readout: the trace carries no band gains.
    void withoutBands() { bands_ = false; }

    // Closes the last, partial column. The recorder is spent afterwards.
    RenderTrace finish();

private:
    struct Stream {
        std::unique_ptr<RunningLoudness> meter;
        std::int64_t inColumn = 0;  // frames of the current column seen so far
        int channels = 0;
    };
    void feed(Stream& s, const float* interleaved, std::size_t frames, bool output);
    void closeColumn(Stream& s, bool output);

    RenderTrace trace_;
    Stream in_, out_;
    bool bands_ = true;
    std::vector<std::array<double, kTraceBands>> bandSums_;  // gain dB × frames per column
    std::vector<std::int64_t> bandFrames_;
};

}  // namespace orvex::tools

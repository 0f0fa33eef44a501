#include "tools/render/plot_trace.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "tools/common/running_loudness.h"

namespace orvex::tools {
namespace {

double toDb(double linear) {
    return linear > 0.0 ? 20.0 * std::log10(linear) : -std::numeric_limits<double>::infinity();
}

}  // namespace

TraceRecorder::TraceRecorder(int inputChannels, int rate, std::int64_t frames) {
    trace_.rate = rate;
    trace_.frames = std::max<std::int64_t>(frames, 0);
    trace_.columnFrames = std::max(rate / 10, 1);
    in_.meter = std::make_unique<RunningLoudness>(inputChannels, rate);
    in_.channels = inputChannels;
    out_.meter = std::make_unique<RunningLoudness>(2, rate);
    out_.channels = 2;
    const std::size_t columns = static_cast<std::size_t>((trace_.frames + trace_.columnFrames - 1) / trace_.columnFrames);
    trace_.inputMomentaryLufs.reserve(columns);
    trace_.outputMomentaryLufs.reserve(columns);
    trace_.outputTruePeakDbtp.reserve(columns);
    bandSums_.assign(columns, {});
    bandFrames_.assign(columns, 0);
}

TraceRecorder::~TraceRecorder() = default;

// Momentary loudness is read at each column's end, so the meter is fed up to there and no
// further before it is read.
void TraceRecorder::feed(Stream& s, const float* interleaved, std::size_t frames, bool output) {
    while (frames > 0) {
        const std::size_t room = static_cast<std::size_t>(trace_.columnFrames - s.inColumn);
        const std::size_t n = std::min(frames, room);
        s.meter->add(interleaved, n);
        s.inColumn += static_cast<std::int64_t>(n);
        interleaved += n * static_cast<std::size_t>(s.channels);
        frames -= n;
        if (s.inColumn == trace_.columnFrames) closeColumn(s, output);
    }
}

void TraceRecorder::closeColumn(Stream& s, bool output) {
    if (output) {
        trace_.outputMomentaryLufs.push_back(s.meter->momentaryLufs());
        trace_.outputTruePeakDbtp.push_back(toDb(s.meter->takeTruePeak()));
    } else {
        trace_.inputMomentaryLufs.push_back(s.meter->momentaryLufs());
    }
    s.inColumn = 0;
}

void TraceRecorder::addInput(const float* interleaved, std::size_t frames) { feed(in_, interleaved, frames, false); }

void TraceRecorder::addOutput(const float* stereo, std::size_t frames) { feed(out_, stereo, frames, true); }

void TraceRecorder::addBandGains(const float (&gainDb)[kTraceBands], std::int64_t outputFrame, int frames) {
    std::int64_t begin = std::max<std::int64_t>(outputFrame, 0);
    const std::int64_t end = std::min<std::int64_t>(outputFrame + frames, trace_.frames);
    while (begin < end) {
        const std::int64_t column = begin / trace_.columnFrames;
        const std::int64_t stop = std::min(end, (column + 1) * trace_.columnFrames);
        const auto c = static_cast<std::size_t>(column);
        const double weight = static_cast<double>(stop - begin);
        for (int b = 0; b < kTraceBands; ++b) bandSums_[c][static_cast<std::size_t>(b)] += weight * gainDb[b];
        bandFrames_[c] += stop - begin;
        begin = stop;
    }
}

RenderTrace TraceRecorder::finish() {
    if (in_.inColumn > 0) closeColumn(in_, false);
    if (out_.inColumn > 0) closeColumn(out_, true);
    // Both streams cover the whole file; should one have stopped short (an input that ended
    // early is an error before this point), the columns they share are what is drawn.
    const std::size_t columns = std::min(trace_.inputMomentaryLufs.size(), trace_.outputMomentaryLufs.size());
    trace_.inputMomentaryLufs.resize(columns);
    trace_.outputMomentaryLufs.resize(columns);
    trace_.outputTruePeakDbtp.resize(columns);
    trace_.hasBands = bands_;
    if (bands_) {
        trace_.bandGainDb.resize(columns);
        std::array<float, kTraceBands> last{};
        for (std::size_t c = 0; c < columns; ++c) {
            // Every frame of the file was processed in some block; a column no block reached
            // (not seen in practice) repeats the one before rather than showing a false 0 dB.
            if (c < bandFrames_.size() && bandFrames_[c] > 0)
                for (int b = 0; b < kTraceBands; ++b)
                    last[static_cast<std::size_t>(b)] =
                        static_cast<float>(bandSums_[c][static_cast<std::size_t>(b)] / static_cast<double>(bandFrames_[c]));
            trace_.bandGainDb[c] = last;
        }
    }
    bandSums_.clear();
    bandFrames_.clear();
    return std::move(trace_);
}

}  // namespace orvex::tools

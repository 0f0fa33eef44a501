#include "tools/render/render.h"

#include <algorithm>
#include <chrono>
#include <memory>
#include <optional>

#include "tools/common/vst_loader.h"
#include "tools/render/plot.h"
#if ORVEX_TOOLS_WITH_PLOT
#include "tools/render/plot_trace.h"
#endif

#include "dsp/flush_to_zero.h"

namespace orvex::tools {
namespace {

// The floating-point mode comes back after the plug-in has had the thread, so a plug-in that
// leaves flush-to-zero on cannot change our own measurements.
class FloatModeGuard {
public:
#ifdef ORVEX_HAVE_FLOAT_CONTROL
    FloatModeGuard() : saved_(floatControl()) {}
    ~FloatModeGuard() { setFloatControl(saved_); }

private:
    FloatControlWord saved_;
#endif
};

// Per-channel block buffers for the plug-in's inputs and outputs.
struct Buffers {
    std::vector<std::vector<float>> data;
    std::vector<float*> pointers;
    Buffers(int channels, int frames)
        : data(static_cast<std::size_t>(std::max(channels, 0)), std::vector<float>(static_cast<std::size_t>(frames), 0.0f)) {
        for (auto& d : data) pointers.push_back(d.data());
        // Never hand the plug-in a null array, even for zero channels.
        if (pointers.empty()) pointers.push_back(nullptr);
    }
};

// Loads the plug-in library itself when `preloaded` is null, after the input has been opened.
RenderReport renderWith(const RenderOptions& o, const PluginLibrary* preloaded) {
    if (o.blockSize < 1 || o.blockSize > 1 << 16)
        throw UsageError("--block must be from 1 to 65536 samples");
    if (samePath(o.inputPath, o.outputPath))
        throw UsageError("the output \"" + o.outputPath + "\" is the input file; choose another name");
    const FileType type = fileTypeForPath(o.outputPath);
    checkEncoderSettings(type, o.encoder);
    if (o.format == SampleFormat::Float32 && type.container == Container::Flac)
        throw FileError("FLAC holds integer samples only; use --format 16 or 24 for \"" + o.outputPath + "\"");

#if !ORVEX_TOOLS_WITH_PLOT
    if (o.trace) throw UsageError(plotsUnsupportedReason());
#endif
    AudioReader reader(o.inputPath);
    if (reader.channels() > 2)
        throw FileError("\"" + o.inputPath + "\" has " + std::to_string(reader.channels()) +
                        " channels; give a mono file or a stereo one (taken as --input mix, left or right)");

    RenderReport report;
    report.inputPath = o.inputPath;
    report.outputPath = o.outputPath;
    report.inputFormat = reader.formatName();
    report.rate = reader.rate();
    report.inputChannels = reader.channels();
    report.frames = reader.frames();
    report.inputMode = o.input;
    report.blockSize = o.blockSize;
    const SampleFormat format = outputSampleFormat(type, o.format, reader.integerSamples());
    report.outputFormat = type.name + " " + (type.encoded() ? encoderDescription(type, o.encoder) : sampleFormatName(format));

    std::optional<PluginLibrary> own;
    const PluginLibrary& library = preloaded ? *preloaded : own.emplace(o.pluginPath);
    const double rate = reader.rate();
    PluginInstance plugin(library, rate, o.blockSize);
    report.pluginPath = library.path();
    report.entryName = library.entryName();
    report.pluginName = plugin.effectName();
    report.pluginInputs = plugin.inputs();
    report.pluginOutputs = plugin.outputs();
    report.settings = applySettings(library, plugin, o.settings, rate, o.blockSize);

    plugin.resume();
    report.latency = std::max(plugin.initialDelay(), 0);
    report.latencyCompensated = !o.keepLatency;
    // A delay beyond a minute of audio is not a look-ahead but a broken record.
    if (report.latency > 60 * reader.rate())
        throw PluginError("plug-in \"" + library.path() + "\" reports an implausible latency of " +
                          std::to_string(report.latency) + " samples");

    AudioWriter writer(o.outputPath, type, format, reader.rate(), 2, AudioCodec::Default, o.encoder);
    LoudnessMeter inMeter(reader.channels(), reader.rate());
    LoudnessMeter outMeter(2, reader.rate());
#if ORVEX_TOOLS_WITH_PLOT
    std::unique_ptr<TraceRecorder> trace;
    if (o.trace) trace = std::make_unique<TraceRecorder>(reader.channels(), reader.rate(), reader.frames());
#endif

    const int block = o.blockSize;
    const int channels = reader.channels();
    Buffers in(plugin.inputs(), block), out(plugin.outputs(), block);
    std::vector<float> fileFrames(static_cast<std::size_t>(block) * static_cast<std::size_t>(channels));
    std::vector<float> stereo(static_cast<std::size_t>(block) * 2);
    std::vector<float> programme(static_cast<std::size_t>(block));

    const std::int64_t total = reader.frames();
    std::int64_t toSkip = o.keepLatency ? 0 : report.latency;
    std::int64_t written = 0;
    bool inputDone = false;
    std::int64_t readFrames = 0;
    // A damaged or cut file ends before the length its header gives; the MP3 decoder only
    // estimates the length of files without an encoder header, a little high at times.
    const std::int64_t shortfallAllowed = reader.lengthEstimated() ? total / 100 + 2304 : 0;
    std::chrono::steady_clock::duration busy{};
    FloatModeGuard floatMode;
    double lastProgress = -1.0;

    while (written < total) {
        if (o.cancelled && o.cancelled()) throw FileError("interrupted; no output written");
        int frames = 0;
        if (!inputDone) {
            frames = static_cast<int>(reader.read(fileFrames.data(), static_cast<std::size_t>(block)));
            readFrames += frames;
            if (frames == 0) {
                inputDone = true;
                if (total - readFrames > shortfallAllowed)
                    throw FileError("\"" + o.inputPath + "\" ends after " + std::to_string(readFrames) + " of its " +
                                    std::to_string(total) + " frames: the file is damaged or cut short");
            }
        }
        if (frames > 0) {
            inMeter.add(fileFrames.data(), static_cast<std::size_t>(frames));
#if ORVEX_TOOLS_WITH_PLOT
            if (trace) trace->addInput(fileFrames.data(), static_cast<std::size_t>(frames));
#endif
            for (int i = 0; i < frames; ++i) {
                const float* f = &fileFrames[static_cast<std::size_t>(i * channels)];
                float v = f[0];
                if (channels == 2) {
                    if (o.input == InputMode::Mix) v = 0.5f * (f[0] + f[1]);
                    if (o.input == InputMode::Right) v = f[1];
                }
                programme[static_cast<std::size_t>(i)] = v;
            }
        } else {
            // Past the end of the input: silence flushes the plug-in's latency out.
            frames = static_cast<int>(std::min<std::int64_t>(block, total - written + toSkip));
            std::fill(programme.begin(), programme.begin() + frames, 0.0f);
        }
        // Every input hears the programme (Orvex reads only the first; stereo plug-ins get it twice).
        for (auto& channel : in.data) std::copy(programme.begin(), programme.begin() + frames, channel.begin());

        const auto start = std::chrono::steady_clock::now();
        plugin.process(in.pointers.data(), out.pointers.data(), frames);
        busy += std::chrono::steady_clock::now() - start;
#if ORVEX_TOOLS_WITH_PLOT
        // The readout holds the gains at the block's last sample; they stand for the whole block
        // in the picture, at the place its frames take in the output file.
        if (trace) {
            orvex::MeterSnapshot meters{};
            if (plugin.readMeters(meters))
                trace->addBandGains(meters.bandGainDb, report.processedFrames - (o.keepLatency ? 0 : report.latency), frames);
            else
                trace->withoutBands();
        }
#endif
        report.processedFrames += frames;

        const int skip = static_cast<int>(std::min<std::int64_t>(toSkip, frames));
        toSkip -= skip;
        const int keep = static_cast<int>(std::min<std::int64_t>(frames - skip, total - written));
        const float* left = out.data[0].data() + skip;
        const float* right = (out.data.size() > 1 ? out.data[1].data() : out.data[0].data()) + skip;
        for (int i = 0; i < keep; ++i) {
            stereo[static_cast<std::size_t>(2 * i)] = left[i];
            stereo[static_cast<std::size_t>(2 * i + 1)] = right[i];
        }
        if (keep > 0) {
            outMeter.add(stereo.data(), static_cast<std::size_t>(keep));
#if ORVEX_TOOLS_WITH_PLOT
            if (trace) trace->addOutput(stereo.data(), static_cast<std::size_t>(keep));
#endif
            writer.write(stereo.data(), static_cast<std::size_t>(keep));
            written += keep;
        }
        if (o.progress) {
            const double done = static_cast<double>(written) / static_cast<double>(total);
            if (done - lastProgress >= 0.005 || written == total) {
                o.progress(done);
                lastProgress = done;
            }
        }
    }
    plugin.suspend();
    writer.commit(o.replaceOutput);

    report.processingSeconds = std::chrono::duration<double>(busy).count();
    report.inputLoudness = inMeter.report();
    report.outputLoudness = outMeter.report();
#if ORVEX_TOOLS_WITH_PLOT
    if (trace) report.trace = std::make_shared<const RenderTrace>(trace->finish());
#endif
    return report;
}

}  // namespace

InputMode parseInputMode(const std::string& text) {
    if (text == "mix") return InputMode::Mix;
    if (text == "left") return InputMode::Left;
    if (text == "right") return InputMode::Right;
    throw UsageError("unknown --input \"" + text + "\"; choose mix, left or right");
}

const char* inputModeName(InputMode mode) {
    switch (mode) {
        case InputMode::Mix: return "mix";
        case InputMode::Left: return "left";
        case InputMode::Right: return "right";
    }
    return "?";
}

double RenderReport::realtimeFactor() const {
    if (processingSeconds <= 0.0 || rate <= 0) return 0.0;
    return (static_cast<double>(processedFrames) / rate) / processingSeconds;
}

std::vector<AppliedSetting> applySettings(const PluginLibrary& library, PluginInstance& target,
                                          const std::vector<Setting>& settings, double rate, int block) {
    std::vector<AppliedSetting> applied;
    if (settings.empty()) return applied;
    PluginInstance probe(library, rate, block);
    InstanceParameters probeAccess(probe);
    const std::vector<ParameterInfo> params = describeParameters(probeAccess);
    for (const Setting& s : settings) {
        const Assignment a = s.normalised ? resolveNormalised(probeAccess, params, s.text)
                                          : resolvePlain(probeAccess, params, s.text);
        target.setParameter(a.index, a.normalised);
        AppliedSetting done;
        done.index = a.index;
        done.name = params[static_cast<std::size_t>(a.index)].name;
        done.normalised = a.normalised;
        done.exact = a.exact;
        applied.push_back(done);
    }
    for (AppliedSetting& done : applied) {
        done.display = target.parameterDisplay(done.index);
        // A value typed in the control's units lands on a normalised value near the default's,
        // not always on it; what the control shows tells.
        const ParameterInfo& p = params[static_cast<std::size_t>(done.index)];
        done.atDefault = done.normalised == p.defaultValue || done.display == p.defaultText;
    }
    return applied;
}

SampleFormat outputSampleFormat(const FileType& type, std::optional<SampleFormat> requested, bool integerInput) {
    if (requested) return *requested;
    SampleFormat format = integerInput ? SampleFormat::Pcm24 : SampleFormat::Float32;
    if (format == SampleFormat::Float32 && !typeHolds(type, format)) format = SampleFormat::Pcm24;
    if (format == SampleFormat::Pcm24 && !typeHolds(type, format)) format = SampleFormat::Pcm16;
    return format;
}

RenderReport render(const RenderOptions& o) { return renderWith(o, nullptr); }

RenderReport render(const RenderOptions& o, const PluginLibrary& library) { return renderWith(o, &library); }

std::vector<ParameterInfo> listParameters(const std::string& pluginPath, double rate, int blockSize) {
    PluginLibrary library(pluginPath);
    PluginInstance plugin(library, rate, blockSize);
    InstanceParameters access(plugin);
    return describeParameters(access);
}

}  // namespace orvex::tools

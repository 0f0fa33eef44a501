#include "tools/render/report.h"

#include <cmath>
#include <sstream>

#include "tools/common/text.h"

namespace orvex::tools {

std::string level(double v, const char* unit) {
    char buf[64];
    if (!std::isfinite(v)) std::snprintf(buf, sizeof buf, "-inf %s", unit);
    else std::snprintf(buf, sizeof buf, "%.1f %s", v, unit);
    return buf;
}

std::string jsonLoudness(const LoudnessReport& l) {
    return "\"integrated_lufs\":" + jsonNumber(l.integratedLufs, 2) + ",\"range_lu\":" + jsonNumber(l.rangeLu, 2) +
           ",\"true_peak_dbtp\":" + jsonNumber(l.truePeakDbtp, 2) + ",\"sample_peak_dbfs\":" +
           jsonNumber(l.samplePeakDbfs, 2);
}

void printJson(std::FILE* out, const RenderReport& r) {
    std::ostringstream o;
    o << "{\"plugin\":{\"path\":" << jsonString(r.pluginPath) << ",\"name\":" << jsonString(r.pluginName)
      << ",\"entry\":" << jsonString(r.entryName) << ",\"inputs\":" << r.pluginInputs
      << ",\"outputs\":" << r.pluginOutputs << ",\"latency_samples\":" << r.latency
      << ",\"latency_compensated\":" << (r.latencyCompensated ? "true" : "false") << "}";
    o << ",\"sample_rate\":" << r.rate << ",\"frames\":" << r.frames
      << ",\"duration_seconds\":" << jsonNumber(static_cast<double>(r.frames) / r.rate, 6)
      << ",\"block_size\":" << r.blockSize;
    o << ",\"input\":{\"path\":" << jsonString(r.inputPath) << ",\"format\":" << jsonString(r.inputFormat)
      << ",\"channels\":" << r.inputChannels << ",\"mode\":" << jsonString(inputModeName(r.inputMode)) << ","
      << jsonLoudness(r.inputLoudness) << "}";
    o << ",\"output\":{\"path\":" << jsonString(r.outputPath) << ",\"format\":" << jsonString(r.outputFormat)
      << ",\"channels\":2," << jsonLoudness(r.outputLoudness) << "}";
    o << ",\"processing_seconds\":" << jsonNumber(r.processingSeconds, 6)
      << ",\"realtime_factor\":" << jsonNumber(r.realtimeFactor(), 2);
    o << ",\"settings\":[";
    for (std::size_t i = 0; i < r.settings.size(); ++i) {
        const auto& s = r.settings[i];
        o << (i ? "," : "") << "{\"index\":" << s.index << ",\"name\":" << jsonString(s.name)
          << ",\"normalised\":" << jsonNumber(s.normalised, 8) << ",\"display\":" << jsonString(s.display) << "}";
    }
    o << "]";
    if (!r.plotPath.empty()) o << ",\"picture\":" << jsonString(r.plotPath);
    o << "}";
    std::fprintf(out, "%s\n", o.str().c_str());
}

void printText(std::FILE* out, const RenderReport& r) {
    std::fprintf(out, "%s -> %s\n", r.inputPath.c_str(), r.outputPath.c_str());
    std::fprintf(out, "  plug-in      %s (%s, entry %s), %d in / %d out\n", r.pluginName.c_str(), r.pluginPath.c_str(),
                r.entryName.c_str(), r.pluginInputs, r.pluginOutputs);
    std::fprintf(out, "  input        %s, %s, %d Hz, %.3f s%s\n", r.inputFormat.c_str(),
                r.inputChannels == 1 ? "mono" : "stereo", r.rate, static_cast<double>(r.frames) / r.rate,
                r.inputChannels == 2 ? (std::string(", fed as ") + inputModeName(r.inputMode)).c_str() : "");
    if (r.latency == 0)
        std::fprintf(out, "  output       %s, stereo; no latency reported\n", r.outputFormat.c_str());
    else
        std::fprintf(out, "  output       %s, stereo; latency %d samples %s\n", r.outputFormat.c_str(), r.latency,
                    r.latencyCompensated ? "removed" : "kept");
    for (const auto& s : r.settings)
        std::fprintf(out, "  set          %d \"%s\" = %s (normalised %.6g%s)\n", s.index, s.name.c_str(), s.display.c_str(),
                    static_cast<double>(s.normalised), s.exact ? "" : "; the display cannot show the value exactly");
    std::fprintf(out, "               %-14s %-10s %-12s %s\n", "integrated", "range", "true peak", "sample peak");
    auto row = [out](const char* what, const LoudnessReport& l) {
        std::fprintf(out, "  %-12s %-14s %-10s %-12s %s\n", what, level(l.integratedLufs, "LUFS").c_str(),
                    level(l.rangeLu, "LU").c_str(), level(l.truePeakDbtp, "dBTP").c_str(),
                    level(l.samplePeakDbfs, "dBFS").c_str());
    };
    row("input", r.inputLoudness);
    row("output", r.outputLoudness);
    std::fprintf(out, "  processing   %.3f s for %.3f s of audio: %.1fx real time (block %d)\n", r.processingSeconds,
                static_cast<double>(r.processedFrames) / r.rate, r.realtimeFactor(), r.blockSize);
    if (!r.plotPath.empty()) std::fprintf(out, "  picture      %s\n", r.plotPath.c_str());
}

void printParamsJson(std::FILE* out, const std::vector<ParameterInfo>& params) {
    std::ostringstream o;
    o << "{\"parameters\":[";
    for (std::size_t i = 0; i < params.size(); ++i) {
        const auto& p = params[i];
        o << (i ? "," : "") << "{\"index\":" << p.index << ",\"name\":" << jsonString(p.name)
          << ",\"label\":" << jsonString(p.label);
        if (p.kind == ParameterInfo::Kind::Numeric) {
            o << ",\"kind\":\"number\",\"min_display\":" << jsonString(p.lowText)
              << ",\"max_display\":" << jsonString(p.highText);
        } else {
            o << ",\"kind\":" << (p.isSwitch() ? "\"switch\"" : "\"choice\"") << ",\"choices\":[";
            for (std::size_t k = 0; k < p.choices.size(); ++k) o << (k ? "," : "") << jsonString(p.choices[k]);
            o << "]";
        }
        o << ",\"default\":" << jsonNumber(p.defaultValue, 8) << ",\"display\":" << jsonString(p.defaultText) << "}";
    }
    o << "]}";
    std::fprintf(out, "%s\n", o.str().c_str());
}

}  // namespace orvex::tools

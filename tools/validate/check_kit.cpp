#include "tools/validate/check_kit.h"

#include <climits>
#include <limits>

namespace orvex::tools::validation {

std::uint64_t mix(std::uint64_t seed, std::uint64_t salt) {
    Random r(seed ^ (salt * 0xD1B54A32D192ED03ull));
    return r.next();
}

std::uint64_t hashText(const std::string& s) {
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : s) h = (h ^ c) * 1099511628211ull;
    return h;
}

std::string valueText(float v) {
    if (std::isnan(v)) return "nan";
    if (std::isinf(v)) return v > 0 ? "+inf" : "-inf";
    return formatText("%.9g", static_cast<double>(v));
}

const std::vector<float>& specialParameterValues() {
    static const std::vector<float> values = {
        std::numeric_limits<float>::quiet_NaN(), -std::numeric_limits<float>::quiet_NaN(),
        std::numeric_limits<float>::infinity(), -std::numeric_limits<float>::infinity(),
        -1.0f, -0.5f, 1.5f, 2.0f, 1e30f, -1e30f, std::numeric_limits<float>::max(),
        -std::numeric_limits<float>::max(), std::numeric_limits<float>::denorm_min(), -0.0f,
        0.0f, 1.0f, std::nextafter(1.0f, 2.0f), std::nextafter(0.0f, -1.0f)};
    return values;
}

float randomParameterValue(Random& r) {
    const int kind = r.below(100);
    if (kind < 60) return static_cast<float>(r.uniform());
    if (kind < 70) return r.below(2) ? 1.0f : 0.0f;
    if (kind < 80) return static_cast<float>((r.uniform() - 0.5) * 4.0);  // -2..2
    const auto& special = specialParameterValues();
    return special[static_cast<std::size_t>(r.below(static_cast<int>(special.size())))];
}

const char* signalName(Signal s) {
    switch (s) {
        case Signal::Noise: return "noise";
        case Signal::Sweep: return "sine sweep";
        case Signal::LoudThenSilence: return "silence after loud";
        case Signal::Square: return "full-scale square";
    }
    return "?";
}

Limits limitsFor(bool quick) {
    if (quick)
        return {0.25, {22050, 48000, 192000}, {1, 64, 4096, 0}, 2.0, {48000}, 200, 500, 1.0, 4.0, false, 4};
    return {2.0, {22050, 44100, 48000, 88200, 96000, 192000}, {1, 16, 64, 512, 1024, 4096, 0}, 20.0,
            {44100, 96000}, 2000, 5000, 2.0, 60.0, true, 20};
}

void generate(Generator& g, std::vector<float>& block, int frames) {
    block.resize(static_cast<std::size_t>(std::max(frames, 0)));
    for (auto& v : block) v = g.next();
}

TextWrite inspectText(const std::vector<unsigned char>& buf) {
    TextWrite w;
    for (std::size_t i = buf.size(); i > 0; --i)
        if (buf[i - 1] != kTextCanary) {
            w.extent = i;
            break;
        }
    for (std::size_t i = 0; i < buf.size(); ++i)
        if (buf[i] == 0) {
            w.terminator = i;
            break;
        }
    if (w.terminator != SIZE_MAX) w.text.assign(reinterpret_cast<const char*>(buf.data()), w.terminator);
    return w;
}

TextVerdict judgeText(const TextWrite& w, std::size_t bound, std::size_t lenientBound) {
    TextVerdict v;
    auto describe = [&] {
        return formatText("wrote %zu bytes, \"%s\", where the bound is %zu + 1", w.extent, w.text.substr(0, 80).c_str(), bound);
    };
    if (w.extent == 0) return v;  // nothing written: an empty answer left as the host set it
    if (w.extent > lenientBound + 1 || w.terminator == SIZE_MAX || w.terminator > lenientBound) {
        v.status = CheckStatus::Fail;
        v.why = w.terminator == SIZE_MAX ? formatText("wrote %zu bytes without a terminating zero", w.extent) : describe();
    } else if (w.extent > bound + 1 || w.terminator > bound) {
        v.status = CheckStatus::Warn;
        v.why = describe();
    }
    return v;
}

}  // namespace orvex::tools::validation

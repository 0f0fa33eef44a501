// The bundle in real LV2 hosts from Debian's archive, found through LV2_PATH pointing at the
// build tree: lilv's lv2ls, lv2info and lv2apply, the LV2 schema check, ffmpeg's lv2 filter and
// GStreamer's LV2 elements. Renders are held against the VST module rendered by orvex-render.
//
// Every program is started here and waited for by its process id; one that is not installed
// skips its test with a message naming the package.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/controls.h"
#include "lv2/ports.h"
#include "tests/support/run_program.h"
#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"

namespace orvex {
namespace {

using test::Audio;
using test::Outcome;
using test::slurp;
using test::readAudio;
using test::TempDir;
using test::writeAudio;

constexpr const char* kUri = "urn:orvex:processor";
constexpr const char* kStereoInUri = "urn:orvex:processor-stereo-in";
constexpr float kCeiling = 0.8912509f;

// A host program with this build's bundles (and the system's, for lv2core's class labels) on
// LV2_PATH.
Outcome run(const TempDir& dir, const std::vector<std::string>& args, const std::string& lv2Path = ORVEX_LV2_PATH,
            std::vector<std::string> extra = {}) {
    extra.push_back("LV2_PATH=" + lv2Path + ":/usr/lib/lv2");
    return test::runProgram(dir.file("program"), args, extra);
}

#define REQUIRE_PROGRAM(path, package)                                                         \
    do {                                                                                       \
        if (std::string(path).empty()) GTEST_SKIP() << #path " not installed (Debian package " \
                                                    << package << ")";                         \
    } while (0)

// ---- the description as lilv reads it ------------------------------------------------------

struct PortInfo {
    std::map<std::string, std::string> fields;  // "Symbol", "Name", "Minimum", ...
    std::string types, properties, designation;
};

// lv2info's report, port by port; the plug-in's own lines under the key -1.
std::map<int, PortInfo> parseInfo(const std::string& text) {
    std::map<int, PortInfo> ports;
    int current = -1;
    std::string lastKey;
    std::istringstream lines(text);
    const std::regex field(R"(^\s*([A-Z][A-Za-z ]*):\s*(.*)$)"), port(R"(^\s*Port (\d+):\s*$)");
    for (std::string line; std::getline(lines, line);) {
        std::smatch m;
        if (line.find_first_not_of(" \t") == std::string::npos) continue;
        if (std::regex_match(line, m, port)) {
            current = std::stoi(m[1]);
            ports[current];
            lastKey.clear();
            continue;
        }
        std::string key = lastKey, value;  // a line without a key continues a list (types, properties)
        if (std::regex_match(line, m, field)) {
            key = lastKey = m[1];
            value = m[2];
        } else {
            value = line.substr(line.find_first_not_of(" \t"));
        }
        PortInfo& p = ports[current];
        if (key == "Type") p.types += value + " ";
        else if (key == "Properties") p.properties += value + " ";
        else if (key == "Designation") p.designation += value + " ";
        else if (!key.empty() && !p.fields.count(key)) p.fields[key] = value;
        else if (!key.empty()) p.fields[key] += " " + value;
    }
    return ports;
}

std::string lv2Number(float v) {
    char text[32];
    std::snprintf(text, sizeof text, "%f", static_cast<double>(v));
    return text;
}

// The control symbols, one per VST parameter index. Hosts, presets and users' command lines keep
// them: a change here breaks them all.
const char* const kSymbols[ctl::kCount] = {
    "band_1_level_db", "band_1_noisegate_gain_trim_db", "band_2_to_1_gain_linking_db",
    "bands_11_to_12_gain_linking_db", "bands_5678_gain_linking_db", "lowpass_filter", "master_noisegate_gain",
    "multiband_eq_band_1_threshold", "multiband_eq_master_threshold", "noisegate_gain_scale_db_per_band",
    "disable_kvln_eq", "output_agc_threshold", "bandwidth_expansion_input_hpf",
    "bandwidth_expansion_limiter_threshold", "bandwidth_expansion_hf_detection_freq",
    "bandwidth_expansion_hf_detection_gain", "final_2k_hf_shelf", "bandwidth_expansion_level", "dnr_sensitivity",
    "dnr_lpf_disable",
};

// Everything that is wrong with the plug-in as lv2info reports it from `lv2Path`; empty when
// nothing is.
std::string problemsWithDescription(const TempDir& dir, const std::string& lv2Path, const std::string& uri = kUri) {
    const bool stereo = uri == kStereoInUri;
    const Outcome o = run(dir, {PROGRAM_LV2INFO, uri}, lv2Path);
    std::ostringstream problems;
    if (o.status != 0) problems << "lv2info exit status " << o.status << "\n";
    if (o.err.find("error") != std::string::npos) problems << "lv2info reports: " << o.err << "\n";
    const auto info = parseInfo(o.out);
    auto expect = [&](bool ok, const std::string& what) {
        if (!ok) problems << what << "\n";
    };
    const auto plugin = info.count(-1) ? info.at(-1) : PortInfo{};
    auto field = [](const PortInfo& p, const std::string& key) {
        auto it = p.fields.find(key);
        return it == p.fields.end() ? std::string() : it->second;
    };
    expect(field(plugin, "Name") == (stereo ? "Orvex (stereo in)" : "Orvex"), "plug-in name \"" + field(plugin, "Name") + "\"");
    expect(field(plugin, "Class") == "Dynamics Plugin", "plug-in class \"" + field(plugin, "Class") + "\"");
    expect(field(plugin, "Author") == "Orvex", "author \"" + field(plugin, "Author") + "\"");
    expect(field(plugin, "Required Features").empty(), "required features: " + field(plugin, "Required Features"));
    expect(field(plugin, "Optional Features").find("hardRTCapable") != std::string::npos, "not hard-RT capable");
    expect(field(plugin, "Has latency").find("port 23") != std::string::npos,
           "latency: \"" + field(plugin, "Has latency") + "\"");
    expect(info.size() == 1 + (stereo ? 39u : 38u), "ports listed: " + std::to_string(info.size() - 1));
    if (!problems.str().empty()) return problems.str();

    for (int i = 0; i < ctl::kCount; ++i) {
        const PortInfo& p = info.at(i);
        const ControlDef& c = kControlTable[i];
        const std::string tag = "port " + std::to_string(i) + ": ";
        expect(field(p, "Name") == c.label, tag + "name \"" + field(p, "Name") + "\"");
        expect(field(p, "Symbol") == kSymbols[i], tag + "symbol \"" + field(p, "Symbol") + "\"");
        expect(p.types.find("ControlPort") != std::string::npos && p.types.find("InputPort") != std::string::npos,
               tag + "types " + p.types);
        const float lo = c.checkButton ? 0.0f : c.min, hi = c.checkButton ? 1.0f : c.max;
        const float init = c.checkButton ? 0.0f : c.init;
        expect(field(p, "Minimum") == lv2Number(lo), tag + "minimum " + field(p, "Minimum"));
        expect(field(p, "Maximum") == lv2Number(hi), tag + "maximum " + field(p, "Maximum"));
        expect(field(p, "Default") == lv2Number(init), tag + "default " + field(p, "Default"));
        expect((p.properties.find("toggled") != std::string::npos) == c.checkButton, tag + "properties " + p.properties);
    }
    struct Audio {
        int port;
        const char *symbol, *type, *name;
    };
    const std::vector<Audio> audio = {
        {20, stereo ? "in_l" : "in", "InputPort", "Tervo Orvex DSP input: 0"},
        {21, "out_a", "OutputPort", "Tervo Orvex DSP output: 0"},
        {22, "out_b", "OutputPort", "Tervo Orvex DSP output: 1"},
    };
    auto checkAudio = [&](const Audio& a) {
        const PortInfo& p = info.at(a.port);
        expect(field(p, "Symbol") == a.symbol, "audio port symbol " + field(p, "Symbol"));
        expect(field(p, "Name") == a.name, "audio port name " + field(p, "Name"));
        expect(p.types.find("AudioPort") != std::string::npos && p.types.find(a.type) != std::string::npos,
               "audio port types " + p.types);
    };
    for (const Audio& a : audio) checkAudio(a);
    if (stereo) checkAudio({24, "in_r", "InputPort", "Tervo Orvex DSP input: 1"});
    const PortInfo& latency = info.at(lv2::kLatency);
    expect(field(latency, "Symbol") == "latency", "latency symbol " + field(latency, "Symbol"));
    expect(latency.types.find("ControlPort") != std::string::npos && latency.types.find("OutputPort") != std::string::npos,
           "latency types " + latency.types);
    expect(latency.properties.find("reportsLatency") != std::string::npos, "latency properties " + latency.properties);
    expect(latency.designation.find("lv2core#latency") != std::string::npos, "latency designation " + latency.designation);

    // The meters, after the last audio port: control outputs with their ranges.
    const lv2::Input input = stereo ? lv2::Input::Stereo : lv2::Input::Mono;
    auto checkMeter = [&](std::uint32_t which, const std::string& symbol, const std::string& name, lv2::MeterRange range) {
        const PortInfo& p = info.at(static_cast<int>(lv2::meterPort(input, which)));
        const std::string tag = "meter " + symbol + ": ";
        expect(field(p, "Symbol") == symbol, tag + "symbol " + field(p, "Symbol"));
        expect(field(p, "Name") == name, tag + "name " + field(p, "Name"));
        expect(p.types.find("ControlPort") != std::string::npos && p.types.find("OutputPort") != std::string::npos,
               tag + "types " + p.types);
        expect(field(p, "Minimum") == lv2Number(range.min), tag + "minimum " + field(p, "Minimum"));
        expect(field(p, "Maximum") == lv2Number(range.max), tag + "maximum " + field(p, "Maximum"));
    };
    for (std::uint32_t b = 0; b < 12; ++b)
        checkMeter(lv2::kMeterBandGain + b, "band_" + std::to_string(b + 1) + "_gain", "Band " + std::to_string(b + 1) + " Gain",
                   lv2::kBandGainRange);
    checkMeter(lv2::kMeterOutputGain, "output_gain", "Output Gain", lv2::kOutputGainRange);
    checkMeter(lv2::kMeterOutputPeak, "output_peak", "Output Peak", lv2::kOutputPeakRange);
    return problems.str();
}

// ---- audio -----------------------------------------------------------------------------------

// Count of samples whose bits differ between two renders of the same shape.
std::size_t differingSamples(const Audio& a, const Audio& b) {
    if (a.channels != b.channels || a.data.size() != b.data.size()) return static_cast<std::size_t>(-1);
    std::size_t n = 0;
    for (std::size_t i = 0; i < a.data.size(); ++i) n += std::memcmp(&a.data[i], &b.data[i], sizeof(float)) != 0;
    return n;
}

void expectSaneStereo(const Audio& a, const std::string& what) {
    ASSERT_EQ(a.channels, 2) << what;
    ASSERT_GT(a.frames(), 0u) << what;
    double energy = 0.0;
    float peak = 0.0f;
    for (float v : a.data) {
        ASSERT_TRUE(std::isfinite(v)) << what;
        peak = std::max(peak, std::fabs(v));
        energy += static_cast<double>(v) * v;
    }
    EXPECT_LE(peak, kCeiling) << what;
    EXPECT_GT(energy / static_cast<double>(a.data.size()), 1e-6) << what << " is silent";
}

class Lv2Hosts : public ::testing::Test {
protected:
    // Three seconds of a music-like mono programme, as a float WAV file.
    std::string monoInput(int rate, const std::string& name = "in.wav") {
        const std::string path = dir.file(name);
        writeAudio(path, rate, 1, test::musicLike(rate, static_cast<std::size_t>(3 * rate), 4));
        return path;
    }
    // The VST module's render through orvex-render, latency kept, float samples.
    Audio vstRender(const std::string& input, const std::vector<std::string>& normalisedSettings) {
        std::vector<std::string> args = {ORVEX_RENDER, "--keep-latency", "--format", "float"};
        for (const auto& s : normalisedSettings) {
            args.push_back("--set-normalised");
            args.push_back(s);
        }
        args.push_back(input);
        args.push_back(dir.file("vst.wav"));
        const Outcome o = run(dir, args);
        EXPECT_EQ(o.status, 0) << o.all();
        return readAudio(dir.file("vst.wav"));
    }
    TempDir dir;
};

TEST_F(Lv2Hosts, Lv2lsFindsThePlugin) {
    REQUIRE_PROGRAM(PROGRAM_LV2LS, "lilv-utils");
    const Outcome o = run(dir, {PROGRAM_LV2LS});
    EXPECT_EQ(o.status, 0) << o.all();
    EXPECT_NE(o.out.find(std::string(kUri) + "\n"), std::string::npos) << o.out;
    EXPECT_NE(o.out.find(std::string(kStereoInUri) + "\n"), std::string::npos) << o.out;
}

TEST_F(Lv2Hosts, Lv2infoListsEveryPortAsTheControlTableHasIt) {
    REQUIRE_PROGRAM(PROGRAM_LV2INFO, "lilv-utils");
    EXPECT_EQ(problemsWithDescription(dir, ORVEX_LV2_PATH, kUri), "");
    EXPECT_EQ(problemsWithDescription(dir, ORVEX_LV2_PATH, kStereoInUri), "");
}

// The check above is only worth something if it catches a broken description.
TEST_F(Lv2Hosts, ABrokenDescriptionIsCaught) {
    REQUIRE_PROGRAM(PROGRAM_LV2INFO, "lilv-utils");
    namespace fs = std::filesystem;
    const fs::path copy = fs::path(dir.file("lv2")) / "Orvex.lv2";
    fs::create_directories(copy);
    for (const auto& e : fs::directory_iterator(ORVEX_LV2_BUNDLE_DIR)) fs::copy(e.path(), copy / e.path().filename());
    const std::string ttl = slurp((copy / "orvex.ttl").string());

    // Cut short in the middle of the port list.
    std::ofstream((copy / "orvex.ttl").string(), std::ios::trunc) << ttl.substr(0, ttl.size() / 2);
    EXPECT_NE(problemsWithDescription(dir, dir.file("lv2")), "");

    // Well-formed, but one range is wrong.
    std::string edited = ttl;
    const auto at = edited.find("lv2:maximum 15000.0");
    ASSERT_NE(at, std::string::npos);
    edited.replace(at, 19, "lv2:maximum 16000.0");
    std::ofstream((copy / "orvex.ttl").string(), std::ios::trunc) << edited;
    EXPECT_NE(problemsWithDescription(dir, dir.file("lv2")), "");
}

TEST_F(Lv2Hosts, DescriptionPassesTheLv2SchemaCheck) {
    REQUIRE_PROGRAM(PROGRAM_LV2_VALIDATE, "lv2-dev");
    REQUIRE_PROGRAM(PROGRAM_SORD_VALIDATE, "sordi");
    const std::string bundle = ORVEX_LV2_BUNDLE_DIR;
    const Outcome o = run(dir, {PROGRAM_LV2_VALIDATE, bundle + "/manifest.ttl", bundle + "/orvex.ttl"});
    EXPECT_EQ(o.status, 0) << o.all();
    // lv2_validate exits 0 whatever it finds; its summary line tells.
    EXPECT_NE(o.all().find("Found 0 errors"), std::string::npos) << o.all();
}

// lv2info does not show units; the description read as RDF triples does.
TEST_F(Lv2Hosts, EveryDecibelAndHertzControlCarriesItsUnit) {
    REQUIRE_PROGRAM(PROGRAM_SORDI, "sordi");
    const Outcome o = run(dir, {PROGRAM_SORDI, std::string(ORVEX_LV2_BUNDLE_DIR) + "/orvex.ttl"});
    ASSERT_EQ(o.status, 0) << o.all();
    std::map<std::string, std::string> symbolOf, unitOf, unitSymbol;
    std::istringstream lines(o.out);
    for (std::string subject, predicate; lines >> subject >> predicate;) {
        std::string object;
        std::getline(lines, object);
        object = object.substr(object.find_first_not_of(' '));
        object = object.substr(0, object.rfind(" ."));
        if (predicate == "<http://lv2plug.in/ns/lv2core#symbol>") symbolOf[subject] = object;
        if (predicate == "<http://lv2plug.in/ns/extensions/units#unit>") unitOf[subject] = object;
        if (predicate == "<http://lv2plug.in/ns/extensions/units#symbol>") unitSymbol[subject] = object;
    }
    std::map<std::string, std::string> unitBySymbol;
    for (const auto& [node, unit] : unitOf) {
        auto own = unitSymbol.find(unit);
        unitBySymbol[symbolOf[node]] = own != unitSymbol.end() ? own->second : unit;
    }
    auto unitAt = [&](int index) {
        std::string literal = "\"";
        literal += kSymbols[index];
        literal += '"';
        return unitBySymbol[literal];
    };
    const std::string db = "<http://lv2plug.in/ns/extensions/units#db>", hz = "<http://lv2plug.in/ns/extensions/units#hz>";
    for (int i : {ctl::kBand1LevelDb, ctl::kBand1GateTrimDb, ctl::kBand2To1LinkDb, ctl::kBands11To12LinkDb,
                  ctl::kBands5678LinkDb, ctl::kMasterGateGain, ctl::kBand1Threshold, ctl::kMasterThreshold,
                  ctl::kGateScalePerBand, ctl::kOutputAgcThreshold, ctl::kExpansionLimiterThreshold,
                  ctl::kExpansionHfDetectGain, ctl::kFinalHfShelf, ctl::kExpansionLevel})
        EXPECT_EQ(unitAt(i), db) << kSymbols[i];
    for (int i : {ctl::kLowpassFilter, ctl::kExpansionInputHpf, ctl::kExpansionHfDetectFreq})
        EXPECT_EQ(unitAt(i), hz) << kSymbols[i];
    EXPECT_EQ(unitAt(ctl::kDnrSensitivity), "\"x\"");  // the VST's own label for it
    for (std::string meter : {"band_1_gain", "band_12_gain", "output_gain", "output_peak"})
        EXPECT_EQ(unitBySymbol["\"" + meter + "\""], db) << meter;
    EXPECT_EQ(unitBySymbol.size(), 18u + 14u);
}

// lv2apply runs the plug-in over a file with a control set by its symbol; lilv does not take
// out the latency, so the comparison keeps it on the VST side too.
TEST_F(Lv2Hosts, Lv2applyRendersTheVstModulesBits) {
    REQUIRE_PROGRAM(PROGRAM_LV2APPLY, "lilv-utils");
    const std::string in = monoInput(48000);
    // 0.25 of 1000..15000 is 4500 exactly, in both mappings.
    const Outcome o = run(dir, {PROGRAM_LV2APPLY, "-i", in, "-o", dir.file("lv2.wav"), "-c", "lowpass_filter", "4500", kUri});
    ASSERT_EQ(o.status, 0) << o.all();
    const Audio lv2 = readAudio(dir.file("lv2.wav"));
    const Audio vst = vstRender(in, {"5=0.25"});
    expectSaneStereo(lv2, "lv2apply output");
    EXPECT_EQ((lv2.format & SF_FORMAT_SUBMASK), SF_FORMAT_FLOAT);
    EXPECT_EQ(differingSamples(lv2, vst), 0u);
    // The control reached the plug-in: with the default the render differs.
    EXPECT_GT(differingSamples(lv2, vstRender(in, {})), 0u);
}

// ffmpeg does not compensate latency either: offset 0 on both sides.
TEST_F(Lv2Hosts, FfmpegFilterRendersTheVstModulesBits) {
    REQUIRE_PROGRAM(PROGRAM_FFMPEG, "ffmpeg");
    const std::string in = monoInput(48000);
    // 0.75 of -12..3 is -0.75; 0.5 of -6..6 is 0.
    const Outcome o = run(dir, {PROGRAM_FFMPEG, "-nostdin", "-hide_banner", "-loglevel", "error", "-i", in, "-af",
                                "lv2=p=urn\\\\:orvex\\\\:processor:c=output_agc_threshold=-0.75|noisegate_gain_scale_db_per_band=0",
                                "-c:a", "pcm_f32le", dir.file("lv2.wav")});
    ASSERT_EQ(o.status, 0) << o.all();
    const Audio lv2 = readAudio(dir.file("lv2.wav"));
    const Audio vst = vstRender(in, {"11=0.75", "9=0.5"});
    expectSaneStereo(lv2, "ffmpeg output");
    EXPECT_EQ(differingSamples(lv2, vst), 0u);
    // Both controls reached the plug-in: with either alone the render differs.
    EXPECT_GT(differingSamples(lv2, vstRender(in, {"11=0.75"})), 0u);
    EXPECT_GT(differingSamples(lv2, vstRender(in, {"9=0.5"})), 0u);
}

// The everyday route: a compressed mono file at 44.1 kHz in, the processed pair out. ffmpeg's
// own decode of the same file is what the VST module gets, so the bits must match again.
TEST_F(Lv2Hosts, FfmpegTakesAMono44kMp3) {
    REQUIRE_PROGRAM(PROGRAM_FFMPEG, "ffmpeg");
    const std::string wav = monoInput(44100, "source.wav"), mp3 = dir.file("in.mp3");
    Outcome o = run(dir, {PROGRAM_FFMPEG, "-nostdin", "-loglevel", "error", "-i", wav, "-c:a", "libmp3lame", "-b:a", "128k", mp3});
    ASSERT_EQ(o.status, 0) << o.all();
    o = run(dir, {PROGRAM_FFMPEG, "-nostdin", "-loglevel", "error", "-i", mp3, "-af", "lv2=p=urn\\\\:orvex\\\\:processor",
                  "-c:a", "pcm_f32le", dir.file("lv2.wav")});
    ASSERT_EQ(o.status, 0) << o.all();
    o = run(dir, {PROGRAM_FFMPEG, "-nostdin", "-loglevel", "error", "-i", mp3, "-c:a", "pcm_f32le", dir.file("decoded.wav")});
    ASSERT_EQ(o.status, 0) << o.all();
    const Audio lv2 = readAudio(dir.file("lv2.wav"));
    EXPECT_EQ(lv2.rate, 44100);
    expectSaneStereo(lv2, "ffmpeg output of the MP3");
    const Audio vst = vstRender(dir.file("decoded.wav"), {});
    EXPECT_EQ(differingSamples(lv2, vst), 0u);
}

// GStreamer makes elements only of plug-ins with as many input channels as output channels, so
// its element is the stereo-input plug-in's. audioconvert hands it the mono file on both
// channels, which it mixes back to exactly the mono programme: the VST module's bits again.
TEST_F(Lv2Hosts, GstreamerElementFromTheUriRendersAFile) {
    REQUIRE_PROGRAM(PROGRAM_GST_LAUNCH_1_0, "gstreamer1.0-tools");
    REQUIRE_PROGRAM(PROGRAM_GST_INSPECT_1_0, "gstreamer1.0-tools");
    const std::string in = monoInput(48000);
    // A registry of its own, so the element list is built from this build's bundle.
    const std::vector<std::string> env = {"GST_REGISTRY_1_0=" + dir.file("gst-registry.bin"), "GST_REGISTRY_FORK=no"};
    if (run(dir, {PROGRAM_GST_INSPECT_1_0, "lv2"}, ORVEX_LV2_PATH, env).status != 0)
        GTEST_SKIP() << "GStreamer has no LV2 elements (Debian package gstreamer1.0-plugins-bad)";
    // The element is named after the URI, every character but letters, digits and '-' made '-'.
    const Outcome inspect = run(dir, {PROGRAM_GST_INSPECT_1_0, "urn-orvex-processor-stereo-in"}, ORVEX_LV2_PATH, env);
    ASSERT_EQ(inspect.status, 0) << inspect.all();
    EXPECT_NE(inspect.out.find("lowpass-filter"), std::string::npos) << inspect.out;
    EXPECT_NE(inspect.out.find("channels: 2"), std::string::npos) << inspect.out;

    const Outcome o = run(dir,
                          {PROGRAM_GST_LAUNCH_1_0, "-q", "filesrc", "location=" + in, "!", "wavparse", "!", "audioconvert",
                           "!", "urn-orvex-processor-stereo-in", "lowpass-filter=4500", "!", "audioconvert", "!",
                           "audio/x-raw,format=F32LE", "!", "wavenc", "!", "filesink", "location=" + dir.file("gst.wav")},
                          ORVEX_LV2_PATH, env);
    ASSERT_EQ(o.status, 0) << o.all();
    const Audio out = readAudio(dir.file("gst.wav"));
    expectSaneStereo(out, "GStreamer output");
    EXPECT_EQ(out.frames(), 3u * 48000u);
    EXPECT_EQ(differingSamples(out, vstRender(in, {"5=0.25"})), 0u);
}

}  // namespace
}  // namespace orvex

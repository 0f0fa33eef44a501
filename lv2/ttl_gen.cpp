// orvex-lv2-ttl: writes the LV2 bundle's manifest.ttl and orvex.ttl (both plug-ins: mono input
// and stereo input) from the processor's own control declarations, so the LV2 ports and the VST
// parameters share every name, range and default. CMake runs it at build time, through
// CMAKE_CROSSCOMPILING_EMULATOR when there is one.
//
//   orvex-lv2-ttl BUNDLE_DIR BINARY_FILE_NAME
//
// A failed check or write says so in one line on stderr, exits with status 1 and leaves no
// half-written file.
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "dsp/mydsp.h"
#include "host/vst2.h"
#include "lv2/ports.h"
#include "plugin/orvex.h"

namespace {

using namespace orvex::lv2;

// Compatible changes raise the micro version (fixes) or the minor version by two (new ports,
// such as meters); hosts pick the newest of two installed copies by these.
constexpr int kMinorVersion = 4;
constexpr int kMicroVersion = 0;
constexpr const char* kProjectUri = "urn:orvex:project";

class Failure : public std::runtime_error {
    using std::runtime_error::runtime_error;
};

// One port of the description.
struct PortEntry {
    enum Kind { AudioIn, AudioOut, ControlIn, ControlOut } kind = AudioIn;
    std::uint32_t index = 0;
    std::string symbol, name, shortName;
    bool hasRange = false;
    float init = 0.0f, min = 0.0f, max = 0.0f;
    Unit unit = Unit::None;
    std::string declaredUnit;
    std::vector<std::string> properties;  // lv2:portProperty values
    std::string designation;
    std::string group;  // URI of the port group the port belongs to
};

// A group of audio ports: hosts that see channels rather than ports (GStreamer) build their
// pads from these, and show a pair as one stereo input or output.
struct GroupEntry {
    std::string uri, classes, symbol, name, role;  // role: pg:mainInput or pg:mainOutput
};

// One plug-in of the bundle.
struct PluginEntry {
    Input input;
    std::string uri, name, comment;
    std::vector<GroupEntry> groups;  // input group first, then output group
    std::vector<PortEntry> ports;
};

PortEntry entry(PortEntry::Kind kind, std::uint32_t index, std::string symbol, std::string name, std::string shortName = {}) {
    PortEntry p;
    p.kind = kind;
    p.index = index;
    p.symbol = std::move(symbol);
    p.name = std::move(name);
    p.shortName = std::move(shortName);
    return p;
}

// The shortest plain decimal text (at least one decimal, no exponent) that reads back as the
// same float, so the description carries exactly the cell values of the control table.
std::string number(float v) {
    char text[64];
    for (int decimals = 1; decimals <= 12; ++decimals) {
        std::snprintf(text, sizeof text, "%.*f", decimals, static_cast<double>(v));
        if (std::strtof(text, nullptr) == v) break;
    }
    return text;
}

std::string quoted(const std::string& s) {
    std::string q = "\"";
    for (char c : s) {
        if (c == '"' || c == '\\') q += '\\';
        q += c;
    }
    return q + "\"";
}

struct Pin {
    std::string name, shortName;
};

// The VST plug-in's own names for its pins, so both formats label the audio alike.
std::vector<Pin> vstPins(bool outputs, int count) {
    std::unique_ptr<orvex::Orvex> effect(orvex::Orvex::create(nullptr, new orvex::mydsp()));
    std::vector<Pin> pins;
    for (int i = 0; i < count; ++i) {
        VstPinProperties p{};
        const bool ok = outputs ? effect->getOutputProperties(i, &p) : effect->getInputProperties(i, &p);
        if (!ok) throw Failure("the VST plug-in describes no pin " + std::to_string(i));
        pins.push_back({p.label, p.shortLabel});
    }
    return pins;
}

std::vector<PortEntry> describePorts(Input input, const std::vector<GroupEntry>& groups) {
    auto processor = std::make_unique<orvex::mydsp>();
    ControlCollector collector;
    processor->declareControls(&collector);
    const auto& controls = collector.controls();
    if (controls.size() != static_cast<std::size_t>(orvex::ctl::kCount))
        throw Failure("the processor declares " + std::to_string(controls.size()) + " controls, the port layout has " +
                      std::to_string(orvex::ctl::kCount));

    std::vector<PortEntry> ports;
    for (std::size_t i = 0; i < controls.size(); ++i) {
        const ControlPort& c = controls[i];
        PortEntry p = entry(PortEntry::ControlIn, static_cast<std::uint32_t>(kFirstControl + i), c.symbol, c.label);
        p.hasRange = true;
        p.init = c.init;
        p.min = c.min;
        p.max = c.max;
        p.unit = c.unit;
        p.declaredUnit = c.declaredUnit;
        if (c.toggle) p.properties.push_back("lv2:toggled");
        ports.push_back(p);
    }

    const bool stereo = input == Input::Stereo;
    const auto in = vstPins(false, 2);
    const auto out = vstPins(true, 2);
    auto audio = [&](PortEntry::Kind kind, std::uint32_t index, const char* symbol, const Pin& pin,
                     const GroupEntry& group, const char* channel) {
        PortEntry p = entry(kind, index, symbol, pin.name, pin.shortName);
        p.group = group.uri;
        p.designation = channel;
        ports.push_back(p);
    };
    if (stereo)
        audio(PortEntry::AudioIn, kAudioIn, "in_l", in[0], groups[0], "pg:left");
    else
        audio(PortEntry::AudioIn, kAudioIn, "in", in[0], groups[0], "pg:center");
    // The VST plug-in flags its two outputs as a stereo pair; A is the left channel.
    audio(PortEntry::AudioOut, kAudioOutA, "out_a", out[0], groups[1], "pg:left");
    audio(PortEntry::AudioOut, kAudioOutB, "out_b", out[1], groups[1], "pg:right");

    PortEntry latency = entry(PortEntry::ControlOut, kLatency, "latency", "Latency");
    // A range, so hosts that make a typed property of every port (GStreamer) can hold the value.
    latency.hasRange = true;
    latency.min = 0.0f;
    latency.init = latency.max = static_cast<float>(orvex::mydsp::kChainLatency);
    latency.properties = {"lv2:reportsLatency", "lv2:integer"};
    latency.designation = "lv2:latency";
    ports.push_back(latency);

    if (stereo) audio(PortEntry::AudioIn, kAudioInRight, "in_r", in[1], groups[0], "pg:right");

    // The meters: hosts draw control outputs with a range as meters in their generic view.
    auto meter = [&](std::uint32_t which, const std::string& symbol, const std::string& name, const MeterRange& range,
                     float rest) {
        PortEntry p = entry(PortEntry::ControlOut, meterPort(input, which), symbol, name);
        p.hasRange = true;
        p.min = range.min;
        p.max = range.max;
        p.init = rest;
        p.unit = Unit::Db;
        ports.push_back(p);
    };
    for (std::uint32_t b = 0; b < static_cast<std::uint32_t>(orvex::kMeterBands); ++b)
        meter(kMeterBandGain + b, "band_" + std::to_string(b + 1) + "_gain", "Band " + std::to_string(b + 1) + " Gain",
              kBandGainRange, 0.0f);
    meter(kMeterOutputGain, "output_gain", "Output Gain", kOutputGainRange, 0.0f);
    meter(kMeterOutputPeak, "output_peak", "Output Peak", kOutputPeakRange, kOutputPeakRange.min);

    // What hosts rely on: numbers 0..n-1 in order, unique valid symbols, defaults within range.
    std::set<std::string> symbols;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        const PortEntry& p = ports[i];
        if (p.index != i) throw Failure("port " + p.symbol + " has number " + std::to_string(p.index) + ", expected " + std::to_string(i));
        if (!isValidSymbol(p.symbol)) throw Failure("port " + std::to_string(i) + " has no valid symbol: \"" + p.symbol + "\"");
        if (!symbols.insert(p.symbol).second) throw Failure("two ports share the symbol " + p.symbol);
        if (p.name.empty()) throw Failure("port " + p.symbol + " has no name");
        if (p.hasRange && !(p.min <= p.init && p.init <= p.max))
            throw Failure("port " + p.symbol + " has its default outside its range");
    }
    const std::size_t expected = portCount(input);
    if (ports.size() != expected)
        throw Failure("the description has " + std::to_string(ports.size()) + " ports, the adapter " + std::to_string(expected));
    return ports;
}

std::vector<PluginEntry> describePlugins() {
    auto processor = std::make_unique<orvex::mydsp>();
    orvex::Meta meta;
    processor->declareMetadata(&meta);
    const std::string summary = std::string(meta.get("description") ? meta.get("description") : "Broadcast processor") + ".";

    std::vector<PluginEntry> plugins;
    PluginEntry mono{Input::Mono, kPluginUri, "Orvex",
                     summary + " One mono programme in, two processed channels out, never above -1 dBFS.", {}, {}};
    PluginEntry stereo{Input::Stereo, kStereoInPluginUri, "Orvex (stereo in)",
                       summary + " Its two inputs are mixed to mono at half level each (two equal inputs give that "
                                 "programme exactly); for hosts that want as many inputs as outputs.", {}, {}};
    for (PluginEntry* p : {&mono, &stereo}) {
        const bool two = p->input == Input::Stereo;
        p->groups = {{p->uri + "#in", two ? "pg:StereoGroup , pg:InputGroup" : "pg:MonoGroup , pg:InputGroup", "in",
                      "Input", "pg:mainInput"},
                     {p->uri + "#out", "pg:StereoGroup , pg:OutputGroup", "out", "Output", "pg:mainOutput"}};
        p->ports = describePorts(p->input, p->groups);
        plugins.push_back(*p);
    }
    return plugins;
}

void writePort(std::ostream& o, const PortEntry& p) {
    static const char* const kClasses[] = {"lv2:AudioPort , lv2:InputPort", "lv2:AudioPort , lv2:OutputPort",
                                           "lv2:ControlPort , lv2:InputPort", "lv2:ControlPort , lv2:OutputPort"};
    o << "    [\n";
    o << "        a " << kClasses[p.kind] << " ;\n";
    o << "        lv2:index " << p.index << " ;\n";
    o << "        lv2:symbol " << quoted(p.symbol) << " ;\n";
    o << "        lv2:name " << quoted(p.name);
    if (!p.shortName.empty()) o << " ;\n        lv2:shortName " << quoted(p.shortName.substr(0, 16));
    if (p.hasRange) {
        o << " ;\n        lv2:default " << number(p.init);
        o << " ;\n        lv2:minimum " << number(p.min);
        o << " ;\n        lv2:maximum " << number(p.max);
    }
    for (const auto& property : p.properties) o << " ;\n        lv2:portProperty " << property;
    if (!p.designation.empty()) o << " ;\n        lv2:designation " << p.designation;
    if (!p.group.empty()) o << " ;\n        pg:group <" << p.group << ">";
    switch (p.unit) {
        case Unit::Db: o << " ;\n        units:unit units:db"; break;
        case Unit::Hz: o << " ;\n        units:unit units:hz"; break;
        case Unit::Declared:
            o << " ;\n        units:unit [\n            a units:Unit ;\n            rdfs:label " << quoted(p.declaredUnit)
              << " ;\n            units:symbol " << quoted(p.declaredUnit) << " ;\n            units:render "
              << quoted("%f " + p.declaredUnit) << "\n        ]";
            break;
        case Unit::None: break;
    }
    o << "\n    ]";
}

std::string pluginDescriptions(const std::vector<PluginEntry>& plugins) {
    std::ostringstream o;
    o << "# Generated by orvex-lv2-ttl from the processor's control declarations; do not edit.\n"
         "@prefix doap:  <http://usefulinc.com/ns/doap#> .\n"
         "@prefix foaf:  <http://xmlns.com/foaf/0.1/> .\n"
         "@prefix lv2:   <http://lv2plug.in/ns/lv2core#> .\n"
         "@prefix pg:    <http://lv2plug.in/ns/ext/port-groups#> .\n"
         "@prefix rdfs:  <http://www.w3.org/2000/01/rdf-schema#> .\n"
         "@prefix units: <http://lv2plug.in/ns/extensions/units#> .\n\n";
    // The maintainer belongs to the project (its schema domain), which each plug-in names.
    o << "<" << kProjectUri << ">\n";
    o << "    a doap:Project ;\n";
    o << "    doap:name \"Orvex\" ;\n";
    o << "    doap:maintainer [\n        foaf:name \"Orvex\"\n    ] .\n";
    for (const PluginEntry& plugin : plugins) {
        o << "\n";
        for (const GroupEntry& g : plugin.groups) {
            o << "<" << g.uri << ">\n    a " << g.classes << " ;\n    lv2:symbol " << quoted(g.symbol)
              << " ;\n    lv2:name " << quoted(g.name) << " .\n\n";
        }
        o << "<" << plugin.uri << ">\n";
        // Gates, levellers and a limiter in one: the class that holds them all, as the VST
        // metadata ("category" Dynamics) has it.
        o << "    a lv2:Plugin , lv2:DynamicsPlugin ;\n";
        o << "    lv2:project <" << kProjectUri << "> ;\n";
        o << "    doap:name " << quoted(plugin.name) << " ;\n";
        o << "    doap:license <https://spdx.org/licenses/ISC> ;\n";
        o << "    rdfs:comment " << quoted(plugin.comment) << " ;\n";
        o << "    lv2:minorVersion " << kMinorVersion << " ;\n";
        o << "    lv2:microVersion " << kMicroVersion << " ;\n";
        o << "    lv2:optionalFeature lv2:hardRTCapable ;\n";
        for (const GroupEntry& g : plugin.groups) o << "    " << g.role << " <" << g.uri << "> ;\n";
        o << "    lv2:port\n";
        for (std::size_t i = 0; i < plugin.ports.size(); ++i) {
            writePort(o, plugin.ports[i]);
            o << (i + 1 < plugin.ports.size() ? " ,\n" : " .\n");
        }
    }
    return o.str();
}

std::string manifest(const std::vector<PluginEntry>& plugins, const std::string& binary) {
    std::ostringstream o;
    o << "# Generated by orvex-lv2-ttl; do not edit.\n"
         "@prefix lv2:  <http://lv2plug.in/ns/lv2core#> .\n"
         "@prefix rdfs: <http://www.w3.org/2000/01/rdf-schema#> .\n";
    for (const PluginEntry& plugin : plugins) {
        o << "\n<" << plugin.uri << ">\n";
        o << "    a lv2:Plugin ;\n";
        o << "    lv2:binary <" << binary << "> ;\n";
        o << "    rdfs:seeAlso <orvex.ttl> .\n";
    }
    return o.str();
}

// Writes each file beside its final name and renames it into place only when all are written.
void writeAll(const std::filesystem::path& dir, const std::vector<std::pair<std::string, std::string>>& files) {
    std::vector<std::filesystem::path> written;
    auto discard = [&] {
        std::error_code ec;
        for (const auto& p : written) std::filesystem::remove(p, ec);
    };
    for (const auto& [name, text] : files) {
        const auto temporary = dir / (name + ".tmp");
        std::ofstream out(temporary, std::ios::binary);
        if (out) written.push_back(temporary);
        out << text;
        out.close();
        if (!out) {
            discard();
            throw Failure("cannot write " + temporary.string());
        }
    }
    for (std::size_t i = 0; i < files.size(); ++i) {
        std::error_code ec;
        std::filesystem::rename(written[i], dir / files[i].first, ec);
        if (ec) {
            discard();
            throw Failure("cannot write " + (dir / files[i].first).string() + ": " + ec.message());
        }
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: orvex-lv2-ttl BUNDLE_DIR BINARY_FILE_NAME\n");
        return 2;
    }
    try {
        const std::filesystem::path dir = argv[1];
        const std::string binary = argv[2];
        if (binary.empty() || binary.find_first_of("/<>\" ") != std::string::npos)
            throw Failure("the binary's file name \"" + binary + "\" cannot stand in the manifest");
        std::error_code ec;
        std::filesystem::create_directories(dir, ec);
        if (!std::filesystem::is_directory(dir)) throw Failure("cannot create the bundle folder " + dir.string());
        const auto plugins = describePlugins();
        writeAll(dir, {{"orvex.ttl", pluginDescriptions(plugins)}, {"manifest.ttl", manifest(plugins, binary)}});
    } catch (const std::exception& e) {
        std::fprintf(stderr, "orvex-lv2-ttl: %s\n", e.what());
        return 1;
    }
    return 0;
}

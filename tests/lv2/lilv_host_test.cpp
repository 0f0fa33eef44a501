// The meters as an LV2 host sees them: lilv reads the bundle this build made, finds the meter
// ports by symbol with their ranges and units, instantiates the plug-in and runs it on host
// buffers; the values it reads back follow the programme.
#include <gtest/gtest.h>

#include <lilv/lilv.h>
#include <lv2/units/units.h>

#include <cmath>
#include <string>
#include <vector>

#include "tests/support/signals.h"

namespace {

constexpr double kRate = 48000.0;
constexpr uint32_t kBlock = 512;

// 560 Hz (band 5) and 2800 Hz (band 9), one of them 30 dB below the other.
std::vector<float> twoTones(bool lowLoud, std::size_t n) {
    const auto low = orvex::test::sine(560.0, kRate, n, lowLoud ? 0.5 : 0.016);
    const auto high = orvex::test::sine(2800.0, kRate, n, lowLoud ? 0.016 : 0.5);
    std::vector<float> x(n);
    for (std::size_t i = 0; i < n; ++i) x[i] = low[i] + high[i];
    return x;
}

class LilvMeters : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        world = lilv_world_new();
        LilvNode* bundle = lilv_new_file_uri(world, nullptr, ORVEX_LV2_BUNDLE_DIR "/");
        lilv_world_load_bundle(world, bundle);
        lilv_node_free(bundle);
        LilvNode* uri = lilv_new_uri(world, GetParam());
        plugin = lilv_plugins_get_by_uri(lilv_world_get_all_plugins(world), uri);
        lilv_node_free(uri);
        for (auto [node, name] : {std::pair{&audioClass, LV2_CORE__AudioPort}, {&controlClass, LV2_CORE__ControlPort},
                                  {&inputClass, LV2_CORE__InputPort}, {&outputClass, LV2_CORE__OutputPort},
                                  {&unitPredicate, LV2_UNITS__unit}, {&db, LV2_UNITS__db}})
            *node = lilv_new_uri(world, name);
    }
    void TearDown() override {
        if (instance) lilv_instance_free(instance);
        for (LilvNode* n : {audioClass, controlClass, inputClass, outputClass, unitPredicate, db}) lilv_node_free(n);
        lilv_world_free(world);
    }

    const LilvPort* port(const std::string& symbol) {
        LilvNode* s = lilv_new_string(world, symbol.c_str());
        const LilvPort* p = lilv_plugin_get_port_by_symbol(plugin, s);
        lilv_node_free(s);
        return p;
    }
    uint32_t index(const std::string& symbol) { return lilv_port_get_index(plugin, port(symbol)); }

    // Connects every port as a generic host does (control inputs at their defaults, every audio
    // input to the programme) and activates.
    void start() {
        instance = lilv_plugin_instantiate(plugin, kRate, nullptr);
        ASSERT_NE(instance, nullptr);
        const uint32_t count = lilv_plugin_get_num_ports(plugin);
        values.assign(count, 0.0f);
        lilv_plugin_get_port_ranges_float(plugin, nullptr, nullptr, values.data());
        for (uint32_t i = 0; i < count; ++i) {
            const LilvPort* p = lilv_plugin_get_port_by_index(plugin, i);
            if (lilv_port_is_a(plugin, p, audioClass))
                lilv_instance_connect_port(instance, i, lilv_port_is_a(plugin, p, inputClass) ? in.data() : i % 2 ? outA.data() : outB.data());
            else
                lilv_instance_connect_port(instance, i, &values[i]);
        }
        lilv_instance_activate(instance);
    }
    // The programme in host blocks; the meter values after its last block.
    void play(const std::vector<float>& programme) {
        for (std::size_t at = 0; at + kBlock <= programme.size(); at += kBlock) {
            std::copy(programme.begin() + static_cast<long>(at), programme.begin() + static_cast<long>(at + kBlock), in.begin());
            lilv_instance_run(instance, kBlock);
        }
    }
    float meter(const std::string& symbol) { return values[index(symbol)]; }

    LilvWorld* world = nullptr;
    const LilvPlugin* plugin = nullptr;
    LilvInstance* instance = nullptr;
    LilvNode *audioClass = nullptr, *controlClass = nullptr, *inputClass = nullptr, *outputClass = nullptr,
             *unitPredicate = nullptr, *db = nullptr;
    std::vector<float> values, in = std::vector<float>(kBlock), outA = std::vector<float>(kBlock),
                               outB = std::vector<float>(kBlock);
};

TEST_P(LilvMeters, MeterPortsAreDecibelOutputsWithRanges) {
    ASSERT_NE(plugin, nullptr) << GetParam() << " not in " << ORVEX_LV2_BUNDLE_DIR;
    std::vector<std::string> symbols;
    for (int b = 1; b <= 12; ++b) symbols.push_back("band_" + std::to_string(b) + "_gain");
    symbols.push_back("output_gain");
    symbols.push_back("output_peak");
    const uint32_t latency = index("latency");
    for (const std::string& s : symbols) {
        const LilvPort* p = port(s);
        ASSERT_NE(p, nullptr) << s;
        EXPECT_TRUE(lilv_port_is_a(plugin, p, controlClass) && lilv_port_is_a(plugin, p, outputClass)) << s;
        // After every port older versions had: stored sessions keep their numbers.
        EXPECT_GT(lilv_port_get_index(plugin, p), latency) << s;
        EXPECT_GT(lilv_port_get_index(plugin, p), index(GetParam() == std::string("urn:orvex:processor") ? "out_b" : "in_r")) << s;
        LilvNode *min = nullptr, *max = nullptr, *def = nullptr;
        lilv_port_get_range(plugin, p, &def, &min, &max);
        ASSERT_TRUE(min && max) << s;
        EXPECT_LT(lilv_node_as_float(min), lilv_node_as_float(max)) << s;
        for (LilvNode* n : {min, max, def}) lilv_node_free(n);
        LilvNodes* units = lilv_port_get_value(plugin, p, unitPredicate);
        EXPECT_TRUE(units && lilv_nodes_contains(units, db)) << s;
        lilv_nodes_free(units);
    }
}

TEST_P(LilvMeters, BandGainsFollowWhichToneIsLoud) {
    ASSERT_NE(plugin, nullptr) << GetParam();
    start();
    const std::size_t second = static_cast<std::size_t>(kRate);
    play(twoTones(false, second));  // 2800 Hz loud
    const float band5 = meter("band_5_gain"), band9 = meter("band_9_gain");
    EXPECT_LT(band9 + 10.0f, band5) << "the band the loud tone drives is held down harder";
    EXPECT_LE(meter("output_peak"), -1.0f + 1e-4f);
    EXPECT_GT(meter("output_peak"), -20.0f);
    const float gain = meter("output_gain");
    EXPECT_TRUE(gain > -60.0f && gain <= 20.0f) << gain;

    // Now 560 Hz loud: the slow level of the band that was loud lets go over seconds.
    play(twoTones(true, 4 * second));
    EXPECT_LT(meter("band_5_gain") + 10.0f, meter("band_9_gain"));
    EXPECT_LT(meter("band_5_gain"), band5 - 10.0f);
    EXPECT_GT(meter("band_9_gain"), band9 + 5.0f);

    // Every meter within the range the description gives it.
    const uint32_t count = lilv_plugin_get_num_ports(plugin);
    std::vector<float> min(count), max(count);
    lilv_plugin_get_port_ranges_float(plugin, min.data(), max.data(), nullptr);
    for (uint32_t i = index("band_1_gain"); i <= index("output_peak"); ++i)
        EXPECT_TRUE(values[i] >= min[i] && values[i] <= max[i]) << "port " << i << ": " << values[i];

    // A run of silence brings the output peak down to the floor of its range.
    play(std::vector<float>(kBlock, 0.0f));
    lilv_instance_run(instance, 0);  // a run with no samples still writes the meters
    EXPECT_LT(meter("output_peak"), -1.0f);
}

INSTANTIATE_TEST_SUITE_P(BothPlugins, LilvMeters, ::testing::Values("urn:orvex:processor", "urn:orvex:processor-stereo-in"),
                         [](const ::testing::TestParamInfo<const char*>& p) { return std::string(p.index == 0 ? "MonoIn" : "StereoIn"); });

}  // namespace

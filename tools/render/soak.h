#pragma once
// A long offline run of one instance, for the faults that take time to show: output that
// drifts, envelopes that never settle back, numbers that creep towards the subnormal range.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace orvex::tools {

struct SoakOptions {
    std::string pluginPath;
    double minutes = 60.0;
    double rate = 48000.0;
    int blockSize = 512;
    std::optional<float> maxPeak;
};

struct SoakReport {
    bool ok = false;
    int cycles = 0;
    double seconds = 0.0;            // audio rendered
    double processingSeconds = 0.0;  // inside the plug-in
    std::uint64_t nan = 0, inf = 0, subnormal = 0;
    float peak = 0.0f;
    float worstSilenceTail = 0.0f;   // peak of the last second of each silence, largest
    double driftDb = -1e300;           // largest difference of a cycle from the second, re its level
    double firstStepDb = -1e300;       // difference between cycles 3 and 2
    double lastStepDb = -1e300;        // difference between the last two cycles
    double freshDb = -1e300;           // largest difference of a cycle from the first (fresh instance)
};

// Renders `minutes` of a repeated one-minute cycle (20 s of digital silence, then 40 s of the
// demo programme) and compares the cycles. Lines for the report go to `say`.
SoakReport soak(const SoakOptions& options, const std::function<void(const std::string&)>& say);

}  // namespace orvex::tools

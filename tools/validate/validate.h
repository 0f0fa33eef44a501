#pragma once
// The plug-in validator behind `orvex-render --validate`: loads a VST 2.x plug-in and drives it
// through the situations hosts create (every sample rate and block size, automation, odd calls,
// a second thread, every opcode with edge-case arguments) and reports one line per check.
//
// Each group of checks runs in a child process of its own, so a plug-in that crashes or hangs
// fails that check and the run goes on with the next one.
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "tools/common/alloc_counter.h"

namespace orvex::tools {

enum class CheckStatus { Pass, Warn, Fail, Skip };
const char* statusText(CheckStatus status);  // "PASS", "WARN", "FAIL", "SKIP"

struct CheckResult {
    CheckStatus status = CheckStatus::Pass;
    std::string group;   // "matrix", "dispatcher", ...
    std::string name;    // what was checked, e.g. "48000 Hz, block 512, noise"
    std::string detail;  // measured values, or what went wrong
};

struct ValidateOptions {
    std::string pluginPath;
    std::uint64_t seed = 1;
    bool quick = false;               // a reduced matrix and short signals, for CI
    std::optional<float> maxPeak;     // output samples must stay at or below this magnitude
    std::vector<std::string> groups;  // groups to run; empty: all of validationGroups()
    bool isolate = true;              // false: run in this process (for valgrind, TSan, gdb)
    // Counts heap allocations inside processing calls; null skips those checks.
    const AllocationProbe* allocations = nullptr;
    // Per check, a child that takes longer than this is stopped and the check fails.
    int timeoutSeconds = 120;
};

struct ValidationSummary {
    int passed = 0, warnings = 0, failed = 0, skipped = 0;
    double seconds = 0.0;
    int total() const { return passed + warnings + failed + skipped; }
};

// The groups, in the order they run.
const std::vector<std::string>& validationGroups();

// Runs the checks, handing each result to `report` as soon as it is known. Throws PluginError
// when the library cannot be loaded at all and UsageError for an unknown group.
ValidationSummary validate(const ValidateOptions& options, const std::function<void(const CheckResult&)>& report);

// One line of the report: "PASS  group  name: detail".
std::string formatCheck(const CheckResult& result);

}  // namespace orvex::tools

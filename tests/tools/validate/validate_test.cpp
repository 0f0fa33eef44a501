// The validator, the allocation probe, the soak and the --validate command against the small
// test plug-ins. The working test plug-in must pass what it does right and
// fail the one thing it does wrong on purpose (NaN for blocks above the announced size); the
// faulty variant must fail exactly the checks aimed at its faults, and a crash or a hang must
// fail one check without stopping the run.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <thread>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

#include "host/vst2.h"
#include "tools/common/alloc_counter.h"
#include "tools/render/render.h"
#include "tools/render/soak.h"
#include "tools/validate/validate.h"

using orvex::tools::CheckResult;
using orvex::tools::CheckStatus;
using orvex::tools::ValidateOptions;

namespace {

struct Validation {
    std::vector<CheckResult> results;
    orvex::tools::ValidationSummary summary;

    // The result whose name starts with `prefix` in `group`; fails the test when there is none.
    const CheckResult& find(const std::string& group, const std::string& prefix) const {
        for (const auto& r : results)
            if (r.group == group && r.name.rfind(prefix, 0) == 0) return r;
        ADD_FAILURE() << "no check " << group << " / " << prefix;
        static const CheckResult none{CheckStatus::Skip, "", "", ""};
        return none;
    }
    int count(const std::string& group, CheckStatus status) const {
        return static_cast<int>(std::count_if(results.begin(), results.end(), [&](const CheckResult& r) {
            return r.group == group && r.status == status;
        }));
    }
};

Validation validate(const std::string& plugin, std::vector<std::string> groups) {
    ValidateOptions o;
    o.pluginPath = plugin;
    o.quick = true;
    o.seed = 7;
    o.groups = std::move(groups);
    o.timeoutSeconds = 3;
    o.allocations = orvex::tools::interposedAllocationProbe();
    Validation run;
    run.summary = orvex::tools::validate(o, [&](const CheckResult& r) { run.results.push_back(r); });
    return run;
}

std::string describe(const CheckResult& r) { return orvex::tools::formatCheck(r); }

}  // namespace

TEST(Validator, WorkingPluginPassesAndItsOversizedBlockFaultShows) {
    const Validation run = validate(TEST_PLUGIN_GOOD, {"identity", "matrix", "automation", "edges", "determinism", "allocations"});
    EXPECT_EQ(run.find("identity", "record").status, CheckStatus::Pass) << describe(run.find("identity", "record"));
    // Every cell of the reduced matrix: 3 rates x 4 block patterns x 4 signals.
    EXPECT_EQ(run.count("matrix", CheckStatus::Pass), 48);
    EXPECT_EQ(run.count("matrix", CheckStatus::Fail), 0);
    for (const auto& r : run.results) {
        if (r.group == "automation") {
            EXPECT_EQ(r.status, CheckStatus::Pass) << describe(r);
        }
    }
    // The test plug-in writes NaN for blocks larger than announced: exactly that check fails.
    const CheckResult& oversized = run.find("edges", "blocks of 4096");
    EXPECT_EQ(oversized.status, CheckStatus::Fail);
    EXPECT_NE(oversized.detail.find("NaN"), std::string::npos) << oversized.detail;
    EXPECT_EQ(run.find("edges", "processReplacing with 0 frames").status, CheckStatus::Pass);
    EXPECT_EQ(run.find("edges", "suspend and resume").status, CheckStatus::Pass);
    EXPECT_EQ(run.find("determinism", "two instances").status, CheckStatus::Pass);
    EXPECT_EQ(run.find("determinism", "same output however").status, CheckStatus::Pass);
    if (orvex::tools::interposedAllocationProbe()) {
        const CheckResult& alloc = run.find("allocations", "heap allocations inside processReplacing");
        EXPECT_EQ(alloc.status, CheckStatus::Pass) << describe(alloc);
    }
    EXPECT_EQ(run.summary.failed, 1);
}

TEST(Validator, FaultyPluginFailsTheChecksAimedAtItsFaults) {
    const Validation run = validate(TEST_PLUGIN_FAULTY, {"matrix", "automation", "determinism", "allocations"});
    // The one-pole state decays through the subnormal range once the input falls silent; the
    // other signals keep it in the normal range.
    for (const auto& r : run.results) {
        if (r.group != "matrix") continue;
        const bool silence = r.name.find("silence after loud") != std::string::npos;
        EXPECT_EQ(r.status, silence ? CheckStatus::Fail : CheckStatus::Pass) << describe(r);
        if (silence) {
            EXPECT_EQ(r.detail.find(" 0 subnormal"), std::string::npos) << r.detail;
        }
    }
    const CheckResult& special = run.find("automation", "special values");
    EXPECT_EQ(special.status, CheckStatus::Fail);
    EXPECT_NE(special.detail.find("getParameter(0) = nan"), std::string::npos) << special.detail;
    EXPECT_EQ(run.find("determinism", "two instances").status, CheckStatus::Fail);
    if (orvex::tools::interposedAllocationProbe()) {
        const CheckResult& alloc = run.find("allocations", "heap allocations inside processReplacing");
        EXPECT_EQ(alloc.status, CheckStatus::Fail);
        EXPECT_NE(alloc.detail.find("200 blocks: 200 allocations"), std::string::npos) << alloc.detail;
    }
}

TEST(Validator, DispatcherSweepSurvivesCrashAndHangAndFindsOverruns) {
    const Validation run = validate(TEST_PLUGIN_FAULTY, {"dispatcher"});
    std::map<int, CheckResult> byOpcode;
    for (const auto& r : run.results) byOpcode[std::stoi(r.name.substr(r.name.find(' ') + 1))] = r;
    // Every opcode from 0 to 127 has its line, also those after the crash and the hang.
    ASSERT_EQ(byOpcode.size(), 128u);
    EXPECT_EQ(byOpcode[effClose].status, CheckStatus::Skip);
    EXPECT_EQ(byOpcode[effEditOpen].status, CheckStatus::Skip);
    EXPECT_EQ(byOpcode[effVendorSpecific].status, CheckStatus::Fail);
    EXPECT_NE(byOpcode[effVendorSpecific].detail.find("crashed"), std::string::npos) << describe(byOpcode[effVendorSpecific]);
    EXPECT_EQ(byOpcode[effIdle].status, CheckStatus::Fail);
    EXPECT_NE(byOpcode[effIdle].detail.find("timed out"), std::string::npos) << describe(byOpcode[effIdle]);
    // 34 characters and the zero where 32 + 1 bytes are allowed.
    EXPECT_EQ(byOpcode[effGetEffectName].status, CheckStatus::Fail);
    EXPECT_NE(byOpcode[effGetEffectName].detail.find("wrote 35 bytes"), std::string::npos)
        << describe(byOpcode[effGetEffectName]);
    EXPECT_EQ(byOpcode[effGetParameterProperties].status, CheckStatus::Fail);
    EXPECT_NE(byOpcode[effGetParameterProperties].detail.find("past a"), std::string::npos);
    // Parameter names longer than 8 characters are common: a warning, not a failure.
    EXPECT_EQ(byOpcode[effGetParamName].status, CheckStatus::Warn) << describe(byOpcode[effGetParamName]);
    for (int op : {int{effCanDo}, int{effGetVstVersion}, int{effProcessEvents}, int{effSetSampleRate}, 100})
        EXPECT_EQ(byOpcode[op].status, CheckStatus::Pass) << describe(byOpcode[op]);
    EXPECT_EQ(run.summary.failed, 4);
}

TEST(Validator, UnknownGroupIsAUsageError) {
    ValidateOptions o;
    o.pluginPath = TEST_PLUGIN_GOOD;
    o.groups = {"matrix", "bogus"};
    EXPECT_THROW(orvex::tools::validate(o, [](const CheckResult&) {}), orvex::tools::UsageError);
}

// ---- the allocation probe ------------------------------------------------------------------

TEST(AllocationProbe, CountsThisThreadOnlyWhileOpen) {
    const orvex::tools::AllocationProbe* probe = orvex::tools::interposedAllocationProbe();
    if (!probe) GTEST_SKIP() << "this build cannot interpose the allocator (sanitizer build)";
    volatile void* sink = nullptr;
    probe->begin();
    sink = std::malloc(24);
    std::free(const_cast<void*>(sink));
    auto* boxed = new int(3);
    delete boxed;
    std::vector<float> grown;
    for (int i = 0; i < 100; ++i) grown.push_back(1.0f);  // a handful of reallocations
    // Another thread's allocations are not the audio thread's.
    std::thread other([] {
        for (int i = 0; i < 50; ++i) delete new std::string(100, 'x');
    });
    other.join();
    const orvex::tools::AllocationCount c = probe->end();
    grown.clear();
    grown.shrink_to_fit();
    // malloc, new, the vector's growth (at least 7 steps to 100 elements) and the thread's own
    // start-up, which runs partly on this thread.
    EXPECT_GE(c.allocations, 2u + 7u);
    EXPECT_LT(c.allocations, 2u + 7u + 20u) << "the other thread's 50 allocations were counted";
    EXPECT_GE(c.releases, 2u);
    // Closed: nothing more is counted.
    sink = std::malloc(8);
    std::free(const_cast<void*>(sink));
    probe->begin();
    const orvex::tools::AllocationCount none = probe->end();
    EXPECT_EQ(none.allocations, 0u);
    EXPECT_EQ(none.releases, 0u);
}

// ---- the soak ------------------------------------------------------------------------------

TEST(Soak, WorkingPluginIsSteadyAndDiesAwayAndFaultsShow) {
    std::vector<std::string> lines;
    orvex::tools::SoakOptions o;
    o.pluginPath = TEST_PLUGIN_GOOD;
    o.minutes = 4.0;  // four one-minute cycles
    o.maxPeak = 2.0f;
    const orvex::tools::SoakReport good = orvex::tools::soak(o, [&](const std::string& l) { lines.push_back(l); });
    EXPECT_TRUE(good.ok);
    EXPECT_EQ(good.cycles, 4);
    EXPECT_EQ(good.nan + good.inf + good.subnormal, 0u);
    // A gain and a delay: after 20 s of silence the output is exactly zero and every cycle
    // repeats the first.
    EXPECT_EQ(good.worstSilenceTail, 0.0f);
    EXPECT_LT(good.freshDb, -300.0);
    EXPECT_LT(good.driftDb, -300.0);

    // The faulty variant's offset follows a counter of processing calls, whose parity flips
    // from one cycle to the next; its filter state decays through the subnormal range.
    o.pluginPath = TEST_PLUGIN_FAULTY;
    const orvex::tools::SoakReport faulty = orvex::tools::soak(o, [](const std::string&) {});
    EXPECT_FALSE(faulty.ok);
    EXPECT_GT(faulty.subnormal, 0u);
    EXPECT_GT(faulty.driftDb, -60.0);

    // A bound below the programme's peak is reported.
    o.pluginPath = TEST_PLUGIN_GOOD;
    o.minutes = 1.0;
    o.maxPeak = 0.01f;
    EXPECT_FALSE(orvex::tools::soak(o, [](const std::string&) {}).ok);
}

// ---- the program ---------------------------------------------------------------------------

namespace {
struct Exit {
    int status = -1;
    std::string out;
};
Exit runRender(const std::string& args) {
    Exit e;
    FILE* p = ::popen((std::string(ORVEX_RENDER) + " " + args + " 2>/dev/null").c_str(), "r");
    if (!p) return e;
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) e.out.append(buf, n);
    const int status = ::pclose(p);
    e.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return e;
}
}  // namespace

TEST(ValidateCommand, ExitStatusFollowsTheChecks) {
    const std::string good = std::string("--plugin ") + TEST_PLUGIN_GOOD;
    // Groups that the working test plug-in passes: exit 0 and the summary.
    Exit ok = runRender("--validate --quick --groups identity,determinism,threads " + good);
    EXPECT_EQ(ok.status, 0) << ok.out;
    EXPECT_NE(ok.out.find("VALID: 4 checks, 4 passed"), std::string::npos) << ok.out;
    // Its oversized-block fault: exit 1.
    Exit bad = runRender("--validate --quick --groups edges " + good);
    EXPECT_EQ(bad.status, 1) << bad.out;
    EXPECT_NE(bad.out.find("FAIL  edges  blocks of 4096"), std::string::npos) << bad.out;
    EXPECT_NE(bad.out.find("INVALID"), std::string::npos);
    // Warnings fail only with --strict: the test plug-in's 12-character parameter name.
    EXPECT_EQ(runRender("--validate --quick --groups parameters " + good).status, 0);
    EXPECT_EQ(runRender("--validate --quick --strict --groups parameters " + good).status, 1);
    // Malformed requests: exit 2.
    EXPECT_EQ(runRender("--validate --groups nonsense " + good).status, 2);
    EXPECT_EQ(runRender("--validate --seed -3 " + good).status, 2);
    EXPECT_EQ(runRender("--validate --max-peak zero " + good).status, 2);
    EXPECT_EQ(runRender("--validate --soak " + good).status, 2);
}

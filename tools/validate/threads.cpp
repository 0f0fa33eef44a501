// The validator's "threads" group: parameter changes and text reads from other threads while
// processing.
#include <atomic>
#include <cinttypes>
#include <string>
#include <thread>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runThreads(Context& ctx) {
    if (!ctx.begin(0, formatText("setParameter and parameter texts from other threads during %d blocks",
                             ctx.limits.threadBlocks)))
        return;
    Rig rig(ctx.library, 48000, 512, 512);
    PluginInstance& inst = rig.instance;
    const int params = inst.parameterCount();
    std::atomic<bool> stop{false};
    std::atomic<std::uint64_t> sets{0}, texts{0}, outOfRange{0};
    std::atomic<int> started{0};
    std::thread writer([&] {
        Random r(ctx.seedFor("writer"));
        started.fetch_add(1);
        while (!stop.load(std::memory_order_relaxed)) {
            if (params == 0) {
                std::this_thread::yield();
                continue;
            }
            // Values in 0..1 (out-of-range values have checks of their own), now and then an
            // index the plug-in lacks.
            const int p = r.below(params + 2) - 1;
            inst.setParameter(p, static_cast<float>(r.uniform()));
            const float back = inst.getParameter(p);
            if (p >= 0 && p < params && !(back >= 0.0f && back <= 1.0f)) outOfRange.fetch_add(1);
            sets.fetch_add(1, std::memory_order_relaxed);
        }
    });
    // What a host's user interface does meanwhile: read the parameter texts.
    std::thread reader([&] {
        Random r(ctx.seedFor("reader"));
        std::vector<char> buf(kScratch);
        started.fetch_add(1);
        while (!stop.load(std::memory_order_relaxed)) {
            if (params == 0) {
                std::this_thread::yield();
                continue;
            }
            const int p = r.below(params);
            inst.dispatch(effGetParamDisplay, p, 0, buf.data());
            inst.dispatch(effGetParamName, p, 0, buf.data());
            texts.fetch_add(1, std::memory_order_relaxed);
        }
    });
    while (started.load() < 2) std::this_thread::yield();
    Generator gen(Signal::Noise, 48000, 1 << 30, ctx.seedFor("audio"));
    std::vector<float> source;
    SampleStats stats;
    for (int k = 0; k < ctx.limits.threadBlocks; ++k) {
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
    }
    stop = true;
    writer.join();
    reader.join();
    const std::string detail = formatText("%" PRIu64 " setParameter, %" PRIu64 " text reads; ", sets.load(), texts.load()) +
                               stats.text() + ctx.peakText(stats.peak);
    if (outOfRange.load()) ctx.fail(formatText("getParameter out of 0..1 %" PRIu64 " times; ", outOfRange.load()) + detail);
    else ctx.expect(stats.clean() && ctx.peakOk(stats.peak), detail);
}

}  // namespace orvex::tools::validation

// The validator's "denormals" group: processing time and subnormal numbers in silence and
// near-silence after loud input.
#include <time.h>

#include <algorithm>
#include <cinttypes>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

namespace {

// CPU time of this thread: unlike the wall clock it does not count the time other processes
// had the processor, so a shared machine does not pass for a slow path.
double threadSeconds() {
    timespec t{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

void runDenormals(Context& ctx) {
    if (!ctx.begin(0, formatText("%.0f s loud, %.0f s of silence, %.0f s of -120 dBFS noise, block 512 at 48 kHz",
                             ctx.limits.denormalLoudSeconds, ctx.limits.denormalQuietSeconds,
                             ctx.limits.denormalQuietSeconds)))
        return;
    const double rate = 48000;
    Rig rig(ctx.library, rate, 512, 512);
    Random r(ctx.seedFor("denormal"));
    std::vector<float> source(512);
    struct Segment {
        const char* name;
        double seconds;
        float level;  // 0: silence
        std::vector<double> times;
        SampleStats stats;
    };
    Segment segments[] = {{"loud", ctx.limits.denormalLoudSeconds, 1.0f, {}, {}},
                          {"silence", ctx.limits.denormalQuietSeconds, 0.0f, {}, {}},
                          {"-120 dBFS", ctx.limits.denormalQuietSeconds, 1e-6f, {}, {}}};
    for (auto& s : segments) {
        const int blocks = static_cast<int>(s.seconds * rate / 512);
        s.times.reserve(static_cast<std::size_t>(blocks));
        for (int k = 0; k < blocks; ++k) {
            for (auto& v : source) v = s.level * r.bipolar();
            const double t0 = threadSeconds();
            rig.process(source.data(), 512, s.stats);
            s.times.push_back(threadSeconds() - t0);
        }
    }
    auto median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[v.size() / 2];
    };
    auto percentile = [](std::vector<double> v, double q) {
        std::sort(v.begin(), v.end());
        return v.empty() ? 0.0 : v[std::min(v.size() - 1, static_cast<std::size_t>(q * static_cast<double>(v.size())))];
    };
    const double loudMedian = median(segments[0].times);
    std::string detail;
    bool slow = false, dirty = false;
    for (const auto& s : segments) {
        const double m = median(s.times);
        const double worst = *std::max_element(s.times.begin(), s.times.end());
        const double p99 = percentile(s.times, 0.99);
        detail += formatText("%s%s: median %.1f us CPU (%.2f of loud), p99/median %.2f, worst/median %.1f, %" PRIu64 " subnormal",
                         detail.empty() ? "" : "; ", s.name, m * 1e6, loudMedian > 0 ? m / loudMedian : 0.0,
                         m > 0 ? p99 / m : 0.0, m > 0 ? worst / m : 0.0, s.stats.subnormal);
        // A slow path shows as a sustained rise of the typical block in the quiet parts (the
        // loud part's slow blocks are the first ones, with cold caches).
        if (&s != &segments[0]) {
            if (loudMedian > 0 && m > 2.0 * loudMedian) slow = true;
            if (m > 0 && p99 > 4.0 * m) slow = true;
        }
        if (!s.stats.clean()) dirty = true;
    }
    ctx.expect(!slow && !dirty, detail);
}

}  // namespace orvex::tools::validation

// The validator's "automation" group: parameter changes while processing, out-of-range values
// included.
#include <cinttypes>
#include <climits>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runAutomation(Context& ctx) {
    int id = 0;
    // Every parameter with every special value, one block after each.
    if (ctx.begin(id++, "special values through setParameter")) {
        Rig rig(ctx.library, 48000, 512, 512);
        const int params = rig.instance.parameterCount();
        Generator gen(Signal::Noise, 48000, 1 << 30, ctx.seedFor("special"));
        std::vector<float> source;
        SampleStats stats;
        std::string bad;
        int calls = 0;
        for (int p = 0; p < params; ++p) {
            for (float v : specialParameterValues()) {
                rig.instance.setParameter(p, v);
                ++calls;
                const float r = rig.instance.getParameter(p);
                if (!(r >= 0.0f && r <= 1.0f) && bad.empty())
                    bad = formatText("setParameter(%d, %s) then getParameter(%d) = %s", p, valueText(v).c_str(), p,
                                 valueText(r).c_str());
                generate(gen, source, 64);
                rig.process(source.data(), 64, stats);
            }
        }
        // Indexes the plug-in does not have must be ignored.
        for (int p : {-1, params, params + 1, INT_MAX, INT_MIN}) {
            rig.instance.setParameter(p, 0.5f);
            (void)rig.instance.getParameter(p);
        }
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
        const std::string detail = formatText("%d calls; ", calls) + stats.text();
        if (!bad.empty()) ctx.fail(bad + "; " + detail);
        else ctx.expect(stats.clean() && ctx.peakOk(stats.peak), detail + ctx.peakText(stats.peak));
    }
    for (double rate : ctx.limits.automationRates) {
        for (Signal signal : {Signal::Noise, Signal::Square}) {
            const std::string name = formatText("random automation every 32 samples, %.0f Hz, %s", rate, signalName(signal));
            if (!ctx.begin(id++, name)) continue;
            Rig rig(ctx.library, rate, 512, 32);
            const int params = rig.instance.parameterCount();
            const auto length = static_cast<std::int64_t>(ctx.limits.automationSeconds * rate);
            Generator gen(signal, rate, length, ctx.seedFor(name));
            Random r(ctx.seedFor(name + "/values"));
            std::vector<float> source;
            SampleStats stats;
            std::string bad;
            std::uint64_t sets = 0;
            for (std::int64_t done = 0; done < length; done += 32) {
                const int changes = params > 0 ? 1 + r.below(3) : 0;
                for (int k = 0; k < changes; ++k) {
                    const int p = r.below(params);
                    const float v = randomParameterValue(r);
                    rig.instance.setParameter(p, v);
                    ++sets;
                    const float back = rig.instance.getParameter(p);
                    if (!(back >= 0.0f && back <= 1.0f) && bad.empty())
                        bad = formatText("setParameter(%d, %s) then getParameter(%d) = %s", p, valueText(v).c_str(), p,
                                     valueText(back).c_str());
                }
                generate(gen, source, 32);
                rig.process(source.data(), 32, stats);
            }
            const std::string detail = formatText("%" PRIu64 " changes; ", sets) + stats.text();
            if (!bad.empty()) ctx.fail(bad + "; " + detail);
            else ctx.expect(stats.clean() && ctx.peakOk(stats.peak), detail + ctx.peakText(stats.peak));
        }
    }
}

}  // namespace orvex::tools::validation

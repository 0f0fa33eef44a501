// The validator's "determinism" group: the same output from two instances and from any split
// into blocks.
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runDeterminism(Context& ctx) {
    const double rate = 48000;
    const int frames = static_cast<int>(rate * (ctx.options.quick ? 1.0 : 4.0));
    std::vector<float> input(static_cast<std::size_t>(frames));
    {
        Generator noise(Signal::Noise, rate, frames, ctx.seedFor("input"));
        Generator sweep(Signal::Sweep, rate, frames, 0);
        for (int i = 0; i < frames; ++i) input[static_cast<std::size_t>(i)] = i < frames / 2 ? noise.next() : sweep.next();
    }
    // Renders the input with the given block sizes (cycled); `instances` run interleaved.
    auto render = [&](Rig& rig, const std::vector<int>& sizes, std::size_t& at, std::vector<std::vector<float>>& out,
                      SampleStats& stats, int& pos) {
        const int n = std::min(sizes[at++ % sizes.size()], frames - pos);
        rig.process(input.data() + pos, n, stats);
        for (int c = 0; c < rig.instance.outputs(); ++c)
            out[static_cast<std::size_t>(c)].insert(out[static_cast<std::size_t>(c)].end(), rig.out.channel(c),
                                                    rig.out.channel(c) + n);
        pos += n;
    };
    auto firstDifference = [](const std::vector<std::vector<float>>& a, const std::vector<std::vector<float>>& b) {
        for (std::size_t c = 0; c < a.size(); ++c)
            for (std::size_t i = 0; i < a[c].size() && i < b[c].size(); ++i)
                if (std::memcmp(&a[c][i], &b[c][i], sizeof(float)) != 0)
                    return formatText("output %zu differs first at sample %zu (%.9g vs %.9g)", c, i,
                                  static_cast<double>(a[c][i]), static_cast<double>(b[c][i]));
        return std::string();
    };
    if (ctx.begin(0, "two instances, same input, interleaved")) {
        Rig a(ctx.library, rate, 512, 512), b(ctx.library, rate, 512, 512);
        std::vector<std::vector<float>> oa(static_cast<std::size_t>(a.instance.outputs())), ob(oa.size());
        SampleStats sa, sb;
        std::size_t ia = 0, ib = 0;
        int pa = 0, pb = 0;
        while (pa < frames) {
            render(a, {512}, ia, oa, sa, pa);
            render(b, {512}, ib, ob, sb, pb);
        }
        const std::string diff = firstDifference(oa, ob);
        if (!diff.empty()) ctx.fail(diff);
        else ctx.expect(sa.clean(), formatText("%d samples identical; ", frames) + sa.text());
    }
    if (ctx.begin(1, "same output however the input is split into blocks")) {
        Rig a(ctx.library, rate, 4096, 4096), b(ctx.library, rate, 4096, 4096);
        Random r(ctx.seedFor("split"));
        std::vector<int> sizes;
        for (int k = 0; k < 257; ++k) sizes.push_back(r.below(8) == 0 ? r.below(4) : r.below(4097));
        std::vector<std::vector<float>> oa(static_cast<std::size_t>(a.instance.outputs())), ob(oa.size());
        SampleStats sa, sb;
        std::size_t ia = 0, ib = 0;
        int pa = 0, pb = 0;
        while (pa < frames) render(a, {512}, ia, oa, sa, pa);
        while (pb < frames) render(b, sizes, ib, ob, sb, pb);
        const std::string diff = firstDifference(oa, ob);
        if (!diff.empty()) ctx.warn("blocks of 512 against random sizes 0..4096: " + diff);
        else ctx.pass("blocks of 512 and random sizes 0..4096 give identical output");
    }
}

}  // namespace orvex::tools::validation

// The validator's "edges" group: calls hosts make that plug-ins do not always expect.
#include <cstring>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runEdges(Context& ctx) {
    int id = 0;
    const double rate = 48000;
    if (ctx.begin(id++, "blocks of 4096 after effSetBlockSize 512")) {
        Rig rig(ctx.library, rate, 512, 4096);
        Generator gen(Signal::Noise, rate, 1 << 30, ctx.seedFor("oversized"));
        std::vector<float> source;
        SampleStats stats;
        for (int k = 0; k < 8; ++k) {
            generate(gen, source, 4096);
            rig.process(source.data(), 4096, stats);
        }
        ctx.expect(stats.clean() && ctx.peakOk(stats.peak), stats.text() + ctx.peakText(stats.peak));
    }
    if (ctx.begin(id++, "processReplacing with 0 frames")) {
        // A 0-frame call between blocks must write nothing and change nothing.
        Rig a(ctx.library, rate, 512, 512), b(ctx.library, rate, 512, 512);
        Generator ga(Signal::Noise, rate, 1 << 30, ctx.seedFor("zero")), gb(Signal::Noise, rate, 1 << 30, ctx.seedFor("zero"));
        std::vector<float> sa, sb;
        SampleStats stats, other, zero;
        bool wrote = false, differs = false;
        for (int k = 0; k < 48; ++k) {
            a.process(nullptr, 0, zero);
            if (a.out.touchedFrom(0)) wrote = true;
            generate(ga, sa, 512);
            generate(gb, sb, 512);
            a.process(sa.data(), 512, stats);
            b.process(sb.data(), 512, other);
            for (int c = 0; c < a.instance.outputs(); ++c)
                if (std::memcmp(a.out.channel(c), b.out.channel(c), 512 * sizeof(float)) != 0) differs = true;
        }
        if (wrote) ctx.fail("a 0-frame call wrote into the output buffers");
        else if (!stats.clean()) ctx.fail(stats.text());
        else if (differs) ctx.warn("0-frame calls changed the output of the blocks that followed; " + stats.text());
        else ctx.pass("nothing written, output identical to a run without them; " + stats.text());
    }
    if (ctx.begin(id++, "sample-rate change without suspend")) {
        Rig rig(ctx.library, 44100, 512, 512);
        Generator gen(Signal::Noise, 44100, 1 << 30, ctx.seedFor("rate"));
        std::vector<float> source;
        SampleStats stats;
        for (float newRate : {96000.0f, 22050.0f, 44100.0f}) {
            for (int k = 0; k < 24; ++k) {
                generate(gen, source, 512);
                rig.process(source.data(), 512, stats);
            }
            rig.instance.dispatch(effSetSampleRate, 0, 0, nullptr, newRate);
        }
        for (int k = 0; k < 24; ++k) {
            generate(gen, source, 512);
            rig.process(source.data(), 512, stats);
        }
        ctx.expect(stats.clean() && ctx.peakOk(stats.peak), "44100 -> 96000 -> 22050 -> 44100 Hz while resumed; " +
                                                                stats.text() + ctx.peakText(stats.peak));
    }
    if (ctx.begin(id++, "suspend and resume mid-stream")) {
        Rig rig(ctx.library, rate, 512, 512);
        Generator gen(Signal::Square, rate, static_cast<std::int64_t>(rate), ctx.seedFor("suspend"));
        std::vector<float> source;
        SampleStats stats;
        for (int round = 0; round < 6; ++round) {
            for (int k = 0; k < 8; ++k) {
                generate(gen, source, 512);
                rig.process(source.data(), 512, stats);
            }
            rig.instance.suspend();
            if (round == 2) rig.instance.dispatch(effSetBlockSize, 0, 1024);  // set up anew while suspended
            rig.instance.resume();
            if (round == 4) rig.instance.resume();  // resumed twice in a row
        }
        ctx.expect(stats.clean() && ctx.peakOk(stats.peak), stats.text() + ctx.peakText(stats.peak));
    }
}

}  // namespace orvex::tools::validation

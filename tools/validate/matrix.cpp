// The validator's "matrix" group: every sample rate and block size with every test signal.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runMatrix(Context& ctx) {
    int id = 0;
    for (double rate : ctx.limits.rates) {
        for (int block : ctx.limits.blocks) {
            for (Signal signal : kSignals) {
                const std::string blockText = block == 0 ? "random blocks 0..4096" : "block " + std::to_string(block);
                const std::string name = formatText("%.0f Hz, %s, %s", rate, blockText.c_str(), signalName(signal));
                if (!ctx.begin(id++, name)) continue;
                const int announced = block == 0 ? 4096 : block;
                const auto length = static_cast<std::int64_t>(ctx.limits.cellSeconds * rate);
                Rig rig(ctx.library, rate, announced, static_cast<std::size_t>(announced));
                Generator gen(signal, rate, length, ctx.seedFor(name));
                Random sizes(ctx.seedFor(name + "/sizes"));
                std::vector<float> source;
                SampleStats stats;
                std::int64_t done = 0;
                while (done < length) {
                    int frames = block;
                    if (block == 0) frames = sizes.below(20) == 0 ? 0 : sizes.below(4097);
                    frames = static_cast<int>(std::min<std::int64_t>(frames, length - done));
                    generate(gen, source, frames);
                    rig.process(source.data(), frames, stats);
                    done += frames;
                }
                ctx.expect(stats.clean() && ctx.peakOk(stats.peak), stats.text() + ctx.peakText(stats.peak));
            }
        }
    }
}

}  // namespace orvex::tools::validation

// The validator's "identity" group: the plug-in's record as the entry point returns it.
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runIdentity(Context& ctx) {
    if (!ctx.begin(0, "record")) return;
    Rig rig(ctx.library, 48000, 512, 512);
    const AEffect* e = rig.instance.effect();
    std::string detail = formatText("\"%s\" by \"%s\", %d in / %d out, %d parameters, %d programs, flags 0x%x, id 0x%08x",
                                rig.instance.effectName().c_str(), rig.instance.vendor().c_str(), e->numInputs,
                                e->numOutputs, e->numParams, e->numPrograms, static_cast<unsigned>(e->flags),
                                static_cast<unsigned>(e->uniqueID));
    std::vector<std::string> problems;
    if (e->numInputs < 0 || e->numOutputs < 1 || e->numParams < 0 || e->numPrograms < 0)
        problems.push_back("impossible channel, parameter or program counts");
    if (e->initialDelay < 0) problems.push_back("negative initialDelay");
    if (!e->processReplacing) problems.push_back("no processReplacing");
    if (!problems.empty()) {
        std::string all;
        for (const auto& p : problems) all += (all.empty() ? "" : "; ") + p;
        ctx.fail(detail + ": " + all);
    } else if (!(e->flags & effFlagsCanReplacing)) {
        ctx.warn(detail + ": effFlagsCanReplacing is not set");
    } else {
        ctx.pass(detail + formatText(", latency %d", e->initialDelay));
    }
}

}  // namespace orvex::tools::validation

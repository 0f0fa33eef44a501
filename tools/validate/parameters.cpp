// The validator's "parameters" group: every parameter's texts within their bounds, and its
// values and display round trips.
#include <algorithm>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

namespace {

std::string queryText(PluginInstance& instance, VstInt32 opcode, VstInt32 index, TextWrite& w) {
    std::vector<unsigned char> buf(kScratch, kTextCanary);
    instance.dispatch(opcode, index, 0, buf.data());
    w = inspectText(buf);
    return w.text;
}

}  // namespace

void runParameters(Context& ctx) {
    Rig rig(ctx.library, 48000, 512, 512);
    PluginInstance& inst = rig.instance;
    const int params = inst.parameterCount();
    if (params == 0 && ctx.begin(0, "parameters")) {
        ctx.skip("the plug-in has no parameters");
        return;
    }
    std::vector<std::string> names;
    for (int p = 0; p < params; ++p) {
        TextWrite w;
        names.push_back(queryText(inst, effGetParamName, p, w));
    }
    for (int p = 0; p < params; ++p) {
        const std::string& name = names[static_cast<std::size_t>(p)];
        if (!ctx.begin(p, formatText("parameter %d \"%s\"", p, name.c_str()))) continue;
        std::vector<std::string> faults, notes;
        // Texts: within their bounds.
        struct Query {
            VstInt32 opcode;
            const char* what;
        };
        CheckStatus worst = CheckStatus::Pass;
        for (Query q : {Query{effGetParamName, "name"}, Query{effGetParamLabel, "label"}, Query{effGetParamDisplay, "display"}}) {
            TextWrite w;
            queryText(inst, q.opcode, p, w);
            const TextVerdict v = judgeText(w, kVstMaxParamStrLen, 64);
            if (v.status == CheckStatus::Fail) faults.push_back(std::string(q.what) + " " + v.why);
            if (v.status == CheckStatus::Warn) {
                notes.push_back(std::string(q.what) + " " + v.why);
                worst = CheckStatus::Warn;
            }
        }
        if (name.empty()) notes.push_back("empty name");
        if (std::count(names.begin(), names.end(), name) > 1) notes.push_back("name shared with another parameter");
        if (!notes.empty()) worst = CheckStatus::Warn;
        // Round trip: set, read back, set what was read: the value and the display must hold.
        const float original = inst.getParameter(p);
        int exact = 0;
        std::string lowText, highText;
        const int steps = ctx.limits.roundTripSteps;
        for (int k = 0; k <= steps; ++k) {
            const float v = static_cast<float>(k) / static_cast<float>(steps);
            inst.setParameter(p, v);
            const float back = inst.getParameter(p);
            TextWrite w;
            const std::string shown = queryText(inst, effGetParamDisplay, p, w);
            if (k == 0) lowText = shown;
            if (k == steps) highText = shown;
            if (!(back >= 0.0f && back <= 1.0f)) {
                faults.push_back(formatText("set %s, read back %s", valueText(v).c_str(), valueText(back).c_str()));
                break;
            }
            if (back == v) ++exact;
            inst.setParameter(p, back);
            const float again = inst.getParameter(p);
            const std::string shownAgain = queryText(inst, effGetParamDisplay, p, w);
            if (again != back || shownAgain != shown) {
                faults.push_back(formatText("set %s -> %s (\"%s\"), set again -> %s (\"%s\")", valueText(v).c_str(),
                                        valueText(back).c_str(), shown.c_str(), valueText(again).c_str(),
                                        shownAgain.c_str()));
                break;
            }
        }
        inst.setParameter(p, original);
        if (inst.getParameter(p) != original)
            faults.push_back(formatText("default %s does not read back", valueText(original).c_str()));
        std::string detail = formatText("%d of %d values read back exactly, display \"%s\" .. \"%s\"", exact, steps + 1,
                                    lowText.c_str(), highText.c_str());
        for (const auto& n : notes) detail += "; " + n;
        for (const auto& f : faults) detail += "; " + f;
        ctx.result(faults.empty() ? worst : CheckStatus::Fail, detail);
    }
}

}  // namespace orvex::tools::validation

// The validator's "allocations" group: heap allocations inside the calls a host makes on its
// audio thread.
#include <unistd.h>

#include <cinttypes>
#include <cstdio>
#include <string>
#include <vector>

#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools::validation {

void runAllocations(Context& ctx) {
    const AllocationProbe* probe = ctx.options.allocations;
    const char* names[] = {"heap allocations inside processReplacing",
                           "heap allocations inside processReplacing with automation",
                           "heap allocations inside setParameter", "heap allocations inside effProcessEvents"};
    if (!probe) {
        for (int id = 0; id < 4; ++id)
            if (ctx.begin(id, names[id])) ctx.skip("this build cannot interpose the allocator (sanitizer build)");
        return;
    }
    Rig rig(ctx.library, 48000, 512, 512);
    const int params = rig.instance.parameterCount();
    Generator gen(Signal::Noise, 48000, 1 << 30, ctx.seedFor("alloc"));
    Random r(ctx.seedFor("alloc/values"));
    std::vector<float> source, silence(512, 0.0f);
    SampleStats stats;
    // Warm-up: first blocks may settle lazily; the host's real-time use starts after them.
    for (int k = 0; k < 8; ++k) {
        generate(gen, source, 512);
        rig.process(source.data(), 512, stats);
    }
    auto countedBlocks = [&](bool automate) {
        AllocationCount total;
        for (int k = 0; k < ctx.limits.allocationBlocks; ++k) {
            const int frames = 1 + r.below(512);
            if (automate && params > 0) rig.instance.setParameter(r.below(params), static_cast<float>(r.uniform()));
            if (k % 5 == 4) source.assign(static_cast<std::size_t>(frames), 0.0f);
            else generate(gen, source, frames);
            probe->begin();
            rig.process(source.data(), frames, stats);
            const AllocationCount c = probe->end();
            total.allocations += c.allocations;
            total.releases += c.releases;
        }
        return total;
    };
    // Rig::process also copies and scans buffers inside the count, none of which allocates.
    for (int id = 0; id < 2; ++id) {
        if (!ctx.begin(id, names[id])) continue;
        const AllocationCount c = countedBlocks(id == 1);
        ctx.expect(c.allocations == 0 && c.releases == 0,
                   formatText("%d blocks: %" PRIu64 " allocations, %" PRIu64 " releases", ctx.limits.allocationBlocks,
                          c.allocations, c.releases));
    }
    if (ctx.begin(2, names[2])) {
        AllocationCount total;
        int calls = 0;
        for (int k = 0; k < 20 && params > 0; ++k)
            for (int p = 0; p < params; ++p) {
                probe->begin();
                rig.instance.setParameter(p, static_cast<float>(r.uniform()));
                const AllocationCount c = probe->end();
                total.allocations += c.allocations;
                ++calls;
            }
        const std::string detail = formatText("%d calls: %" PRIu64 " allocations", calls, total.allocations);
        if (total.allocations) ctx.warn(detail + " (hosts may automate from the audio thread)");
        else ctx.pass(detail);
    }
    if (ctx.begin(3, names[3])) {
        // Note on, note off, all notes off, a controller, pitch bend: what a sequencer sends.
        VstMidiEvent midi[5]{};
        const unsigned char bytes[5][3] = {{0x90, 60, 100}, {0x80, 60, 0}, {0xB0, 7, 100}, {0xE0, 0, 64}, {0xB0, 123, 0}};
        struct {
            VstInt32 numEvents;
            VstIntPtr reserved;
            VstEvent* events[5];
        } list{5, 0, {}};
        for (int i = 0; i < 5; ++i) {
            midi[i].type = kVstMidiType;
            midi[i].byteSize = sizeof(VstMidiEvent);
            midi[i].deltaFrames = i * 64;
            for (int b = 0; b < 3; ++b) midi[i].midiData[b] = static_cast<char>(bytes[i][b]);
            list.events[i] = reinterpret_cast<VstEvent*>(&midi[i]);
        }
        AllocationCount total;
        // Diagnostic lines that a plug-in writes for controllers would flood the report.
        const int saved = ::dup(STDERR_FILENO);
        FILE* null = std::fopen("/dev/null", "w");
        if (null) ::dup2(::fileno(null), STDERR_FILENO);
        for (int k = 0; k < 50; ++k) {
            probe->begin();
            rig.instance.dispatch(effProcessEvents, 0, 0, &list);
            const AllocationCount c = probe->end();
            total.allocations += c.allocations;
            generate(gen, source, 512);
            rig.process(source.data(), 512, stats);
        }
        if (saved >= 0) {
            ::dup2(saved, STDERR_FILENO);
            ::close(saved);
        }
        if (null) std::fclose(null);
        const std::string detail = formatText("50 event lists of 5 events: %" PRIu64 " allocations", total.allocations);
        if (total.allocations) ctx.warn(detail + " (events arrive on the audio thread)");
        else ctx.pass(detail);
    }
}

}  // namespace orvex::tools::validation

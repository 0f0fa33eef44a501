#pragma once
// A host callback that records every request an effect sends and answers from a table, for
// tests that drive an effect the way a host does.
//
// The callback is a plain function, so it reaches the recorder through a process-wide slot: the
// most recently constructed RecordingHost that is still alive receives the calls. Recording is
// guarded by a mutex, so effects may call it from several threads.
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/vst2.h"

namespace orvex::test {

struct HostCall {
    AEffect* effect = nullptr;
    VstInt32 opcode = 0;
    VstInt32 index = 0;
    VstIntPtr value = 0;
    void* ptr = nullptr;
    float opt = 0.0f;
    std::string text; // the query text of audioMasterCanDo, empty otherwise
};

class RecordingHost {
public:
    // Answers audioMasterVersion with `version` (2400 by default); every other opcode with 0
    // unless told otherwise.
    explicit RecordingHost(VstIntPtr version = kVstVersion);
    ~RecordingHost();
    RecordingHost(const RecordingHost&) = delete;
    RecordingHost& operator=(const RecordingHost&) = delete;

    // The callback to hand to an effect or to its entry point.
    static audioMasterCallback callback() { return &dispatch; }

    // Fixed answer for one opcode.
    void answer(VstInt32 opcode, VstIntPtr value);
    // Computed answer for one opcode (e.g. writing a text into ptr); replaces a fixed answer.
    void handle(VstInt32 opcode, std::function<VstIntPtr(const HostCall&)> handler);

    std::vector<HostCall> calls() const;
    std::vector<HostCall> calls(VstInt32 opcode) const;
    std::size_t count(VstInt32 opcode) const;
    std::optional<HostCall> last(VstInt32 opcode) const;
    std::size_t size() const;
    void clear();

private:
    static VstIntPtr VSTCALLBACK dispatch(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                          void* ptr, float opt);
    VstIntPtr record(const HostCall& call);

    mutable std::mutex mutex_;
    std::vector<HostCall> calls_;
    std::map<VstInt32, VstIntPtr> answers_;
    std::map<VstInt32, std::function<VstIntPtr(const HostCall&)>> handlers_;
    RecordingHost* previous_ = nullptr;
};

} // namespace orvex::test

#include "tests/support/recording_host.h"

#include <atomic>

namespace orvex::test {

namespace {
std::atomic<RecordingHost*> gActive{nullptr};
}

RecordingHost::RecordingHost(VstIntPtr version) {
    answers_[audioMasterVersion] = version;
    previous_ = gActive.exchange(this);
}

RecordingHost::~RecordingHost() {
    RecordingHost* self = this;
    // Hosts are expected to nest (stack objects); restore whichever was active before.
    gActive.compare_exchange_strong(self, previous_);
}

void RecordingHost::answer(VstInt32 opcode, VstIntPtr value) {
    std::lock_guard lock(mutex_);
    handlers_.erase(opcode);
    answers_[opcode] = value;
}

void RecordingHost::handle(VstInt32 opcode, std::function<VstIntPtr(const HostCall&)> handler) {
    std::lock_guard lock(mutex_);
    handlers_[opcode] = std::move(handler);
}

std::vector<HostCall> RecordingHost::calls() const {
    std::lock_guard lock(mutex_);
    return calls_;
}

std::vector<HostCall> RecordingHost::calls(VstInt32 opcode) const {
    std::lock_guard lock(mutex_);
    std::vector<HostCall> out;
    for (const auto& c : calls_)
        if (c.opcode == opcode) out.push_back(c);
    return out;
}

std::size_t RecordingHost::count(VstInt32 opcode) const {
    return calls(opcode).size();
}

std::optional<HostCall> RecordingHost::last(VstInt32 opcode) const {
    auto matching = calls(opcode);
    if (matching.empty()) return std::nullopt;
    return matching.back();
}

std::size_t RecordingHost::size() const {
    std::lock_guard lock(mutex_);
    return calls_.size();
}

void RecordingHost::clear() {
    std::lock_guard lock(mutex_);
    calls_.clear();
}

VstIntPtr RecordingHost::record(const HostCall& call) {
    std::function<VstIntPtr(const HostCall&)> handler;
    VstIntPtr fixed = 0;
    {
        std::lock_guard lock(mutex_);
        calls_.push_back(call);
        if (auto h = handlers_.find(call.opcode); h != handlers_.end())
            handler = h->second;
        else if (auto a = answers_.find(call.opcode); a != answers_.end())
            fixed = a->second;
    }
    // Outside the lock: a handler may call back into the effect, which may call the host again.
    return handler ? handler(call) : fixed;
}

VstIntPtr VSTCALLBACK RecordingHost::dispatch(AEffect* effect, VstInt32 opcode, VstInt32 index, VstIntPtr value,
                                              void* ptr, float opt) {
    HostCall call{effect, opcode, index, value, ptr, opt, {}};
    if (opcode == audioMasterCanDo && ptr) call.text = static_cast<const char*>(ptr);
    RecordingHost* host = gActive.load();
    if (!host) return opcode == audioMasterVersion ? kVstVersion : 0;
    return host->record(call);
}

} // namespace orvex::test

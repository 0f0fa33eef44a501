#pragma once
// The built LV2 module driven as a host drives it: dlopen, lv2_descriptor, instantiate, every
// port connected to a buffer of ours, run.
#include <lv2/core/lv2.h>

#include <cstdint>
#include <string>
#include <vector>

#include "lv2/ports.h"
#include "tests/support/module_loader.h"

namespace orvex::test {

class Lv2Module {
public:
    explicit Lv2Module(const std::string& path) : module_(path) {
        if (!module_.loaded()) return;
        auto entry = reinterpret_cast<const LV2_Descriptor* (*)(uint32_t)>(module_.symbol("lv2_descriptor"));
        if (entry) descriptor_ = entry(0);
        entry_ = entry;
    }
    const LV2_Descriptor* descriptor() const { return descriptor_; }
    const LV2_Descriptor* descriptorAt(uint32_t index) const { return entry_ ? entry_(index) : nullptr; }
    const std::string& error() const { return module_.error(); }

private:
    LoadedModule module_;
    const LV2_Descriptor* (*entry_)(uint32_t) = nullptr;
    const LV2_Descriptor* descriptor_ = nullptr;
};

class Lv2Instance {
public:
    Lv2Instance(const LV2_Descriptor* d, double rate) : d_(d) {
        static const LV2_Feature* const kNoFeatures[] = {nullptr};
        handle_ = d_->instantiate(d_, rate, "/nonexistent/", kNoFeatures);
        if (!handle_) return;
        for (int i = 0; i < ctl::kCount; ++i) {
            controls[i] = orvex::kControlTable[i].init;
            d_->connect_port(handle_, static_cast<uint32_t>(i), &controls[i]);
        }
        d_->connect_port(handle_, lv2::kLatency, &latency);
        d_->activate(handle_);
    }
    ~Lv2Instance() {
        if (handle_) {
            d_->deactivate(handle_);
            d_->cleanup(handle_);
        }
    }
    Lv2Instance(const Lv2Instance&) = delete;
    Lv2Instance& operator=(const Lv2Instance&) = delete;

    bool ok() const { return handle_ != nullptr; }
    LV2_Handle handle() const { return handle_; }
    void connect(uint32_t port, void* data) { d_->connect_port(handle_, port, data); }
    void activate() { d_->activate(handle_); }

    // One run over host buffers: `in` may be the same memory as `a` or `b`. The stereo-input
    // plug-in gets `right` on its right input when given.
    void run(uint32_t n, float* in, float* a, float* b, float* right = nullptr) {
        d_->connect_port(handle_, lv2::kAudioIn, in);
        if (right) d_->connect_port(handle_, lv2::kAudioInRight, right);
        d_->connect_port(handle_, lv2::kAudioOutA, a);
        d_->connect_port(handle_, lv2::kAudioOutB, b);
        d_->run(handle_, n);
    }

    float controls[ctl::kCount] = {};
    float latency = -1.0f;

private:
    const LV2_Descriptor* d_;
    LV2_Handle handle_ = nullptr;
};

}  // namespace orvex::test

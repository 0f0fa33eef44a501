#include "tools/common/param_control.h"

namespace orvex::tools {

ParameterControl::ParameterControl(const PluginLibrary& library, PluginInstance& target, double rate, int blockSize)
    : library_(library), target_(target), blockSize_(blockSize) {
    setRate(rate);
}

ParameterControl::~ParameterControl() = default;

void ParameterControl::setRate(double rate) {
    auto probe = std::make_unique<PluginInstance>(library_, rate, blockSize_);
    auto access = std::make_unique<InstanceParameters>(*probe);
    params_ = describeParameters(*access);
    probeAccess_ = std::move(access);
    probe_ = std::move(probe);
}

ParameterReading ParameterControl::apply(const Assignment& a) {
    target_.setParameter(a.index, a.normalised);
    return read(a.index);
}

ParameterReading ParameterControl::set(const std::string& request) {
    return apply(resolvePlain(*probeAccess_, params_, request));
}

ParameterReading ParameterControl::set(const std::string& key, const std::string& value) {
    // Resolved by name first, so that a name holding '=' cannot be split in the wrong place.
    const ParameterInfo& p = findParameter(params_, key);
    return apply(resolvePlain(*probeAccess_, params_, std::to_string(p.index) + "=" + value));
}

ParameterReading ParameterControl::setNormalised(const std::string& request) {
    return apply(resolveNormalised(*probeAccess_, params_, request));
}

ParameterReading ParameterControl::read(const std::string& key) { return read(findParameter(params_, key).index); }

ParameterReading ParameterControl::read(int index) {
    const ParameterInfo& p = params_.at(static_cast<std::size_t>(index));
    ParameterReading r;
    r.index = p.index;
    r.name = p.name;
    r.label = p.label;
    r.normalised = target_.getParameter(p.index);
    r.display = target_.parameterDisplay(p.index);
    return r;
}

}  // namespace orvex::tools

#pragma once
// Walks a program's arguments the way every Orvex program reads them: `--name VALUE` and
// `--name=VALUE` mean the same; a switch given a value, or an option left without one, is a
// usage error naming the option.
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "tools/common/usage_error.h"

namespace orvex::tools {

class ArgCursor {
public:
    explicit ArgCursor(std::vector<std::string> args) : args_(std::move(args)) {}

    // Moves to the next argument; false when none is left.
    bool next() {
        if (++pos_ >= args_.size()) return false;
        name_ = args_[pos_];
        attached_.clear();
        hasAttached_ = false;
        if (name_.rfind("--", 0) == 0) {
            const auto eq = name_.find('=');
            if (eq != std::string::npos) {
                attached_ = name_.substr(eq + 1);
                name_.resize(eq);
                hasAttached_ = true;
            }
        }
        return true;
    }

    // The current argument, without an attached "=VALUE".
    const std::string& name() const { return name_; }
    bool hasAttachedValue() const { return hasAttached_; }
    const std::string& attachedValue() const { return attached_; }

    // The option's value: the attached one, else the next argument (consumed).
    std::string value() {
        if (hasAttached_) return attached_;
        if (pos_ + 1 >= args_.size()) throw UsageError(name_ + " needs a value; see --help");
        return args_[++pos_];
    }

    // For an option whose value may be left out: the next argument when it does not look like
    // an option, else nothing.
    bool takeOptionalValue(std::string& out) {
        if (hasAttached_) {
            out = attached_;
            return true;
        }
        if (pos_ + 1 < args_.size() && args_[pos_ + 1].rfind("-", 0) != 0) {
            out = args_[++pos_];
            return true;
        }
        return false;
    }

    // A switch: "--switch=..." is refused rather than read as on.
    void flag() const {
        if (hasAttached_) throw UsageError(name_ + " takes no value; see --help");
    }

    // Everything after the current argument (for "--"), consumed.
    std::vector<std::string> rest() {
        std::vector<std::string> out(args_.begin() + static_cast<std::ptrdiff_t>(pos_) + 1, args_.end());
        pos_ = args_.size();
        return out;
    }

private:
    std::vector<std::string> args_;
    std::size_t pos_ = static_cast<std::size_t>(-1);
    std::string name_;
    std::string attached_;
    bool hasAttached_ = false;
};

}  // namespace orvex::tools

#pragma once
// A request on a program's command line (or in its options) that makes no sense. Programs exit
// with status 2 for it, against 1 for a failure of a file or a plug-in.
#include <stdexcept>

namespace orvex::tools {

class UsageError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

}  // namespace orvex::tools

#pragma once
// Remote control over OSC (UDP, liblo's server thread, which is the control thread):
//
//   /orvex/set  NAME|INDEX VALUE   set a parameter in its own units; replies /orvex/value
//   /orvex/get  NAME|INDEX         replies /orvex/value INDEX NAME NORMALISED DISPLAY UNIT
//   /orvex/list                    replies /orvex/param INDEX NAME UNIT RANGE NORMALISED DISPLAY
//                                  for each parameter, then /orvex/list/end COUNT
//
// Whatever cannot be done (an unknown address or parameter, a wrong argument type, NaN, a value
// out of range) is answered with /orvex/error ADDRESS TEXT and logged, and changes nothing.
// Packets liblo cannot parse are logged. Handlers are a table (kMethods), so further addresses
// are additions to it.
#include <lo/lo.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "tools/common/param_control.h"
#include "tools/live/console.h"

namespace orvex::live {

class OscControl {
public:
    // `port` 0: any free port (port() tells which). Throws std::runtime_error when the port
    // cannot be opened.
    OscControl(int port, tools::ParameterControl& parameters, std::mutex& pluginMutex, Console& console);
    ~OscControl();
    OscControl(const OscControl&) = delete;
    OscControl& operator=(const OscControl&) = delete;

    int port() const;
    std::uint64_t changes() const { return changes_.load(); }
    std::uint64_t rejected() const { return rejected_.load(); }

private:
    struct Request {
        const char* path;
        const char* types;
        lo_arg** argv;
        int argc;
        lo_message message;
    };
    using Handler = void (OscControl::*)(const Request&);
    struct Method {
        const char* path;
        Handler handler;
    };
    static const Method kMethods[];

    static int dispatch(const char* path, const char* types, lo_arg** argv, int argc, lo_message message, void* self);
    void set(const Request& r);
    void get(const Request& r);
    void list(const Request& r);

    void send(const Request& r, const char* path, lo_message reply);
    void sendValue(const Request& r, const tools::ParameterReading& p);
    void fail(const Request& r, const std::string& text);
    std::string sender(const Request& r) const;

    tools::ParameterControl& parameters_;
    std::mutex& pluginMutex_;
    Console& console_;
    lo_server_thread thread_ = nullptr;
    std::atomic<std::uint64_t> changes_{0}, rejected_{0};
};

}  // namespace orvex::live

#pragma once
// Remote control over OSC (UDP, liblo's server thread, which is the control thread):
//
//   /orvex/set  NAME|INDEX VALUE   set a parameter in its own units; replies /orvex/value
//   /orvex/get  NAME|INDEX         replies /orvex/value INDEX NAME NORMALISED DISPLAY UNIT
//   /orvex/list                    replies /orvex/param INDEX NAME UNIT RANGE NORMALISED DISPLAY
//                                  for each parameter, then /orvex/list/end COUNT
//   /orvex/meters/subscribe [PORT [SECONDS]]
//                                  the meters to the sender's address at PORT (0 or none: the
//                                  port it sent from) every SECONDS (0.1 to 10, default 0.1);
//                                  replies /orvex/meters/subscribed PORT SECONDS LEASE. The same
//                                  request again renews the subscription (and may change SECONDS).
//   /orvex/meters/unsubscribe [PORT]
//                                  ends it; replies /orvex/meters/unsubscribed PORT
//
// Subscribers receive /orvex/meters ON_AIR BANDS G1 .. G12 OUTPUT_GAIN IN_M OUT_M OUT_TP (two
// integers, then floats): ON_AIR 1 while a JACK server runs the plug-in, BANDS 1 when the gains
// are the plug-in's own (0: it has no meters, and they are sent as 0); the band gains and the
// output stage's gain in dB, the momentary loudness of input and output (LUFS) and the output's
// true peak since the last message (dBTP); -120 stands for silence. At most kMaxSubscribers at a
// time: one more is refused with /orvex/error. A subscriber is dropped, and the fact logged,
// when it has not renewed within the lease (--osc-lease, 30 s by default) or when
// kFailedSendsToDrop sends to it in a row fail. The meter thread sends; the process callback has
// no part in any of it.
//
// Whatever cannot be done (an unknown address or parameter, a wrong argument type, NaN, a value
// out of range) is answered with /orvex/error ADDRESS TEXT and logged, and changes nothing.
// Packets liblo cannot parse are logged. Handlers are a table (kMethods), so further addresses
// are additions to it.
#include <lo/lo.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "tools/common/param_control.h"
#include "tools/live/console.h"
#include "tools/live/meter.h"

namespace orvex::live {

class OscControl {
public:
    // `port` 0: any free port (port() tells which). Throws std::runtime_error when the port
    // cannot be opened.
    static constexpr std::size_t kMaxSubscribers = 8;
    static constexpr int kFailedSendsToDrop = 5;

    OscControl(int port, tools::ParameterControl& parameters, std::mutex& pluginMutex, Console& console,
               double leaseSeconds = 30.0);
    ~OscControl();
    OscControl(const OscControl&) = delete;
    OscControl& operator=(const OscControl&) = delete;

    int port() const;
    std::uint64_t changes() const { return changes_.load(); }
    std::uint64_t rejected() const { return rejected_.load(); }
    std::size_t subscribers() const;

    // The meter thread: sends the snapshot to every subscriber that is due one and drops those
    // whose lease has run out or whose sends keep failing.
    void publish(const MeterSnapshot& s);

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
    void subscribe(const Request& r);
    void unsubscribe(const Request& r);
    // The subscriber address a request names: the sender's host, and PORT or the sender's port.
    bool subscriberOf(const Request& r, int port, std::string& host, std::string& portText) const;

    void send(const Request& r, const char* path, lo_message reply);
    void sendValue(const Request& r, const tools::ParameterReading& p);
    void fail(const Request& r, const std::string& text);
    std::string sender(const Request& r) const;

    tools::ParameterControl& parameters_;
    std::mutex& pluginMutex_;
    Console& console_;
    lo_server_thread thread_ = nullptr;
    std::atomic<std::uint64_t> changes_{0}, rejected_{0};

    using Clock = std::chrono::steady_clock;
    struct Subscriber {
        std::string host, port;
        lo_address address = nullptr;
        Clock::duration interval{};
        Clock::time_point nextSend{}, expires{};
        int failedSends = 0;
    };
    Clock::duration lease_;
    mutable std::mutex subscribersMutex_;  // the OSC thread and the meter thread
    std::vector<Subscriber> subscribers_;
    // Replies (OSC thread) and meter messages (meter thread) leave through the server's socket.
    std::mutex sendMutex_;
};

}  // namespace orvex::live

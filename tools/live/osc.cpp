#include "tools/live/osc.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "tools/common/text.h"

namespace orvex::live {
namespace {

Console* gOscConsole = nullptr;
// While the server is being set up, liblo's complaint becomes part of the one error line.
std::string* gOscStartError = nullptr;

// liblo's own complaints: packets it could not parse, a port it could not open.
void onLibloError(int number, const char* message, const char* where) {
    if (gOscStartError) {
        *gOscStartError = message ? message : "error";
        return;
    }
    if (gOscConsole)
        gOscConsole->line(tools::formatText("OSC: %s%s%s (liblo error %d)", message ? message : "error",
                                            where ? " in " : "", where ? where : "", number));
}

bool isString(char type) { return type == LO_STRING || type == LO_SYMBOL; }

// liblo hands out arguments where they sit in the packet, aligned to 4 bytes only, so they are
// copied out rather than read through the (8-byte) lo_arg union.
template <typename T>
T argument(const lo_arg* arg) {
    T v;
    std::memcpy(&v, arg, sizeof v);
    return v;
}
std::string textArgument(const lo_arg* arg) { return reinterpret_cast<const char*>(arg); }

// A parameter key: a name, or an index as integer or text.
bool keyOf(char type, const lo_arg* arg, std::string& key) {
    if (isString(type)) key = textArgument(arg);
    else if (type == LO_INT32) key = std::to_string(argument<std::int32_t>(arg));
    else if (type == LO_INT64) key = std::to_string(static_cast<long long>(argument<std::int64_t>(arg)));
    else return false;
    return true;
}

}  // namespace

const OscControl::Method OscControl::kMethods[] = {
    {"/orvex/set", &OscControl::set},
    {"/orvex/get", &OscControl::get},
    {"/orvex/list", &OscControl::list},
    {"/orvex/meters/subscribe", &OscControl::subscribe},
    {"/orvex/meters/unsubscribe", &OscControl::unsubscribe},
};

OscControl::OscControl(int port, tools::ParameterControl& parameters, std::mutex& pluginMutex, Console& console,
                       double leaseSeconds)
    : parameters_(parameters),
      pluginMutex_(pluginMutex),
      console_(console),
      lease_(std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(leaseSeconds))) {
    gOscConsole = &console_;
    const std::string portText = std::to_string(port);
    std::string why;
    gOscStartError = &why;
    thread_ = lo_server_thread_new_with_proto(port > 0 ? portText.c_str() : nullptr, LO_UDP, onLibloError);
    gOscStartError = nullptr;
    if (!thread_)
        throw std::runtime_error("cannot listen for OSC on UDP port " + portText + (why.empty() ? "" : ": " + why));
    lo_server_thread_add_method(thread_, nullptr, nullptr, dispatch, this);
    if (lo_server_thread_start(thread_) != 0) {
        lo_server_thread_free(thread_);
        throw std::runtime_error("cannot start the OSC server thread");
    }
}

OscControl::~OscControl() {
    if (!thread_) return;
    lo_server_thread_stop(thread_);
    lo_server_thread_free(thread_);
    for (Subscriber& s : subscribers_) lo_address_free(s.address);
}

int OscControl::port() const { return lo_server_thread_get_port(thread_); }

int OscControl::dispatch(const char* path, const char* types, lo_arg** argv, int argc, lo_message message, void* self) {
    auto& osc = *static_cast<OscControl*>(self);
    const Request r{path, types ? types : "", argv, argc, message};
    for (const Method& m : kMethods) {
        if (std::string(path) == m.path) {
            try {
                (osc.*m.handler)(r);
            } catch (const std::exception& e) {
                osc.fail(r, e.what());
            }
            return 0;
        }
    }
    osc.fail(r, "unknown address; use /orvex/set, /orvex/get, /orvex/list, /orvex/meters/subscribe or "
                "/orvex/meters/unsubscribe");
    return 0;
}

std::string OscControl::sender(const Request& r) const {
    lo_address from = lo_message_get_source(r.message);
    if (!from) return "?";
    const char* host = lo_address_get_hostname(from);
    const char* port = lo_address_get_port(from);
    return std::string(host ? host : "?") + ":" + (port ? port : "?");
}

void OscControl::send(const Request& r, const char* path, lo_message reply) {
    lo_address to = lo_message_get_source(r.message);
    if (to) {
        std::lock_guard<std::mutex> lock(sendMutex_);
        lo_send_message_from(to, lo_server_thread_get_server(thread_), path, reply);
    }
    lo_message_free(reply);
}

void OscControl::fail(const Request& r, const std::string& text) {
    if (std::string(r.path) == "/orvex/set") rejected_.fetch_add(1);
    console_.line("OSC " + sender(r) + " " + r.path + ": " + text);
    lo_message m = lo_message_new();
    lo_message_add_string(m, r.path);
    lo_message_add_string(m, text.c_str());
    send(r, "/orvex/error", m);
}

void OscControl::sendValue(const Request& r, const tools::ParameterReading& p) {
    lo_message m = lo_message_new();
    lo_message_add_int32(m, p.index);
    lo_message_add_string(m, p.name.c_str());
    lo_message_add_float(m, p.normalised);
    lo_message_add_string(m, p.display.c_str());
    lo_message_add_string(m, p.label.c_str());
    send(r, "/orvex/value", m);
}

void OscControl::set(const Request& r) {
    std::string key, value;
    if (r.argc != 2 || !keyOf(r.types[0], r.argv[0], key))
        return fail(r, "expects a parameter name or index and a value (types s or i, then f, d, i, s, T or F)");
    const char type = r.types[1];
    const lo_arg* v = r.argv[1];
    switch (type) {
        case LO_FLOAT: {
            const float f = argument<float>(v);
            if (std::isnan(f)) return fail(r, "the value is NaN");
            value = tools::formatText("%.9g", static_cast<double>(f));
            break;
        }
        case LO_DOUBLE: {
            const double d = argument<double>(v);
            if (std::isnan(d)) return fail(r, "the value is NaN");
            value = tools::formatText("%.17g", d);
            break;
        }
        case LO_INT32: value = std::to_string(argument<std::int32_t>(v)); break;
        case LO_INT64: value = std::to_string(static_cast<long long>(argument<std::int64_t>(v))); break;
        case LO_STRING:
        case LO_SYMBOL: value = textArgument(v); break;
        case LO_TRUE: value = "on"; break;
        case LO_FALSE: value = "off"; break;
        default: return fail(r, std::string("a value of OSC type '") + type + "' means nothing here; send f, d, i, s, T or F");
    }
    tools::ParameterReading done;
    {
        std::lock_guard<std::mutex> lock(pluginMutex_);
        done = parameters_.set(key, value);
    }
    changes_.fetch_add(1);
    console_.line("OSC " + sender(r) + " set " + done.name + " = " + done.display +
                  (done.label.empty() ? "" : " " + done.label));
    sendValue(r, done);
}

void OscControl::get(const Request& r) {
    std::string key;
    if (r.argc != 1 || !keyOf(r.types[0], r.argv[0], key)) return fail(r, "expects a parameter name or index (type s or i)");
    tools::ParameterReading p;
    {
        std::lock_guard<std::mutex> lock(pluginMutex_);
        p = parameters_.read(key);
    }
    sendValue(r, p);
}

void OscControl::list(const Request& r) {
    if (r.argc != 0) return fail(r, "takes no arguments");
    std::lock_guard<std::mutex> lock(pluginMutex_);
    const auto& params = parameters_.parameters();
    for (const auto& info : params) {
        const tools::ParameterReading p = parameters_.read(info.index);
        lo_message m = lo_message_new();
        lo_message_add_int32(m, p.index);
        lo_message_add_string(m, p.name.c_str());
        lo_message_add_string(m, p.label.c_str());
        lo_message_add_string(m, info.rangeText().c_str());
        lo_message_add_float(m, p.normalised);
        lo_message_add_string(m, p.display.c_str());
        send(r, "/orvex/param", m);
    }
    lo_message m = lo_message_new();
    lo_message_add_int32(m, static_cast<int>(params.size()));
    send(r, "/orvex/list/end", m);
}

// ---- meter subscriptions ------------------------------------------------------------------

namespace {
constexpr double kShortestInterval = 0.1, kLongestInterval = 10.0;
constexpr float kSilenceDb = -120.0f;

float levelOrSilence(double db) { return std::isfinite(db) && db > kSilenceDb ? static_cast<float>(db) : kSilenceDb; }
}  // namespace

bool OscControl::subscriberOf(const Request& r, int port, std::string& host, std::string& portText) const {
    lo_address from = lo_message_get_source(r.message);
    const char* h = from ? lo_address_get_hostname(from) : nullptr;
    const char* p = from ? lo_address_get_port(from) : nullptr;
    if (!h || !p) return false;
    host = h;
    portText = port > 0 ? std::to_string(port) : std::string(p);
    return true;
}

std::size_t OscControl::subscribers() const {
    std::lock_guard<std::mutex> lock(subscribersMutex_);
    return subscribers_.size();
}

void OscControl::subscribe(const Request& r) {
    int port = 0;
    double seconds = kShortestInterval;
    if (r.argc > 2) return fail(r, "expects at most a UDP port (i) and an interval in seconds (f)");
    if (r.argc >= 1) {
        if (r.types[0] != LO_INT32) return fail(r, "the port is an integer (type i); 0 for the port the request came from");
        port = argument<std::int32_t>(r.argv[0]);
        if (port < 0 || port > 65535) return fail(r, "the port is 0 to 65535, not " + std::to_string(port));
    }
    if (r.argc == 2) {
        const char t = r.types[1];
        if (t == LO_FLOAT) seconds = argument<float>(r.argv[1]);
        else if (t == LO_DOUBLE) seconds = argument<double>(r.argv[1]);
        else if (t == LO_INT32) seconds = argument<std::int32_t>(r.argv[1]);
        else return fail(r, "the interval is a number of seconds (type f, d or i)");
        if (!(seconds >= kShortestInterval - 1e-6 && seconds <= kLongestInterval))
            return fail(r, tools::formatText("the interval is %g to %g seconds, not %g", kShortestInterval,
                                             kLongestInterval, seconds));
    }
    std::string host, portText;
    if (!subscriberOf(r, port, host, portText)) return fail(r, "cannot tell where the request came from");

    const auto now = Clock::now();
    const auto interval = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(seconds));
    bool renewed = false;
    {
        std::lock_guard<std::mutex> lock(subscribersMutex_);
        Subscriber* found = nullptr;
        for (Subscriber& s : subscribers_)
            if (s.host == host && s.port == portText) found = &s;
        if (found) {
            renewed = true;
        } else {
            if (subscribers_.size() >= kMaxSubscribers)
                return fail(r, tools::formatText("%zu meter subscribers already; unsubscribe one first", kMaxSubscribers));
            lo_address a = lo_address_new(host.c_str(), portText.c_str());
            if (!a) return fail(r, "cannot send to " + host + ":" + portText);
            subscribers_.push_back(Subscriber{host, portText, a, {}, now, {}, 0});
            found = &subscribers_.back();
        }
        found->interval = interval;
        found->expires = now + lease_;
        found->failedSends = 0;
    }
    if (!renewed) console_.line("OSC meters: " + host + ":" + portText + " subscribed" + tools::formatText(" (every %g s)", seconds));
    lo_message m = lo_message_new();
    lo_message_add_int32(m, std::stoi(portText));
    lo_message_add_float(m, static_cast<float>(seconds));
    lo_message_add_float(m, static_cast<float>(std::chrono::duration<double>(lease_).count()));
    send(r, "/orvex/meters/subscribed", m);
}

void OscControl::unsubscribe(const Request& r) {
    int port = 0;
    if (r.argc > 1 || (r.argc == 1 && r.types[0] != LO_INT32))
        return fail(r, "expects nothing, or the UDP port (i) the meters go to");
    if (r.argc == 1) port = argument<std::int32_t>(r.argv[0]);
    std::string host, portText;
    if (!subscriberOf(r, port, host, portText)) return fail(r, "cannot tell where the request came from");
    {
        std::lock_guard<std::mutex> lock(subscribersMutex_);
        auto it = std::find_if(subscribers_.begin(), subscribers_.end(),
                               [&](const Subscriber& s) { return s.host == host && s.port == portText; });
        if (it == subscribers_.end()) return fail(r, host + ":" + portText + " is not subscribed");
        lo_address_free(it->address);
        subscribers_.erase(it);
    }
    console_.line("OSC meters: " + host + ":" + portText + " unsubscribed");
    lo_message m = lo_message_new();
    lo_message_add_int32(m, std::stoi(portText));
    send(r, "/orvex/meters/unsubscribed", m);
}

void OscControl::publish(const MeterSnapshot& s) {
    std::vector<std::string> dropped;
    {
        std::lock_guard<std::mutex> lock(subscribersMutex_);
        if (subscribers_.empty()) return;
        const auto now = Clock::now();
        lo_message m = lo_message_new();
        lo_message_add_int32(m, s.onAir ? 1 : 0);
        lo_message_add_int32(m, s.bands ? 1 : 0);
        for (float g : s.bandGainDb) lo_message_add_float(m, s.bands ? g : 0.0f);
        lo_message_add_float(m, s.bands ? s.outputGainDb : 0.0f);
        lo_message_add_float(m, levelOrSilence(s.inMomentary));
        lo_message_add_float(m, levelOrSilence(s.outMomentary));
        lo_message_add_float(m, levelOrSilence(s.outPeak > 0.0 ? 20.0 * std::log10(s.outPeak) : -HUGE_VAL));
        for (auto it = subscribers_.begin(); it != subscribers_.end();) {
            Subscriber& sub = *it;
            std::string why;
            if (now >= sub.expires) {
                why = tools::formatText("not renewed within %g s", std::chrono::duration<double>(lease_).count());
            } else if (now >= sub.nextSend) {
                // Half a refresh early counts as due, so a 0.1 s interval is met by every snapshot.
                sub.nextSend = now + sub.interval - std::chrono::milliseconds(50);
                int sent;
                {
                    std::lock_guard<std::mutex> sending(sendMutex_);
                    sent = lo_send_message_from(sub.address, lo_server_thread_get_server(thread_), "/orvex/meters", m);
                }
                sub.failedSends = sent < 0 ? sub.failedSends + 1 : 0;
                if (sub.failedSends >= kFailedSendsToDrop)
                    why = tools::formatText("%d sends in a row failed: %s", sub.failedSends,
                                            lo_address_errstr(sub.address) ? lo_address_errstr(sub.address) : "?");
            }
            if (why.empty()) {
                ++it;
                continue;
            }
            dropped.push_back(sub.host + ":" + sub.port + " (" + why + ")");
            lo_address_free(sub.address);
            it = subscribers_.erase(it);
        }
        lo_message_free(m);
    }
    for (const std::string& d : dropped) console_.line("OSC meters: dropped " + d);
}

}  // namespace orvex::live

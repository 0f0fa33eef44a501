#include "tools/live/osc.h"

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
};

OscControl::OscControl(int port, tools::ParameterControl& parameters, std::mutex& pluginMutex, Console& console)
    : parameters_(parameters), pluginMutex_(pluginMutex), console_(console) {
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
    osc.fail(r, "unknown address; use /orvex/set, /orvex/get or /orvex/list");
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
    if (to) lo_send_message_from(to, lo_server_thread_get_server(thread_), path, reply);
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

}  // namespace orvex::live

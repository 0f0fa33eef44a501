#include "tools/live/engine.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <thread>

#include "tools/common/text.h"

namespace orvex::live {
namespace {

constexpr const char* kPortNames[3] = {"in", "out_L", "out_R"};
// Buffers are sized for this many frames before the first activation, so that only a server
// running with longer periods than JACK's usual maximum ever makes the buffer-size callback
// allocate.
constexpr std::size_t kPreparedFrames = 8192;

// libjack reports every failed attempt to reach a server, and much more while one goes away,
// on standard error. The program says what matters in one line of its own instead; --verbose
// lets libjack's messages through.
std::atomic<bool> gJackVerbose{false};
Console* gJackConsole = nullptr;

void jackMessage(const char* text) {
    if (gJackVerbose.load() && gJackConsole) gJackConsole->line(std::string("JACK: ") + text);
}

std::string quoted(const std::string& s) { return "\"" + s + "\""; }

}  // namespace

Engine::Engine(tools::PluginInstance& plugin, std::mutex& pluginMutex, EngineSetup setup, Console& console)
    : plugin_(plugin), pluginMutex_(pluginMutex), setup_(std::move(setup)), console_(console) {
    gJackVerbose.store(setup_.verbose);
    gJackConsole = &console_;
    jack_set_error_function(jackMessage);
    jack_set_info_function(jackMessage);
    std::string server = setup_.serverName;
    if (server.empty()) {
        const char* env = std::getenv("JACK_DEFAULT_SERVER");
        server = env && *env ? env : "default";
    }
    serverLabel_ = "JACK server " + quoted(server);
    for (const auto& p : setup_.inPorts) links_.push_back({p, true, 0});
    for (std::size_t i = 0; i < setup_.outPorts.size() && i < 2; ++i)
        links_.push_back({setup_.outPorts[i], false, static_cast<int>(i) + 1});
}

Engine::~Engine() { close(); }

void Engine::setRecorderRing(AudioRing* ring, int rate) {
    recordRate_ = rate;
    recordRing_.store(ring, std::memory_order_release);
}

std::string Engine::portName(int which) const {
    if (client_ && ports_[which]) return jack_port_name(ports_[which]);
    return setup_.clientName + ":" + kPortNames[which];
}

std::string Engine::goneReason() const {
    if (serverGone_.load(std::memory_order_acquire) && goneReason_[0]) return goneReason_;
    return "the server shut the client down";
}

void Engine::prepareBuffers(std::size_t frames) {
    capacity_ = frames;
    const int ins = std::max(plugin_.inputs(), 1), outs = std::max(plugin_.outputs(), 2);
    silence_.assign(frames, 0.0f);
    spare_.assign(static_cast<std::size_t>(outs - 2), std::vector<float>(frames, 0.0f));
    meterFrames_.assign(frames * 3, 0.0f);
    recordFrames_.assign(frames * 2, 0.0f);
    inputs_.assign(static_cast<std::size_t>(ins), silence_.data());
    outputs_.assign(static_cast<std::size_t>(outs), nullptr);
    for (std::size_t i = 0; i < spare_.size(); ++i) outputs_[i + 2] = spare_[i].data();
}

bool Engine::open(bool firstTime) {
    serverGone_.store(false);
    rateChanged_.store(false);
    goneReason_[0] = '\0';
    int options = JackNoStartServer | JackUseExactName;
    if (!setup_.serverName.empty()) options |= JackServerName;
    jack_status_t status{};
    jack_client_t* client =
        setup_.serverName.empty()
            ? jack_client_open(setup_.clientName.c_str(), static_cast<jack_options_t>(options), &status)
            : jack_client_open(setup_.clientName.c_str(), static_cast<jack_options_t>(options), &status,
                               setup_.serverName.c_str());
    if (!client) {
        // No server at all is what retrying is for. A server that answers and refuses has a
        // client of this name already (libjack sets JackNameNotUnique or just JackServerError).
        if (status & JackServerFailed) return false;
        if (status & (JackNameNotUnique | JackServerError)) {
            const std::string text = serverLabel_ + " refused the client " + quoted(setup_.clientName) +
                                     ": a client of that name is already there; choose another with --name";
            if (firstTime) throw LiveError(text);
            if (!refusedAnnounced_) console_.line(text + "; trying again");
            refusedAnnounced_ = true;
            return false;
        }
        if (firstTime) throw LiveError(tools::formatText("cannot open a JACK client on %s (status 0x%x)", serverLabel_.c_str(),
                                                         static_cast<unsigned>(status)));
        return false;
    }
    refusedAnnounced_ = false;
    client_ = client;

    const int rate = static_cast<int>(jack_get_sample_rate(client_));
    const int block = static_cast<int>(jack_get_buffer_size(client_));
    if (capacity_ < std::max<std::size_t>(kPreparedFrames, static_cast<std::size_t>(block)))
        prepareBuffers(std::max<std::size_t>(kPreparedFrames, static_cast<std::size_t>(block)));
    {
        std::lock_guard<std::mutex> lock(pluginMutex_);
        if (plugin_.resumed()) plugin_.suspend();
        if (plugin_.host().rate != rate) plugin_.setSampleRate(rate);
        plugin_.setBlockSize(block);
        plugin_.resume();
        // Plug-ins settle their latency in resume.
        latency_.store(std::max(plugin_.initialDelay(), 0));
    }
    rate_.store(rate);
    bufferSize_.store(block);
    prepared_.store(static_cast<std::size_t>(block), std::memory_order_release);
    if (recordRing_.load() && recordRate_ != rate) {
        stopRecording();
        console_.line("recording stopped: the server now runs at " + std::to_string(rate) + " Hz, the recording at " +
                      std::to_string(recordRate_) + " Hz");
    }

    for (int i = 0; i < 3; ++i) {
        ports_[i] = jack_port_register(client_, kPortNames[i], JACK_DEFAULT_AUDIO_TYPE,
                                       i == 0 ? JackPortIsInput : JackPortIsOutput, 0);
        if (!ports_[i]) {
            close();
            throw LiveError("cannot register the JACK port " + quoted(setup_.clientName + ":" + kPortNames[i]));
        }
    }
    jack_set_process_callback(client_, onProcess, this);
    jack_set_buffer_size_callback(client_, onBufferSize, this);
    jack_set_sample_rate_callback(client_, onSampleRate, this);
    jack_set_xrun_callback(client_, onXrun, this);
    jack_set_latency_callback(client_, onLatency, this);
    jack_on_info_shutdown(client_, onShutdown, this);
    return true;
}

bool Engine::start(bool strict) {
    firstSeen_.store(false);
    if (jack_activate(client_) != 0) {
        close();
        const std::string text = "cannot activate the JACK client on " + serverLabel_;
        if (strict) throw LiveError(text);
        console_.line(text + "; trying again");
        return false;
    }
    onAir_.store(true);
    for (Link& link : links_) connect(link, strict);
    sinceRetry_ = 0.0;
    lastPeriods_ = periods_.load();
    lastProgress_ = std::chrono::steady_clock::now();
    return true;
}

void Engine::connect(Link& link, bool strict) {
    const std::string option = link.toUs ? "--in" : "--out";
    auto fault = [&](const std::string& text) {
        if (strict) throw LiveError(text);
        if (!link.announced) console_.line("waiting for JACK port " + quoted(link.external) + ": " + text);
        link.announced = true;
    };
    jack_port_t* other = jack_port_by_name(client_, link.external.c_str());
    if (!other) return fault("unknown JACK port " + quoted(link.external) + " (" + option + "); jack_lsp lists the ports");
    if (std::strcmp(jack_port_type(other), JACK_DEFAULT_AUDIO_TYPE) != 0)
        return fault("JACK port " + quoted(link.external) + " (" + option + ") does not carry audio");
    const int flags = jack_port_flags(other);
    if (link.toUs && !(flags & JackPortIsOutput))
        return fault("JACK port " + quoted(link.external) +
                     " takes audio in; --in wants a port that sends audio (an output in jack_lsp -p)");
    if (!link.toUs && !(flags & JackPortIsInput))
        return fault("JACK port " + quoted(link.external) +
                     " sends audio; --out wants ports that take audio in (inputs in jack_lsp -p)");
    const std::string ours = jack_port_name(ports_[link.ours]);
    const std::string& from = link.toUs ? link.external : ours;
    const std::string& to = link.toUs ? ours : link.external;
    const int r = jack_connect(client_, from.c_str(), to.c_str());
    if (r != 0 && r != EEXIST) return fault("cannot connect " + quoted(from) + " to " + quoted(to));
    if (link.announced) console_.line("connected " + quoted(from) + " to " + quoted(to));
    link.made = true;
    link.announced = false;
}

void Engine::tick(double retrySeconds) {
    if (!client_ || !onAir_.load()) return;
    const auto now = std::chrono::steady_clock::now();
    if (const std::uint64_t periods = periods_.load(); periods != lastPeriods_) {
        lastPeriods_ = periods;
        lastProgress_ = now;
    } else if (now - lastProgress_ > std::chrono::duration<double>(kStallSeconds)) {
        std::snprintf(goneReason_, sizeof goneReason_, "no period from it for %g s", kStallSeconds);
        onAir_.store(false);
        serverGone_.store(true, std::memory_order_release);
        return;
    }
    if (firstSeen_.load()) {
        const float load = jack_cpu_load(client_);
        dspLoad_.store(load);
        loadSum_ += load;
        ++loadCount_;
        loadMax_ = std::max(loadMax_, load);
    }
    sinceRetry_ += 0.1;
    if (sinceRetry_ >= retrySeconds) {
        sinceRetry_ = 0.0;
        for (Link& link : links_)
            if (!link.made) connect(link, false);
    }
    // A plug-in may change its latency (after a parameter change, say); JACK then tells the
    // clients downstream. The plug-in writes it in resume, which the buffer-size callback calls.
    int delay = 0;
    {
        std::lock_guard<std::mutex> lock(pluginMutex_);
        delay = std::max(plugin_.initialDelay(), 0);
    }
    if (delay != latency_.load()) {
        latency_.store(delay);
        jack_recompute_total_latencies(client_);
    }
}

long long Engine::waitFirstPeriod(double seconds) const {
    const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!firstSeen_.load(std::memory_order_acquire)) {
        if (std::chrono::steady_clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return firstFrame_.load();
}

double Engine::secondsOnAir() const {
    const int rate = rate_.load();
    return secondsBefore_ + (rate > 0 ? static_cast<double>(sessionFrames_.load()) / rate : 0.0);
}

void Engine::close() {
    if (!client_) return;
    onAir_.store(false);
    // A client the server has dropped cannot be deactivated; closing still frees what libjack
    // holds for it.
    if (!serverGone_.load()) jack_deactivate(client_);
    jack_client_close(client_);
    client_ = nullptr;
    for (auto& p : ports_) p = nullptr;
    secondsBefore_ = secondsOnAir();
    totalPeriods_ += periods_.exchange(0);
    sessionFrames_.store(0);
    for (Link& link : links_) {
        link.made = false;
        link.announced = false;
    }
}

// ---- JACK's threads ----------------------------------------------------------------------

int Engine::onProcess(jack_nframes_t frames, void* self) { return static_cast<Engine*>(self)->process(frames); }

// The audio path. Everything it touches was allocated before activation; the rings take what
// fits and the rest is counted.
int Engine::process(jack_nframes_t nframes) {
    const tools::AllocationProbe* probe = setup_.allocationProbe;
    if (probe) probe->begin();
    inProcess_.store(true);
    const std::size_t n = nframes;
    auto* in = static_cast<float*>(jack_port_get_buffer(ports_[0], nframes));
    auto* left = static_cast<float*>(jack_port_get_buffer(ports_[1], nframes));
    auto* right = static_cast<float*>(jack_port_get_buffer(ports_[2], nframes));
    AudioRing* record = recordRing_.load(std::memory_order_acquire);

    if (n > prepared_.load()) {
        // Only while the plug-in is told a new period length: silence rather than a call it was
        // not prepared for.
        std::memset(left, 0, n * sizeof(float));
        std::memset(right, 0, n * sizeof(float));
        oversize_.fetch_add(1, std::memory_order_relaxed);
        if (record) recordDropped_.fetch_add(n, std::memory_order_relaxed);
    } else {
        inputs_[0] = in;
        outputs_[0] = left;
        outputs_[1] = right;
        plugin_.process(inputs_.data(), outputs_.data(), static_cast<int>(n));
        if (plugin_.outputs() == 1) std::memcpy(right, left, n * sizeof(float));

        if (meterRing_) {
            float* f = meterFrames_.data();
            for (std::size_t i = 0; i < n; ++i) {
                f[3 * i] = in[i];
                f[3 * i + 1] = left[i];
                f[3 * i + 2] = right[i];
            }
            meterDropped_.fetch_add(n - meterRing_->write(f, n), std::memory_order_relaxed);
        }
        if (record) {
            float* f = recordFrames_.data();
            for (std::size_t i = 0; i < n; ++i) {
                f[2 * i] = left[i];
                f[2 * i + 1] = right[i];
            }
            recordDropped_.fetch_add(n - record->write(f, n), std::memory_order_relaxed);
        }
    }
    if (!firstSeen_.load(std::memory_order_relaxed)) {
        firstFrame_.store(jack_last_frame_time(client_), std::memory_order_relaxed);
        firstSeen_.store(true, std::memory_order_release);
    }
    periods_.fetch_add(1, std::memory_order_relaxed);
    sessionFrames_.fetch_add(n, std::memory_order_relaxed);
    inProcess_.store(false, std::memory_order_release);
    if (probe) allocations_.fetch_add(probe->end().allocations, std::memory_order_relaxed);
    return 0;
}

// The plug-in is suspended, told the new period length and resumed, the way VST 2.x wants it.
// JACK stops its cycle for this, but a client's last block may still be running when the news
// arrives: the process callback is held off (prepared_ 0) and its block waited for first.
int Engine::onBufferSize(jack_nframes_t frames, void* self) {
    Engine& e = *static_cast<Engine*>(self);
    const int block = static_cast<int>(frames);
    if (block == e.bufferSize_.load() && e.prepared_.load() == frames) return 0;
    e.prepared_.store(0);
    while (e.inProcess_.load()) std::this_thread::sleep_for(std::chrono::microseconds(100));
    if (frames > e.capacity_) e.prepareBuffers(frames);
    {
        std::lock_guard<std::mutex> lock(e.pluginMutex_);
        e.plugin_.suspend();
        e.plugin_.setBlockSize(block);
        e.plugin_.resume();
    }
    e.bufferSize_.store(block);
    e.prepared_.store(frames, std::memory_order_release);
    e.console_.line("JACK period now " + std::to_string(block) + " frames");
    return 0;
}

int Engine::onSampleRate(jack_nframes_t rate, void* self) {
    Engine& e = *static_cast<Engine*>(self);
    if (static_cast<int>(rate) != e.rate_.load()) e.rateChanged_.store(true);
    return 0;
}

int Engine::onXrun(void* self) {
    static_cast<Engine*>(self)->xruns_.fetch_add(1, std::memory_order_relaxed);
    return 0;
}

// Output latency = input latency + the plug-in's delay, both ways: capture latency flows
// downstream from our input to our outputs, playback latency upstream from our outputs.
void Engine::onLatency(jack_latency_callback_mode_t mode, void* self) {
    Engine& e = *static_cast<Engine*>(self);
    const auto delay = static_cast<jack_nframes_t>(e.latency_.load());
    jack_latency_range_t range{};
    if (mode == JackCaptureLatency) {
        jack_port_get_latency_range(e.ports_[0], JackCaptureLatency, &range);
        range.min += delay;
        range.max += delay;
        jack_port_set_latency_range(e.ports_[1], JackCaptureLatency, &range);
        jack_port_set_latency_range(e.ports_[2], JackCaptureLatency, &range);
    } else {
        jack_latency_range_t left{}, right{};
        jack_port_get_latency_range(e.ports_[1], JackPlaybackLatency, &left);
        jack_port_get_latency_range(e.ports_[2], JackPlaybackLatency, &right);
        range.min = std::min(left.min, right.min) + delay;
        range.max = std::max(left.max, right.max) + delay;
        jack_port_set_latency_range(e.ports_[0], JackPlaybackLatency, &range);
    }
}

// Runs on one of libjack's threads, like a signal handler: keep the reason, raise the flag.
void Engine::onShutdown(jack_status_t, const char* reason, void* self) {
    Engine& e = *static_cast<Engine*>(self);
    std::size_t i = 0;
    for (; reason && reason[i] && i + 1 < sizeof e.goneReason_; ++i) e.goneReason_[i] = reason[i];
    e.goneReason_[i] = '\0';
    e.onAir_.store(false);
    e.serverGone_.store(true, std::memory_order_release);
}

}  // namespace orvex::live

#pragma once
// The JACK side of orvex-live: one client with an input port and two output ports, whose
// process callback runs the loaded plug-in on JACK's buffers and hands the audio to the meter
// and recorder rings.
//
// Threads:
//   main thread    open, start, tick, close; the plug-in is suspended and resumed only here (and
//                  in the buffer-size callback), under the plug-in mutex;
//   JACK's process thread   process(): no allocation, lock, system call, I/O or exception;
//   JACK's notification thread   buffer size (JACK stops the cycle while it runs), sample rate,
//                  xruns, latency, shutdown: they set flags and counters the main thread reads.
#include <jack/jack.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "tools/common/alloc_counter.h"
#include "tools/common/vst_loader.h"
#include "tools/live/console.h"
#include "tools/live/ring.h"

namespace orvex::live {

// A fault that retrying cannot mend (an unknown port at start, a client name in use).
class LiveError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

struct EngineSetup {
    std::string clientName = "orvex";
    std::string serverName;             // empty: libjack's default ($JACK_DEFAULT_SERVER, "default")
    std::vector<std::string> inPorts;   // ports that feed our input
    std::vector<std::string> outPorts;  // none, or the two ports our outputs feed
    bool verbose = false;               // let libjack's own messages through
    // Count heap allocations inside the process callback (the probe of the allocation counter).
    const tools::AllocationProbe* allocationProbe = nullptr;
};

class Engine {
public:
    Engine(tools::PluginInstance& plugin, std::mutex& pluginMutex, EngineSetup setup, Console& console);
    ~Engine();
    Engine(const Engine&) = delete;
    Engine& operator=(const Engine&) = delete;

    // Rings the process callback fills: the meter gets input, left, right; the recorder left,
    // right. Either may be null. Set before start(); the recorder may be stopped any time.
    void setMeterRing(AudioRing* ring) { meterRing_ = ring; }
    void setRecorderRing(AudioRing* ring, int rate);
    void stopRecording() { recordRing_.store(nullptr, std::memory_order_release); }

    // Registers the client and its ports and sets the plug-in to JACK's rate and buffer size.
    // False when no server answers (nothing printed). Throws LiveError for a name in use when
    // `firstTime`; later it reports and returns false, to be tried again.
    bool open(bool firstTime);
    // Activates and connects. `strict` (the first start): an unknown or wrong-way port, or a
    // client JACK will not activate, is a LiveError. Otherwise ports are waited for (tick() tries
    // again every `retrySeconds`), and a failed activation closes the client and returns false,
    // to be tried again.
    bool start(bool strict);
    bool isOpen() const { return client_ != nullptr; }
    // The server shut the client down, or changed its rate: close and open again.
    bool needsReopen() const { return serverGone_.load() || rateChanged_.load(); }
    bool serverGone() const { return serverGone_.load(); }
    // Why the server shut the client down (libjack's words).
    std::string goneReason() const;
    // Closes the client (also one the server has dropped).
    void close();
    // Main thread, about ten times a second: pending connections, latency changes, DSP load,
    // and a server that has stopped running the cycle without saying so (PipeWire's JACK
    // library, for one, does not always report that its server went away): no period for
    // kStallSeconds counts as the server gone.
    void tick(double retrySeconds);
    static constexpr double kStallSeconds = 5.0;

    // Waits up to `seconds` for the first process cycle; its JACK frame time, or -1.
    long long waitFirstPeriod(double seconds) const;

    // What the meters and the summary read.
    int rate() const { return rate_.load(); }
    int bufferSize() const { return bufferSize_.load(); }
    int latency() const { return latency_.load(); }
    bool onAir() const { return onAir_.load(); }
    std::uint64_t xruns() const { return xruns_.load(); }
    float dspLoad() const { return dspLoad_.load(); }
    double meanDspLoad() const { return loadCount_ ? loadSum_ / static_cast<double>(loadCount_) : 0.0; }
    float maxDspLoad() const { return loadMax_; }
    double secondsOnAir() const;
    std::uint64_t periods() const { return totalPeriods_ + periods_.load(); }
    std::uint64_t recordDropped() const { return recordDropped_.load(); }
    std::uint64_t allocations() const { return allocations_.load(); }
    std::uint64_t oversizePeriods() const { return oversize_.load(); }
    const std::string& serverLabel() const { return serverLabel_; }
    std::string portName(int which) const;  // 0 input, 1 left, 2 right: full JACK names

private:
    struct Link {
        std::string external;  // the other client's port
        bool toUs;             // it feeds our input (else our output feeds it)
        int ours;              // 0 in, 1 left, 2 right
        bool made = false;
        bool announced = false;  // "waiting for" printed
    };

    static int onProcess(jack_nframes_t frames, void* self);
    static int onBufferSize(jack_nframes_t frames, void* self);
    static int onSampleRate(jack_nframes_t rate, void* self);
    static int onXrun(void* self);
    static void onLatency(jack_latency_callback_mode_t mode, void* self);
    static void onShutdown(jack_status_t code, const char* reason, void* self);

    int process(jack_nframes_t frames);
    void prepareBuffers(std::size_t frames);
    void connect(Link& link, bool strict);

    tools::PluginInstance& plugin_;
    std::mutex& pluginMutex_;
    EngineSetup setup_;
    Console& console_;
    std::string serverLabel_;
    std::vector<Link> links_;

    jack_client_t* client_ = nullptr;
    jack_port_t* ports_[3] = {nullptr, nullptr, nullptr};

    // Buffers the process callback uses, sized for `capacity_` frames before activation.
    std::size_t capacity_ = 0;
    // Frames a period may have; 0 while the plug-in is being told a new period length. The
    // process callback raises inProcess_ before it looks at prepared_, the buffer-size callback
    // lowers prepared_ and then waits for inProcess_ to fall: whichever comes second sees the
    // other, so the plug-in is never reconfigured under a running block, whatever order the
    // server's threads keep.
    std::atomic<std::size_t> prepared_{0};
    std::atomic<bool> inProcess_{false};
    std::vector<float> silence_;            // the plug-in's inputs past the first
    std::vector<std::vector<float>> spare_; // its outputs past the second
    std::vector<float> meterFrames_, recordFrames_;
    std::vector<float*> inputs_, outputs_;

    AudioRing* meterRing_ = nullptr;
    std::atomic<AudioRing*> recordRing_{nullptr};
    int recordRate_ = 0;

    std::atomic<int> rate_{0}, bufferSize_{0}, latency_{0};
    std::atomic<bool> onAir_{false}, serverGone_{false}, rateChanged_{false};
    char goneReason_[256] = {};  // written by the shutdown callback before serverGone_ is raised
    std::atomic<bool> firstSeen_{false};
    std::atomic<std::uint32_t> firstFrame_{0};
    std::atomic<std::uint64_t> xruns_{0}, periods_{0}, sessionFrames_{0}, recordDropped_{0},
        meterDropped_{0}, allocations_{0}, oversize_{0};
    std::atomic<float> dspLoad_{0.0f};

    // Main thread only.
    std::uint64_t totalPeriods_ = 0;
    double secondsBefore_ = 0.0;  // on air in earlier sessions
    double loadSum_ = 0.0;
    std::uint64_t loadCount_ = 0;
    float loadMax_ = 0.0f;
    double sinceRetry_ = 0.0;
    bool refusedAnnounced_ = false;
    std::uint64_t lastPeriods_ = 0;
    std::chrono::steady_clock::time_point lastProgress_{};
};

}  // namespace orvex::live

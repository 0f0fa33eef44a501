#pragma once
// What the orvex-live tests share: a JACK server of their own (dummy backend, a unique name,
// stopped by its process id), orvex-live run as a process, a JACK test client that plays a
// programme and records what comes back, and the offline render the recording is held against.
#include <jack/jack.h>

#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvex::test {

// `jackd -n NAME -d dummy -r RATE -p PERIOD` with JACK_NO_AUDIO_RESERVATION=1.
// `synchronous` adds -S: the server then waits for every client in every cycle, so that a cycle
// a busy machine starts late is late rather than lost to some clients (as in the default
// asynchronous mode, where a late client's period is skipped).
class JackServer {
public:
    static bool installed();  // jackd on PATH
    // `startNow` false: only the name is chosen; start() brings the server up.
    explicit JackServer(int period = 256, bool startNow = true, int rate = 48000, bool synchronous = false);
    ~JackServer();
    const std::string& name() const { return name_; }
    void start();  // and wait until clients can connect
    void stop();   // SIGTERM by process id, SIGKILL after 5 s
    bool running() const { return pid_ > 0; }
    pid_t pid() const { return pid_; }

private:
    std::string name_;
    int period_;
    int rate_;
    bool synchronous_;
    pid_t pid_ = -1;
    std::string log_;
};

// A program run with its standard output and error in one log file.
class Program {
public:
    Program(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& logPath);
    ~Program();
    // Polls the log for `text` for up to `seconds`; false when it does not come or the program
    // has ended without printing it.
    bool waitFor(const std::string& text, double seconds, std::size_t from = 0);
    std::string log() const;
    bool running();
    // SIGTERM, then waits; the exit status, 128+signal for a death by signal, -1 on time-out.
    int stop(double seconds = 20.0);
    // Waits for the program to end by itself.
    int wait(double seconds = 20.0);
    pid_t pid() const { return pid_; }

private:
    pid_t pid_ = -1;
    int status_ = -1;
    std::string logPath_;
};

// The number after `label` in `text` (its last occurrence after `from`), if any.
std::optional<long long> numberAfter(const std::string& text, const std::string& label, std::size_t from = 0);

// A JACK client of the test's own: "play" sends the programme from the cycle after play() is
// called, "rec_L"/"rec_R" record from that same cycle on.
class TestClient {
public:
    TestClient(const std::string& server, const std::string& name, std::size_t recordFrames);
    ~TestClient();
    std::string port(const std::string& shortName) const { return name_ + ":" + shortName; }
    jack_client_t* client() const { return client_; }
    // Connections on one of our ports.
    int connections(const std::string& shortName) const;
    // Waits until every port has at least one connection.
    bool waitConnected(double seconds) const;

    void play(const std::vector<float>& programme);
    // The JACK frame time of the cycle the programme started in (waits for it).
    std::uint32_t playStartFrame() const;
    bool waitRecorded(std::size_t frames, double seconds) const;
    std::size_t recorded() const { return recorded_.load(); }
    const std::vector<float>& left() const { return left_; }
    const std::vector<float>& right() const { return right_; }
    // The cycles ran with a gap, or the server reported an xrun since the client started.
    bool missedCycles() const { return gap_.load() || xruns_.load() > 0; }
    int xruns() const { return xruns_.load(); }
    bool serverGone() const { return gone_.load(); }

private:
    static int process(jack_nframes_t n, void* self);
    static void shutdown(void* self);
    static int xrun(void* self);

    std::string name_;
    jack_client_t* client_ = nullptr;
    jack_port_t* play_ = nullptr;
    jack_port_t* recL_ = nullptr;
    jack_port_t* recR_ = nullptr;
    std::vector<float> programme_;
    std::vector<float> left_, right_;
    std::atomic<int> state_{0};  // 0 idle, 1 asked to play, 2 playing
    std::atomic<std::uint32_t> startFrame_{0};
    std::uint32_t nextFrame_ = 0;
    std::size_t playPos_ = 0;
    std::atomic<std::size_t> recorded_{0};
    std::atomic<bool> gap_{false}, gone_{false};
    std::atomic<int> xruns_{0};
};

// Latency of a port as JACK reports it (the minimum of the range).
jack_nframes_t portLatency(jack_client_t* client, const std::string& port, jack_latency_callback_mode_t mode);

// Ten seconds (or `seconds`) of the demo programme from 7 s on: speech, music, the transient.
std::vector<float> testProgramme(double seconds);

// The offline render of `input` through Orvex with block 256 and the latency kept: the left and
// right outputs.
struct Render {
    std::vector<float> left, right;
};
Render renderOffline(const std::string& dir, const std::vector<float>& input);

// Holds the test client's recording against the offline render of the same input as orvex-live
// heard it: silence from its first period (`liveFirst`) until the programme reached it, then the
// programme. The graph adds whole periods between the test client and orvex-live, and between
// orvex-live and the test client; both are searched, not assumed. A description of the match,
// or of the failure.
struct Alignment {
    bool matched = false;
    long long feedLag = -1, returnLag = -1;  // frames: test client -> orvex-live, orvex-live -> test client
    std::size_t frames = 0;                  // frames compared
    std::string text;
};
Alignment alignWithOffline(const std::string& dir, const std::vector<float>& programme, std::uint32_t liveFirst,
                           std::uint32_t feedStart, const std::vector<float>& recLeft,
                           const std::vector<float>& recRight, std::size_t recorded, int period = 256);

}  // namespace orvex::test

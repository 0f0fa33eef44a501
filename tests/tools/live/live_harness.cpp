#include "tests/tools/live/live_harness.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "tests/tools/tool_test_support.h"
#include "tools/render/demo.h"
#include "tools/render/render.h"

namespace orvex::test {
namespace {

using Clock = std::chrono::steady_clock;

void quiet(const char*) {}

using orvex::test::slurp;

// Waits for `pid` up to `seconds`; its raw wait status, or -1.
int waitPid(pid_t pid, double seconds) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        int status = 0;
        const pid_t r = ::waitpid(pid, &status, WNOHANG);
        if (r == pid) return status;
        if (r < 0) return -1;
        if (Clock::now() >= until) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

int exitCode(int status) {
    if (status < 0) return -1;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    if (WIFSIGNALED(status)) return 128 + WTERMSIG(status);
    return -1;
}

pid_t spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& logPath) {
    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        // A test that dies (an assertion that aborts, a sanitizer report) takes its servers and
        // programs with it instead of leaving them running.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        const int fd = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (fd >= 0) {
            ::dup2(fd, STDOUT_FILENO);
            ::dup2(fd, STDERR_FILENO);
            ::close(fd);
        }
        const int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0) ::dup2(null, STDIN_FILENO);
        for (const auto& e : env) ::putenv(const_cast<char*>(e.c_str()));
        std::vector<char*> args;
        for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
        args.push_back(nullptr);
        ::execvp(args[0], args.data());
        std::fprintf(stderr, "cannot run %s: %s\n", args[0], std::strerror(errno));
        ::_exit(127);
    }
    return pid;
}

}  // namespace

// ---- JackServer ------------------------------------------------------------------------------

bool JackServer::installed() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(path ? path : "/usr/bin:/bin");
    for (std::string dir; std::getline(dirs, dir, ':');)
        if (!dir.empty() && ::access((dir + "/jackd").c_str(), X_OK) == 0) return true;
    return false;
}

JackServer::JackServer(int period, bool startNow, int rate, bool synchronous)
    : period_(period), rate_(rate), synchronous_(synchronous) {
    static std::atomic<int> counter{0};
    name_ = "orvex-test-" + std::to_string(::getpid()) + "-" + std::to_string(counter++);
    log_ = "/tmp/" + name_ + ".log";
    jack_set_error_function(quiet);
    jack_set_info_function(quiet);
    if (startNow) start();
}

JackServer::~JackServer() {
    stop();
    std::remove(log_.c_str());
}

void JackServer::start() {
    if (pid_ > 0) return;
    pid_ = spawn(synchronous_ ? std::vector<std::string>{"jackd", "-S", "-n", name_, "-d", "dummy", "-r", std::to_string(rate_), "-p",
                                                    std::to_string(period_)}
                              : std::vector<std::string>{"jackd", "-n", name_, "-d", "dummy", "-r", std::to_string(rate_),
                                                         "-p", std::to_string(period_)},
                 {"JACK_NO_AUDIO_RESERVATION=1"}, log_);
    const auto until = Clock::now() + std::chrono::seconds(10);
    while (Clock::now() < until) {
        jack_status_t status{};
        jack_client_t* probe = jack_client_open(
            "probe", static_cast<jack_options_t>(JackNoStartServer | JackServerName), &status, name_.c_str());
        if (probe) {
            jack_client_close(probe);
            return;
        }
        int s = 0;
        if (::waitpid(pid_, &s, WNOHANG) == pid_) {
            pid_ = -1;
            throw std::runtime_error("jackd ended at start: " + slurp(log_));
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stop();
    throw std::runtime_error("jackd " + name_ + " did not come up within 10 s");
}

void JackServer::stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    if (waitPid(pid_, 5.0) < 0) {
        ::kill(pid_, SIGKILL);
        waitPid(pid_, 5.0);
    }
    pid_ = -1;
}

// ---- Program --------------------------------------------------------------------------------

Program::Program(const std::vector<std::string>& argv, const std::vector<std::string>& env, const std::string& logPath)
    : logPath_(logPath) {
    pid_ = spawn(argv, env, logPath);
}

Program::~Program() {
    if (pid_ > 0 && running()) {
        ::kill(pid_, SIGKILL);
        waitPid(pid_, 5.0);
    }
}

std::string Program::log() const { return slurp(logPath_); }

bool Program::running() {
    if (pid_ <= 0 || status_ >= 0) return false;
    int s = 0;
    if (::waitpid(pid_, &s, WNOHANG) == pid_) {
        status_ = exitCode(s);
        return false;
    }
    return true;
}

bool Program::waitFor(const std::string& text, double seconds, std::size_t from) {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    for (;;) {
        const bool alive = running();
        const std::string l = log();
        if (l.size() > from && l.find(text, from) != std::string::npos) return true;
        if (!alive || Clock::now() >= until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

int Program::stop(double seconds) {
    if (running()) ::kill(pid_, SIGTERM);
    return wait(seconds);
}

int Program::wait(double seconds) {
    if (status_ >= 0) return status_;
    const int s = waitPid(pid_, seconds);
    if (s < 0) return -1;
    status_ = exitCode(s);
    return status_;
}

std::optional<long long> numberAfter(const std::string& text, const std::string& label, std::size_t from) {
    const auto at = text.rfind(label);
    if (at == std::string::npos || at < from) return std::nullopt;
    const char* p = text.c_str() + at + label.size();
    char* end = nullptr;
    const long long v = std::strtoll(p, &end, 10);
    if (end == p) return std::nullopt;
    return v;
}

// ---- TestClient -----------------------------------------------------------------------------

TestClient::TestClient(const std::string& server, const std::string& name, std::size_t recordFrames)
    : name_(name), left_(recordFrames, 0.0f), right_(recordFrames, 0.0f) {
    jack_status_t status{};
    client_ = jack_client_open(name.c_str(),
                               static_cast<jack_options_t>(JackNoStartServer | JackServerName | JackUseExactName),
                               &status, server.c_str());
    if (!client_) throw std::runtime_error("the test client cannot reach JACK server " + server);
    play_ = jack_port_register(client_, "play", JACK_DEFAULT_AUDIO_TYPE, JackPortIsOutput, 0);
    recL_ = jack_port_register(client_, "rec_L", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    recR_ = jack_port_register(client_, "rec_R", JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    jack_set_process_callback(client_, process, this);
    jack_on_shutdown(client_, shutdown, this);
    jack_set_xrun_callback(client_, xrun, this);
    if (!play_ || !recL_ || !recR_ || jack_activate(client_) != 0) {
        jack_client_close(client_);
        throw std::runtime_error("the test client cannot register or activate");
    }
}

TestClient::~TestClient() {
    if (!gone_.load()) jack_deactivate(client_);
    jack_client_close(client_);
}

int TestClient::connections(const std::string& shortName) const {
    jack_port_t* p = shortName == "play" ? play_ : shortName == "rec_L" ? recL_ : recR_;
    return jack_port_connected(p);
}

bool TestClient::waitConnected(double seconds) const {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (Clock::now() < until) {
        if (connections("play") > 0 && connections("rec_L") > 0 && connections("rec_R") > 0) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

void TestClient::play(const std::vector<float>& programme) {
    programme_ = programme;
    recorded_.store(0);
    state_.store(1, std::memory_order_release);
}

std::uint32_t TestClient::playStartFrame() const {
    while (state_.load(std::memory_order_acquire) != 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return startFrame_.load();
}

bool TestClient::waitRecorded(std::size_t frames, double seconds) const {
    const auto until = Clock::now() + std::chrono::duration<double>(seconds);
    while (recorded_.load() < frames) {
        if (Clock::now() >= until || gone_.load()) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

int TestClient::process(jack_nframes_t n, void* self) {
    TestClient& c = *static_cast<TestClient*>(self);
    const std::uint32_t frame = jack_last_frame_time(c.client_);
    auto* out = static_cast<float*>(jack_port_get_buffer(c.play_, n));
    int state = c.state_.load(std::memory_order_acquire);
    if (state == 1) {
        c.startFrame_.store(frame);
        c.nextFrame_ = frame;
        c.playPos_ = 0;
        c.state_.store(state = 2, std::memory_order_release);
    }
    if (state != 2) {
        std::memset(out, 0, n * sizeof(float));
        return 0;
    }
    if (frame != c.nextFrame_) c.gap_.store(true);
    c.nextFrame_ = frame + n;
    for (jack_nframes_t i = 0; i < n; ++i, ++c.playPos_)
        out[i] = c.playPos_ < c.programme_.size() ? c.programme_[c.playPos_] : 0.0f;
    const std::size_t at = c.recorded_.load(std::memory_order_relaxed);
    const std::size_t take = std::min<std::size_t>(n, c.left_.size() - at);
    std::memcpy(c.left_.data() + at, jack_port_get_buffer(c.recL_, n), take * sizeof(float));
    std::memcpy(c.right_.data() + at, jack_port_get_buffer(c.recR_, n), take * sizeof(float));
    c.recorded_.store(at + take, std::memory_order_release);
    return 0;
}

void TestClient::shutdown(void* self) { static_cast<TestClient*>(self)->gone_.store(true); }

int TestClient::xrun(void* self) {
    // From the client's start: a period lost before the programme starts shifts it as much as
    // one lost while it plays.
    static_cast<TestClient*>(self)->xruns_.fetch_add(1);
    return 0;
}

jack_nframes_t portLatency(jack_client_t* client, const std::string& port, jack_latency_callback_mode_t mode) {
    jack_port_t* p = jack_port_by_name(client, port.c_str());
    if (!p) throw std::runtime_error("no port " + port);
    jack_latency_range_t r{};
    jack_port_get_latency_range(p, mode, &r);
    return r.min;
}

// ---- the offline side ------------------------------------------------------------------------

std::vector<float> testProgramme(double seconds) {
    const std::vector<float> demo = tools::synthesiseDemo(48000);
    const auto from = static_cast<std::size_t>(7.0 * 48000);
    const auto n = static_cast<std::size_t>(seconds * 48000);
    return std::vector<float>(demo.begin() + static_cast<long>(from), demo.begin() + static_cast<long>(from + n));
}

Render renderOffline(const std::string& dir, const std::vector<float>& input) {
    static int counter = 0;
    const std::string in = dir + "/offline-in-" + std::to_string(counter) + ".wav";
    const std::string out = dir + "/offline-out-" + std::to_string(counter++) + ".wav";
    writeAudio(in, 48000, 1, input);
    tools::RenderOptions o;
    o.pluginPath = ORVEX_MODULE_PATH;
    o.inputPath = in;
    o.outputPath = out;
    o.blockSize = 256;
    o.keepLatency = true;
    o.format = tools::SampleFormat::Float32;
    tools::render(o);
    const Audio a = readAudio(out);
    std::remove(in.c_str());
    std::remove(out.c_str());
    return {a.channel(0), a.channel(1)};
}

Alignment alignWithOffline(const std::string& dir, const std::vector<float>& programme, std::uint32_t liveFirst,
                           std::uint32_t feedStart, const std::vector<float>& recLeft,
                           const std::vector<float>& recRight, std::size_t recorded, int period) {
    Alignment a;
    const long long base = static_cast<long long>(feedStart) - static_cast<long long>(liveFirst);
    if (base < 0) {
        a.text = "the feed started before orvex-live's first period";
        return a;
    }
    std::ostringstream report;
    std::size_t bestPrefix = 0;
    std::string best;
    for (int f = 0; f < 4 && !a.matched; ++f) {
        const long long feedLag = static_cast<long long>(f) * period;
        std::vector<float> input(static_cast<std::size_t>(base + feedLag), 0.0f);
        input.insert(input.end(), programme.begin(), programme.end());
        input.resize(input.size() + recorded + static_cast<std::size_t>(4 * period), 0.0f);
        const Render r = renderOffline(dir, input);
        for (int g = 0; g <= 4; ++g) {
            const long long returnLag = static_cast<long long>(g) * period;
            // The recording's frame j is orvex-live's output frame base + j - returnLag.
            const long long offset = base - returnLag;
            if (offset < 0 || static_cast<std::size_t>(offset) + recorded > r.left.size()) continue;
            std::size_t j = 0;
            while (j < recorded &&
                   std::memcmp(&recLeft[j], &r.left[static_cast<std::size_t>(offset) + j], sizeof(float)) == 0 &&
                   std::memcmp(&recRight[j], &r.right[static_cast<std::size_t>(offset) + j], sizeof(float)) == 0)
                ++j;
            if (j == recorded) {
                a.matched = true;
                a.feedLag = feedLag;
                a.returnLag = returnLag;
                a.frames = recorded;
                break;
            }
            if (j >= bestPrefix) {
                bestPrefix = j;
                std::ostringstream b;
                b << "best candidate: feed lag " << feedLag << ", return lag " << returnLag << ": equal for " << j
                  << " of " << recorded << " frames; at frame " << j << " recorded " << recLeft[j] << "/"
                  << recRight[j] << ", offline " << r.left[static_cast<std::size_t>(offset) + j] << "/"
                  << r.right[static_cast<std::size_t>(offset) + j];
                best = b.str();
            }
        }
    }
    if (a.matched) {
        report << "bit-identical over " << a.frames << " frames with the feed " << a.feedLag
               << " frames late at orvex-live and its output " << a.returnLag << " frames late at the test client";
    } else {
        report << "no alignment matches; " << best;
    }
    a.text = report.str();
    return a;
}

}  // namespace orvex::test

// orvex-live against a real JACK server of the test's own (dummy backend, 48 kHz, 256-frame
// periods): a test client plays a programme into it and records what comes back, which must
// equal the offline render bit for bit; the server is stopped and started again under it; its
// ports, latency, OSC control, recording and meters are checked as a user sees them.
#include <gtest/gtest.h>

#include <lo/lo.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstring>
#include <map>
#include <memory>
#include <thread>

#include "tests/tools/live/live_harness.h"
#include "tests/tools/tool_test_support.h"

using namespace orvex::test;

namespace {

constexpr int kRate = 48000;
constexpr int kOrvexLatency = 3552;
constexpr float kCeiling = 0.8912509f;

std::vector<std::string> join(std::vector<std::string> a, const std::vector<std::string>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

std::size_t countLines(const std::string& text, const std::string& needle) {
    std::size_t n = 0;
    for (auto at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) ++n;
    return n;
}

class LiveJack : public ::testing::Test {
protected:
    void SetUp() override {
        if (!JackServer::installed())
            GTEST_SKIP() << "jackd is not installed (Debian package jackd2): no JACK server to test orvex-live against";
        server_ = std::make_unique<JackServer>(256, startServer_, serverRate_);
    }

    std::vector<std::string> env() const {
        return {"JACK_DEFAULT_SERVER=" + server_->name(), "JACK_NO_AUDIO_RESERVATION=1"};
    }

    std::unique_ptr<Program> live(const std::vector<std::string>& args, std::vector<std::string> extraEnv = {},
                                  const std::string& logName = "live.log") {
        std::vector<std::string> argv = {ORVEX_LIVE};
        argv.insert(argv.end(), args.begin(), args.end());
        std::vector<std::string> e = env();
        e.insert(e.end(), extraEnv.begin(), extraEnv.end());
        return std::make_unique<Program>(argv, e, dir_.file(logName));
    }

    // --in and --out for the test client.
    static std::vector<std::string> wiredTo(const TestClient& c) {
        return {"--in", c.port("play"), "--out", c.port("rec_L") + "," + c.port("rec_R")};
    }

    // Starts orvex-live and waits for its first period; its JACK frame time.
    static std::uint32_t firstPeriod(Program& p) {
        EXPECT_TRUE(p.waitFor("first period at JACK frame ", 30.0)) << p.log();
        const auto first = numberAfter(p.log(), "first period at JACK frame ");
        EXPECT_TRUE(first.has_value()) << p.log();
        return first ? static_cast<std::uint32_t>(*first) : 0;
    }

    bool startServer_ = true;
    int serverRate_ = kRate;
    TempDir dir_;
    std::unique_ptr<JackServer> server_;
};

// orvex-live fed by the test client with `programme`, recorded back until the programme and the
// plug-in's latency are through, then stopped, and the recording held against the offline render.
struct PlayRun {
    std::unique_ptr<TestClient> client;
    std::string log;
    int status = -1;
    std::uint32_t first = 0, feedStart = 0;
    std::size_t frames = 0;
    Alignment alignment;
};

class LiveJackPlay : public LiveJack {
protected:
    void playOnce(PlayRun& run, const std::vector<float>& programme, const std::vector<std::string>& args,
                  const std::vector<std::string>& extraEnv, const std::string& logName) {
        run.frames = programme.size() + kOrvexLatency + 4096;
        run.client = std::make_unique<TestClient>(server_->name(), "feeder", run.frames);
        auto p = live(join(wiredTo(*run.client), args), extraEnv, logName);
        run.first = firstPeriod(*p);
        ASSERT_TRUE(run.client->waitConnected(10.0)) << p->log();
        run.client->play(programme);
        run.feedStart = run.client->playStartFrame();
        ASSERT_TRUE(run.client->waitRecorded(run.frames, 60.0)) << p->log();
        run.status = p->stop();
        run.log = p->log();
        ASSERT_EQ(run.status, 0) << run.log;
        run.alignment = alignWithOffline(dir_.file(""), programme, run.first, run.feedStart, run.client->left(),
                                         run.client->right(), run.frames);
    }

    // A run in which the server missed its deadline (an xrun) may have lost a period for some
    // clients and not for others; if it then does not match, it proves nothing either way and is
    // repeated, from the second run on with a server in synchronous mode, which makes a late cycle
    // late for all (a busy machine, a sanitizer build). A mismatch without an xrun fails at once.
    void play(PlayRun& run, const std::vector<float>& programme, const std::vector<std::string>& args,
              const std::vector<std::string>& extraEnv = {}) {
        for (int attempt = 1; attempt <= 3; ++attempt) {
            run.client.reset();  // its name is taken until then
            if (attempt == 2) {
                server_.reset();
                server_ = std::make_unique<JackServer>(256, true, kRate, true);
                std::printf("[ live     ] from here on with the server in synchronous mode (jackd -S)\n");
            }
            playOnce(run, programme, args, extraEnv, "run" + std::to_string(attempt) + ".log");
            if (HasFatalFailure() || run.alignment.matched || !run.client->missedCycles()) break;
            std::printf("[ live     ] run %d: %d xruns and no match (the machine missed JACK's deadline; %s); again\n",
                        attempt, run.client->xruns(), run.alignment.text.c_str());
        }
        if (HasFatalFailure()) return;
        if (run.client->missedCycles())
            std::printf("[ live     ] %d xruns in the run that was compared\n", run.client->xruns());
        ASSERT_TRUE(run.alignment.matched) << run.alignment.text
                                           << (run.client->missedCycles() ? " (xruns in every run)" : "") << "\n"
                                           << run.log;
        std::printf("[ live     ] %s\n", run.alignment.text.c_str());
    }
};

// The audio path as a whole: the test client's recording of a 10 s programme equals the offline
// render of what orvex-live heard (its silence from the first period on, then the programme),
// the recording file equals what the test client received, JACK reports the plug-in's latency
// on the outputs, and the process callback does not allocate.
TEST_F(LiveJackPlay, OutputEqualsTheOfflineRenderAndTheRecordingFile) {
    const std::vector<float> programme = testProgramme(10.0);
    const std::string file = dir_.file("on-air.wav");
    PlayRun run;
    play(run, programme, {"--record", file, "--format", "float", "--count-allocations"});
    if (HasFatalFailure()) return;
    const std::string& log = run.log;
    const Alignment& a = run.alignment;
    const auto load = log.find("DSP load");
    if (load != std::string::npos)
        std::printf("[ live     ] JACK's %s\n", log.substr(load, log.find(';', load) - load).c_str());

    // The file holds every period from the first one: the test client's frame j is the file's
    // frame (feedStart - first) + j - returnLag.
    const Audio rec = readAudio(file);
    ASSERT_EQ(rec.channels, 2);
    const auto periods = numberAfter(log, "periods ");
    ASSERT_TRUE(periods.has_value()) << log;
    EXPECT_EQ(rec.frames(), static_cast<std::size_t>(*periods) * 256) << log;
    EXPECT_EQ(numberAfter(log, "frames written, "), 0) << log;  // dropped
    const std::size_t offset = run.feedStart - run.first - static_cast<std::size_t>(a.returnLag);
    ASSERT_GE(rec.frames(), offset + run.frames);
    const std::vector<float> recL = rec.channel(0), recR = rec.channel(1);
    EXPECT_EQ(std::memcmp(recL.data() + offset, run.client->left().data(), run.frames * sizeof(float)), 0);
    EXPECT_EQ(std::memcmp(recR.data() + offset, run.client->right().data(), run.frames * sizeof(float)), 0);

    if (log.find("heap allocations in the process callback ") == std::string::npos) {
        std::printf("[ live     ] allocations not counted in this build (sanitizer allocator)\n");
    } else {
        EXPECT_EQ(numberAfter(log, "heap allocations in the process callback "), 0) << log;
        EXPECT_GE(*periods, 10LL * kRate / 256) << "fewer than 10 s of periods counted";
    }
}

// Capture latency flows downstream: orvex:out_* = orvex:in + the plug-in's delay.
TEST_F(LiveJack, ReportsThePluginLatencyToJack) {
    TestClient client(server_->name(), "feeder", 0);
    auto p = live(wiredTo(client));
    firstPeriod(*p);
    ASSERT_TRUE(client.waitConnected(10.0)) << p->log();
    jack_client_t* c = client.client();
    for (const char* out : {"orvex:out_L", "orvex:out_R"})
        EXPECT_EQ(portLatency(c, out, JackCaptureLatency) - portLatency(c, "orvex:in", JackCaptureLatency),
                  static_cast<jack_nframes_t>(kOrvexLatency))
            << out;
    EXPECT_EQ(p->stop(), 0) << p->log();
}

// A recorder whose disk is slow loses frames, counted and reported, while the audio path keeps
// every sample: the test client's recording still equals the offline render.
TEST_F(LiveJackPlay, ASlowWriterDropsRecordedFramesButNotAudio) {
    const std::vector<float> programme = testProgramme(4.0);
    const std::string file = dir_.file("slow.flac");
    PlayRun run;
    play(run, programme, {"--record", file, "--record-buffer", "0.5"}, {"ORVEX_LIVE_TEST_WRITER_DELAY_MS=300"});
    if (HasFatalFailure()) return;
    const std::string& log = run.log;

    EXPECT_NE(log.find("the writer is behind"), std::string::npos) << log;
    const auto written = numberAfter(log, "recording ");
    const auto dropped = numberAfter(log, "frames written, ");
    const auto periods = numberAfter(log, "periods ");
    ASSERT_TRUE(written && dropped && periods) << log;
    EXPECT_GT(*dropped, 0) << log;
    EXPECT_EQ(*written + *dropped, *periods * 256) << log;
    const Audio rec = readAudio(file);
    EXPECT_EQ(rec.frames(), static_cast<std::size_t>(*written));
    EXPECT_EQ(rec.channels, 2);
}

// The server is stopped under orvex-live and started again: it says so, registers again,
// restores its connections once the test client is back and processes again; it ends cleanly
// (in the sanitizer build, without a leak or an error).
TEST_F(LiveJack, ComesBackWhenTheServerReturns) {
    auto client = std::make_unique<TestClient>(server_->name(), "feeder", 4096);
    auto p = live(join(wiredTo(*client), {"--retry", "0.5"}));
    firstPeriod(*p);
    ASSERT_TRUE(client->waitConnected(10.0)) << p->log();

    server_->stop();
    ASSERT_TRUE(p->waitFor("went away", 10.0)) << p->log();
    client.reset();
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));  // a few retries against no server
    EXPECT_TRUE(p->running());
    server_->start();
    ASSERT_TRUE(p->waitFor("back on air", 15.0)) << p->log();

    const std::vector<float> programme = testProgramme(2.0);
    const std::size_t frames = programme.size() + kOrvexLatency + 4096;
    client = std::make_unique<TestClient>(server_->name(), "feeder", frames);
    ASSERT_TRUE(client->waitConnected(10.0)) << p->log();
    client->play(programme);
    ASSERT_TRUE(client->waitRecorded(frames, 30.0)) << p->log();

    double energy = 0.0;
    float peak = 0.0f;
    for (std::size_t i = 0; i < frames; ++i) {
        ASSERT_TRUE(std::isfinite(client->left()[i]) && std::isfinite(client->right()[i]));
        energy += client->left()[i] * client->left()[i];
        peak = std::max({peak, std::fabs(client->left()[i]), std::fabs(client->right()[i])});
    }
    EXPECT_GT(std::sqrt(energy / frames), 0.01) << "no processed audio after the server came back";
    EXPECT_LE(peak, kCeiling);

    EXPECT_EQ(p->stop(), 0) << p->log();
    const std::string log = p->log();
    EXPECT_EQ(numberAfter(log, "reconnections "), 1) << log;
    EXPECT_EQ(countLines(log, "went away"), 1u) << log;
    // The test client came back after orvex-live: its ports were waited for, once each.
    EXPECT_EQ(countLines(log, "waiting for JACK port"), 3u) << log;
    EXPECT_NE(log.find("connected \"feeder:play\" to \"orvex:in\""), std::string::npos) << log;
    EXPECT_NE(log.find("connected \"orvex:out_R\" to \"feeder:rec_R\""), std::string::npos) << log;
}

// A server that stops running the cycle without going away (stopped here with SIGSTOP) is taken
// for gone after five silent seconds: orvex-live registers again once it runs, and processes.
TEST_F(LiveJack, ComesBackFromAServerThatStalls) {
    const std::vector<float> programme = testProgramme(1.0);
    const std::size_t frames = programme.size() + kOrvexLatency + 4096;
    TestClient client(server_->name(), "feeder", frames);
    auto p = live(join(wiredTo(client), {"--retry", "0.5"}));
    firstPeriod(*p);
    ASSERT_TRUE(client.waitConnected(10.0)) << p->log();
    ::kill(server_->pid(), SIGSTOP);
    const bool noticed = p->waitFor("(no period from it for 5 s)", 10.0);
    ::kill(server_->pid(), SIGCONT);
    ASSERT_TRUE(noticed) << p->log();
    ASSERT_TRUE(p->waitFor("back on air", 20.0)) << p->log();
    ASSERT_TRUE(client.waitConnected(10.0)) << p->log();
    client.play(programme);
    ASSERT_TRUE(client.waitRecorded(frames, 30.0)) << p->log();
    double energy = 0.0;
    for (std::size_t i = 0; i < frames; ++i) energy += client.left()[i] * client.left()[i];
    EXPECT_GT(std::sqrt(energy / frames), 0.01) << "no processed audio after the stall";
    EXPECT_EQ(p->stop(), 0) << p->log();
    EXPECT_EQ(numberAfter(p->log(), "reconnections "), 1) << p->log();
}

// Ports by the names jack_lsp prints, the latency JACK reports both ways, and the one-line
// errors for ports that do not exist or point the wrong way and for a name in use.
TEST_F(LiveJack, ConnectsNamedPortsAndRefusesBadOnes) {
    auto p = live({"--in", "system:capture_1", "--out", "system:playback_1,system:playback_2"});
    firstPeriod(*p);
    TestClient probe(server_->name(), "probe", 0);
    jack_client_t* c = probe.client();
    jack_port_t* in = jack_port_by_name(c, "orvex:in");
    ASSERT_NE(in, nullptr);
    EXPECT_TRUE(jack_port_connected_to(in, "system:capture_1"));
    EXPECT_TRUE(jack_port_connected_to(jack_port_by_name(c, "orvex:out_L"), "system:playback_1"));
    EXPECT_TRUE(jack_port_connected_to(jack_port_by_name(c, "orvex:out_R"), "system:playback_2"));
    EXPECT_EQ(portLatency(c, "orvex:out_L", JackCaptureLatency),
              portLatency(c, "system:capture_1", JackCaptureLatency) + kOrvexLatency);
    EXPECT_EQ(portLatency(c, "orvex:in", JackPlaybackLatency),
              portLatency(c, "system:playback_1", JackPlaybackLatency) + kOrvexLatency);

    // The name is taken now.
    auto twin = live({}, {}, "twin.log");
    EXPECT_EQ(twin->wait(), 1) << twin->log();
    EXPECT_NE(twin->log().find("already"), std::string::npos) << twin->log();
    EXPECT_EQ(p->stop(), 0) << p->log();

    struct Case {
        std::vector<std::string> args;
        const char* says;
    };
    const std::string file = dir_.file("never.wav");
    const Case cases[] = {
        {{"--in", "system:nowhere", "--record", file}, "unknown JACK port \"system:nowhere\""},
        {{"--out", "system:playback_1,nobody:in"}, "unknown JACK port \"nobody:in\""},
        {{"--in", "system:playback_1"}, "takes audio in"},
        {{"--out", "system:capture_1,system:capture_2"}, "sends audio"},
    };
    for (const Case& k : cases) {
        auto bad = live(k.args, {}, "bad.log");
        EXPECT_EQ(bad->wait(), 1) << bad->log();
        const std::string log = bad->log();
        EXPECT_NE(log.find(k.says), std::string::npos) << log;
        EXPECT_EQ(countLines(log, "JACK port"), 1u) << log;
        EXPECT_EQ(countLines(log, "\n"), 2u) << "the start-up line and one line of error:\n" << log;
    }
    std::vector<std::string> left = dir_.entries();
    std::sort(left.begin(), left.end());
    EXPECT_EQ(left, (std::vector<std::string>{"bad.log", "live.log", "twin.log"})) << "no recording left behind";
}

// No server: waiting, then on air when one appears; with --no-wait, a one-line error.
// The server that appears later runs at 44.1 kHz, which the plug-in follows.
class LiveJackLater : public LiveJack {
protected:
    LiveJackLater() {
        startServer_ = false;
        serverRate_ = 44100;
    }
};

TEST_F(LiveJackLater, WaitsForAServerUnlessToldNotTo) {
    auto refuse = live({"--no-wait"}, {}, "nowait.log");
    EXPECT_EQ(refuse->wait(), 1) << refuse->log();
    EXPECT_NE(refuse->log().find("no JACK server \"" + server_->name() + "\" is running"), std::string::npos)
        << refuse->log();

    auto p = live({"--retry", "0.2"});
    ASSERT_TRUE(p->waitFor("waiting for JACK server", 10.0)) << p->log();
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    server_->start();
    firstPeriod(*p);
    EXPECT_NE(p->log().find("44100 Hz, 256 frames a period, latency 3552 frames"), std::string::npos) << p->log();
    EXPECT_EQ(p->stop(), 0) << p->log();
    EXPECT_EQ(countLines(p->log(), "waiting for JACK server"), 1u) << p->log();
    EXPECT_EQ(numberAfter(p->log(), "reconnections "), 0) << p->log();
}

// A new period length from JACK reaches the plug-in the VST way (the test plug-in writes NaN
// when a block is longer than the size it was told).
TEST_F(LiveJack, FollowsANewPeriodLength) {
    std::vector<float> programme(static_cast<std::size_t>(3 * kRate));
    for (std::size_t i = 0; i < programme.size(); ++i) programme[i] = 0.25f * std::sin(0.05f * static_cast<float>(i));
    TestClient client(server_->name(), "feeder", programme.size());
    auto p = live(join(wiredTo(client), {"--plugin", TEST_PLUGIN_GOOD}));
    firstPeriod(*p);
    ASSERT_TRUE(client.waitConnected(10.0)) << p->log();
    EXPECT_EQ(portLatency(client.client(), "orvex:out_L", JackCaptureLatency) -
                  portLatency(client.client(), "orvex:in", JackCaptureLatency),
              37u);
    client.play(programme);
    ASSERT_EQ(jack_set_buffer_size(client.client(), 1024), 0);
    ASSERT_TRUE(p->waitFor("JACK period now 1024 frames", 10.0)) << p->log();
    ASSERT_TRUE(client.waitRecorded(programme.size(), 30.0)) << p->log();
    const std::size_t half = programme.size() / 2;
    double energy = 0.0;
    for (std::size_t i = 0; i < programme.size(); ++i) {
        ASSERT_TRUE(std::isfinite(client.left()[i])) << "frame " << i;
        if (i >= half) energy += client.left()[i] * client.left()[i];
    }
    EXPECT_GT(energy, 0.0);
    EXPECT_EQ(p->stop(), 0) << p->log();
}

// --meter without a terminal: a line every interval with both ends' loudness and true peak; on a
// terminal the status line instead.
TEST_F(LiveJack, MeterLinesForLogsAndTheTerminal) {
    const std::vector<float> programme = testProgramme(3.0);
    TestClient client(server_->name(), "feeder", programme.size());
    auto p = live(join(wiredTo(client), {"--meter", "--meter-interval", "0.5"}));
    firstPeriod(*p);
    ASSERT_TRUE(client.waitConnected(10.0)) << p->log();
    client.play(programme);
    ASSERT_TRUE(client.waitRecorded(programme.size(), 30.0));
    const std::string log = p->log();
    // The last meter line while the programme played.
    const auto at = log.rfind("meter: in M ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    float inM, inS, inTp, outM, outS, outTp, load;
    unsigned long long xruns;
    ASSERT_EQ(std::sscanf(line.c_str(),
                          "meter: in M %f S %f LUFS TP %f dBTP | out M %f S %f LUFS TP %f dBTP | xruns %llu | DSP %f%%",
                          &inM, &inS, &inTp, &outM, &outS, &outTp, &xruns, &load),
              8)
        << line;
    EXPECT_GT(inM, -40.0f) << line;
    EXPECT_GT(outS, -30.0f) << line;
    EXPECT_LT(outTp, 0.0f) << line;
    EXPECT_GT(load, 0.0f) << line;
    // The plug-in's band gains and output-stage gain on the same line.
    const auto bandsAt = line.find("| band gain dB ");
    ASSERT_NE(bandsAt, std::string::npos) << line;
    float g[12], outGain;
    ASSERT_EQ(std::sscanf(line.c_str() + bandsAt,
                          "| band gain dB %f %f %f %f %f %f %f %f %f %f %f %f | output gain %f dB", &g[0], &g[1], &g[2],
                          &g[3], &g[4], &g[5], &g[6], &g[7], &g[8], &g[9], &g[10], &g[11], &outGain),
              13)
        << line;
    for (float v : g) EXPECT_TRUE(v >= -120.0f && v < 100.0f) << line;
    EXPECT_TRUE(outGain > -60.0f && outGain < 20.0f) << line;
    ::kill(p->pid(), SIGINT);
    EXPECT_EQ(p->wait(), 0) << p->log();
    EXPECT_NE(p->log().find("stopped after "), std::string::npos);

    // On a terminal (script(1) gives it one): one status line, rewritten in place.
    auto tty = std::make_unique<Program>(
        std::vector<std::string>{"script", "-qfec", std::string(ORVEX_LIVE) + " --name tty --meter", "/dev/null"}, env(),
        dir_.file("tty.log"));
    ASSERT_TRUE(tty->waitFor("DSP", 20.0)) << tty->log();
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const std::string screen = tty->log();
    EXPECT_GE(countLines(screen, "\rin M "), 3u) << screen;
    // The band row below it, the status's two lines rewritten together.
    // (The terminal turns each line feed into a carriage return and a line feed.)
    EXPECT_GE(countLines(screen, "\033[K\r\nband gain "), 3u) << screen;
    EXPECT_GE(countLines(screen, "\033[1A"), 2u) << screen;
    EXPECT_NE(screen.find("\033[K"), std::string::npos);
    EXPECT_EQ(screen.find("meter: "), std::string::npos) << "no log lines on a terminal";
    EXPECT_EQ(tty->stop(), 0) << tty->log();
}

// ---- OSC ------------------------------------------------------------------------------------

struct Reply {
    std::string path;
    std::vector<std::string> args;  // every argument as text
};

class OscClient {
public:
    explicit OscClient(int port) {
        server_ = lo_server_new_with_proto(nullptr, LO_UDP, nullptr);
        target_ = lo_address_new("127.0.0.1", std::to_string(port).c_str());
        lo_server_add_method(server_, nullptr, nullptr, collect, this);
    }
    ~OscClient() {
        lo_address_free(target_);
        lo_server_free(server_);
    }
    // Sends and gathers replies until `last` arrives (or 2 s pass).
    std::vector<Reply> ask(const char* path, lo_message m, const std::string& last) {
        replies_.clear();
        lo_send_message_from(target_, server_, path, m);
        lo_message_free(m);
        const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (std::chrono::steady_clock::now() < until) {
            lo_server_recv_noblock(server_, 20);
            if (!replies_.empty() && replies_.back().path == last) break;
        }
        return replies_;
    }
    // Sends without waiting for a reply.
    void tell(const char* path, lo_message m) {
        lo_send_message_from(target_, server_, path, m);
        lo_message_free(m);
    }
    // Everything that arrives within `seconds`.
    std::vector<Reply> listen(double seconds) {
        replies_.clear();
        const auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
        while (std::chrono::steady_clock::now() < until) lo_server_recv_noblock(server_, 10);
        return replies_;
    }
    void raw(const void* data, std::size_t size, int port) {
        const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<std::uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::sendto(s, data, size, 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        ::close(s);
    }

private:
    static int collect(const char* path, const char* types, lo_arg** argv, int argc, lo_message, void* self) {
        Reply r{path, {}};
        for (int i = 0; i < argc; ++i) {
            // Arguments sit 4-byte aligned in the packet: copied out, not read through lo_arg.
            std::int32_t n = 0;
            float f = 0.0f;
            switch (types[i]) {
                case LO_STRING: r.args.push_back(reinterpret_cast<const char*>(argv[i])); break;
                case LO_INT32:
                    std::memcpy(&n, argv[i], sizeof n);
                    r.args.push_back(std::to_string(n));
                    break;
                case LO_FLOAT:
                    std::memcpy(&f, argv[i], sizeof f);
                    r.args.push_back(std::to_string(f));
                    break;
                default: r.args.push_back("?");
            }
        }
        static_cast<OscClient*>(self)->replies_.push_back(r);
        return 0;
    }
    lo_server server_;
    lo_address target_;
    std::vector<Reply> replies_;
};

lo_message msg(std::initializer_list<std::pair<char, std::string>> args) {
    lo_message m = lo_message_new();
    for (const auto& [type, text] : args) {
        switch (type) {
            case 's': lo_message_add_string(m, text.c_str()); break;
            case 'i': lo_message_add_int32(m, std::stoi(text)); break;
            case 'f': lo_message_add_float(m, std::stof(text)); break;
            case 'd': lo_message_add_double(m, std::stod(text)); break;
            case 'T': lo_message_add_true(m); break;
            case 'b': {
                const char bytes[4] = {1, 2, 3, 4};
                lo_blob b = lo_blob_new(4, bytes);
                lo_message_add_blob(m, b);
                lo_blob_free(b);
                break;
            }
        }
    }
    return m;
}

// name -> "normalised display" for every parameter, from /orvex/list.
std::map<std::string, std::string> listAll(OscClient& osc) {
    std::map<std::string, std::string> all;
    const auto replies = osc.ask("/orvex/list", lo_message_new(), "/orvex/list/end");
    for (const Reply& r : replies)
        if (r.path == "/orvex/param" && r.args.size() == 6) all[r.args[1]] = r.args[4] + " " + r.args[5];
    EXPECT_FALSE(replies.empty());
    if (!replies.empty()) {
        EXPECT_EQ(replies.back().path, "/orvex/list/end");
        EXPECT_EQ(std::to_string(all.size()), replies.back().args.at(0));
    }
    return all;
}

TEST_F(LiveJack, OscSetsByNameAndRefusesWhatItCannotDo) {
    auto p = live({"--osc", "0"});
    firstPeriod(*p);
    const auto port = numberAfter(p->log(), "OSC control on UDP port ");
    ASSERT_TRUE(port.has_value()) << p->log();
    OscClient osc(static_cast<int>(*port));
    // The port is taken now: a second instance says so in one line.
    auto second = live({"--name", "second", "--osc", std::to_string(*port)}, {}, "second.log");
    EXPECT_EQ(second->wait(), 1) << second->log();
    EXPECT_EQ(second->log().rfind("orvex-live: cannot listen for OSC on UDP port " + std::to_string(*port), 0), 0u)
        << second->log();
    EXPECT_EQ(countLines(second->log(), "\n"), 1u) << second->log();

    const auto before = listAll(osc);
    ASSERT_TRUE(before.count("Lowpass Filter")) << "Orvex has a \"Lowpass Filter\"";

    auto r = osc.ask("/orvex/set", msg({{'s', "Lowpass Filter"}, {'f', "12000"}}), "/orvex/value");
    ASSERT_FALSE(r.empty());
    ASSERT_EQ(r.back().path, "/orvex/value");
    EXPECT_EQ(r.back().args.at(1), "Lowpass Filter");
    EXPECT_EQ(std::stod(r.back().args.at(3)), 12000.0) << r.back().args.at(3);
    r = osc.ask("/orvex/get", msg({{'s', "lowpass filter"}}), "/orvex/value");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(std::stod(r.back().args.at(3)), 12000.0);
    auto after = listAll(osc);
    EXPECT_NE(after["Lowpass Filter"], before.at("Lowpass Filter"));

    // Every request it cannot carry out gets /orvex/error and changes nothing.
    const std::string index = r.back().args.at(0);
    struct Bad {
        const char* path;
        lo_message m;
    };
    const Bad bad[] = {
        {"/orvex/set", msg({{'s', "No Such Control"}, {'f', "1"}})},
        {"/orvex/set", msg({{'i', "999"}, {'f', "1"}})},
        {"/orvex/set", msg({{'i', "-1"}, {'f', "1"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'f', "nan"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'d', "nan"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'f', "inf"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'f', "1e9"}})},
        {"/orvex/set", msg({{'i', index}, {'f', "-5"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'s', "loud"}})},
        {"/orvex/set", msg({{'s', "Disable KVLN EQ"}, {'s', "maybe"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'f', "9000"}, {'f', "1"}})},
        {"/orvex/set", msg({{'b', ""}, {'f', "9000"}})},
        {"/orvex/set", msg({{'s', "Lowpass Filter"}, {'b', ""}})},
        {"/orvex/set", msg({{'f', "3"}, {'f', "9000"}})},
        {"/orvex/get", msg({})},
        {"/orvex/get", msg({{'s', "No Such Control"}})},
        {"/orvex/list", msg({{'i', "1"}})},
        {"/orvex/explode", msg({{'T', ""}})},
    };
    for (const Bad& b : bad) {
        r = osc.ask(b.path, b.m, "/orvex/error");
        ASSERT_FALSE(r.empty()) << b.path << ": no reply";
        EXPECT_EQ(r.back().path, "/orvex/error") << b.path;
        EXPECT_EQ(r.back().args.at(0), b.path);
    }
    // Not OSC at all, and an OSC message cut short: liblo drops them, orvex-live logs them.
    osc.raw("garbage", 7, static_cast<int>(*port));
    const char cut[] = "/orvex/set\0\0,sf\0\0\0\0Low";
    osc.raw(cut, sizeof cut - 1, static_cast<int>(*port));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));

    EXPECT_EQ(listAll(osc), after);
    EXPECT_TRUE(p->running());
    TestClient probe(server_->name(), "probe", 0);
    EXPECT_NE(jack_port_by_name(probe.client(), "orvex:out_L"), nullptr);
    EXPECT_EQ(p->stop(), 0) << p->log();
    const std::string log = p->log();
    EXPECT_NE(log.find("OSC: "), std::string::npos) << "the packets liblo could not read are logged\n" << log;
    EXPECT_EQ(numberAfter(log, "parameter changes "), 16) << log;
    EXPECT_EQ(numberAfter(log, "received, "), 15) << log;
}

std::size_t countReplies(const std::vector<Reply>& replies, const std::string& path) {
    return static_cast<std::size_t>(
        std::count_if(replies.begin(), replies.end(), [&](const Reply& r) { return r.path == path; }));
}

// Meter subscriptions over OSC while a programme plays: about ten messages a second with the
// plug-in's band gains, until unsubscribed; at most eight subscribers; subscribers that vanish
// are dropped when their lease runs out (2 s here), while one that renews keeps receiving and
// the audio goes on.
TEST_F(LiveJack, OscMeterSubscriptions) {
    const std::vector<float> programme = testProgramme(10.0);
    TestClient client(server_->name(), "feeder", programme.size());
    auto p = live(join(wiredTo(client), {"--osc", "0", "--osc-lease", "2"}));
    firstPeriod(*p);
    const auto port = numberAfter(p->log(), "OSC control on UDP port ");
    ASSERT_TRUE(port.has_value()) << p->log();
    ASSERT_TRUE(client.waitConnected(10.0)) << p->log();
    client.play(programme);

    OscClient osc(static_cast<int>(*port));
    auto r = osc.ask("/orvex/meters/subscribe", lo_message_new(), "/orvex/meters/subscribed");
    ASSERT_FALSE(r.empty()) << p->log();
    ASSERT_EQ(r.back().path, "/orvex/meters/subscribed") << p->log();
    ASSERT_EQ(r.back().args.size(), 3u);
    EXPECT_EQ(std::stof(r.back().args[2]), 2.0f);  // the lease

    auto heard = osc.listen(1.5);
    const std::size_t count = countReplies(heard, "/orvex/meters");
    EXPECT_GE(count, 10u) << "about ten a second";
    EXPECT_LE(count, 20u);
    float loudest = -200.0f;
    for (const Reply& m : heard) {
        if (m.path != "/orvex/meters") continue;
        ASSERT_EQ(m.args.size(), 18u);
        EXPECT_EQ(m.args[0], "1");  // on air
        EXPECT_EQ(m.args[1], "1");  // the plug-in's own band gains
        for (std::size_t b = 2; b < 14; ++b) {
            const float g = std::stof(m.args[b]);
            EXPECT_TRUE(g >= -120.0f && g < 100.0f) << g;
        }
        loudest = std::max(loudest, std::stof(m.args[16]));
    }
    EXPECT_GT(loudest, -40.0f) << "output loudness once the programme is through the chain";

    // Renewing keeps one subscription (no second stream), at a new interval.
    r = osc.ask("/orvex/meters/subscribe", msg({{'i', "0"}, {'f', "0.5"}}), "/orvex/meters/subscribed");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().path, "/orvex/meters/subscribed");
    heard = osc.listen(1.5);
    EXPECT_GE(countReplies(heard, "/orvex/meters"), 2u);
    EXPECT_LE(countReplies(heard, "/orvex/meters"), 4u);

    // Eight subscribers at most: seven more are taken, the next is refused.
    std::vector<std::unique_ptr<OscClient>> others;
    for (int i = 0; i < 7; ++i) {
        others.push_back(std::make_unique<OscClient>(static_cast<int>(*port)));
        r = others.back()->ask("/orvex/meters/subscribe", lo_message_new(), "/orvex/meters/subscribed");
        ASSERT_FALSE(r.empty()) << i;
        EXPECT_EQ(r.back().path, "/orvex/meters/subscribed") << i;
    }
    OscClient ninth(static_cast<int>(*port));
    r = ninth.ask("/orvex/meters/subscribe", lo_message_new(), "/orvex/error");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().path, "/orvex/error");
    EXPECT_EQ(r.back().args.at(0), "/orvex/meters/subscribe");
    r = ninth.ask("/orvex/meters/unsubscribe", lo_message_new(), "/orvex/error");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().path, "/orvex/error") << "not subscribed";
    r = ninth.ask("/orvex/meters/subscribe", msg({{'i', "0"}, {'f', "0.01"}}), "/orvex/error");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().path, "/orvex/error") << "an interval below 0.1 s";

    // The seven go away without a word; the first renews within its lease and keeps receiving.
    const std::size_t logBefore = p->log().size();
    others.clear();
    for (int i = 0; i < 3; ++i) {
        r = osc.ask("/orvex/meters/subscribe", msg({{'i', "0"}, {'f', "0.1"}}), "/orvex/meters/subscribed");
        ASSERT_FALSE(r.empty());
        heard = osc.listen(1.0);
        EXPECT_GE(countReplies(heard, "/orvex/meters"), 5u) << "renewal " << i;
    }
    ASSERT_TRUE(p->waitFor("OSC meters: dropped", 5.0, logBefore)) << p->log();
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::string log = p->log().substr(logBefore);
    EXPECT_EQ(countLines(log, "OSC meters: dropped"), 7u) << log;
    EXPECT_EQ(countLines(log, "(not renewed within 2 s)"), 7u) << log;

    // Now there is room again; and unsubscribing ends the stream.
    r = ninth.ask("/orvex/meters/subscribe", lo_message_new(), "/orvex/meters/subscribed");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().path, "/orvex/meters/subscribed");
    r = osc.ask("/orvex/meters/unsubscribe", lo_message_new(), "/orvex/meters/unsubscribed");
    ASSERT_FALSE(r.empty());
    EXPECT_EQ(r.back().path, "/orvex/meters/unsubscribed");
    osc.listen(0.2);  // one already on its way
    EXPECT_EQ(countReplies(osc.listen(1.0), "/orvex/meters"), 0u);

    // The audio went on through all of it: the programme came back processed, and orvex-live
    // ends cleanly.
    ASSERT_TRUE(client.waitRecorded(programme.size() / 2, 30.0)) << p->log();
    float peak = 0.0f;
    for (std::size_t i = 0; i < client.recorded(); ++i) peak = std::max(peak, std::fabs(client.left()[i]));
    EXPECT_GT(peak, 0.01f);
    EXPECT_LE(peak, kCeiling);
    EXPECT_EQ(p->stop(), 0) << p->log();
    EXPECT_NE(p->log().find("OSC meters: 127.0.0.1:"), std::string::npos) << p->log();
}

}  // namespace

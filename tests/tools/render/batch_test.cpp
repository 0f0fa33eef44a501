// orvex-render batches run as a user runs them: a small library of mixed files rendered with one
// worker and with three gives exactly the one-file renders under the same relative paths; the
// faults of single files stay on their rows; an interrupt keeps what was finished and nothing
// half-written; colliding outputs are refused before anything is written; --json is one JSON
// document a parser reads.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <pty.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/signals.h"
#include "tests/tools/tool_test_support.h"

using orvex::test::readAudio;
using orvex::test::TempDir;
using orvex::test::writeAudio;
namespace fs = std::filesystem;

namespace {

using orvex::test::slurp;


struct Outcome {
    int status = -1;
    std::string out, err;
};

// The program as a child process, its output in files; `asUser` runs it under another user id
// (the tests run as root in CI, and root writes into read-only folders).
class Program {
public:
    Program(const TempDir& dir, const std::vector<std::string>& args, std::optional<uid_t> asUser = std::nullopt)
        : out_(dir.file(".run-out")), err_(dir.file(".run-err")) {
        std::vector<std::string> argv = {ORVEX_RENDER};
        argv.insert(argv.end(), args.begin(), args.end());
        pid_ = ::fork();
        if (pid_ == 0) {
            const int in = ::open("/dev/null", O_RDONLY);
            const int o = ::open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const int e = ::open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (in < 0 || o < 0 || e < 0) ::_exit(125);
            ::dup2(in, 0);
            ::dup2(o, 1);
            ::dup2(e, 2);
            if (asUser && (::setgid(*asUser) != 0 || ::setuid(*asUser) != 0)) ::_exit(124);
            std::vector<char*> raw;
            for (auto& a : argv) raw.push_back(a.data());
            raw.push_back(nullptr);
            ::execv(raw[0], raw.data());
            ::_exit(127);
        }
    }
    pid_t pid() const { return pid_; }
    Outcome wait() {
        Outcome r;
        int status = 0;
        while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
        }
        r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        r.out = slurp(out_);
        r.err = slurp(err_);
        fs::remove(out_);
        fs::remove(err_);
        return r;
    }

private:
    std::string out_, err_;
    pid_t pid_ = -1;
};

Outcome run(const TempDir& dir, const std::vector<std::string>& args, std::optional<uid_t> asUser = std::nullopt) {
    return Program(dir, args, asUser).wait();
}

// Every file below `root`, relative, hidden ones (leftover temporary files) included.
std::set<std::string> filesBelow(const std::string& root) {
    std::set<std::string> names;
    if (!fs::exists(root)) return names;
    for (const auto& e : fs::recursive_directory_iterator(root))
        if (e.is_regular_file()) names.insert(fs::relative(e.path(), root).generic_string());
    return names;
}

bool anyHidden(const std::set<std::string>& names) {
    for (const auto& n : names)
        if (fs::path(n).filename().string().front() == '.') return true;
    return false;
}

std::vector<float> interleave(const std::vector<float>& l, const std::vector<float>& r) {
    std::vector<float> x(2 * l.size());
    for (std::size_t i = 0; i < l.size(); ++i) {
        x[2 * i] = l[i];
        x[2 * i + 1] = r[i];
    }
    return x;
}

// The plug-in the batches run: Orvex where the build has it (the thing users batch with), the
// test plug-in otherwise.
std::string batchPlugin() {
#ifdef ORVEX_MODULE_PATH
    return ORVEX_MODULE_PATH;
#else
    return TEST_PLUGIN_GOOD;
#endif
}

class BatchTest : public ::testing::Test {
protected:
    // in/ holds mono and stereo, 44.1 and 48 kHz, WAV, FLAC and MP3, a subfolder, and a file
    // that is not audio.
    void writeLibrary() {
        fs::create_directories(dir.file("in/sub"));
        // Short files (0.3 to 0.5 s): CI runs this through Orvex under the thread sanitizer too.
        const auto music = orvex::test::musicLike(48000, 24000, 3);
        const auto music44 = orvex::test::musicLike(44100, 17640, 5);
        const auto noise = orvex::test::noise(21600, 7, 0.3f);
        writeAudio(dir.file("in/mono48.wav"), 48000, 1, music, SF_FORMAT_WAV | SF_FORMAT_PCM_24);
        writeAudio(dir.file("in/stereo44.flac"), 44100, 2, interleave(music44, orvex::test::noise(17640, 8, 0.1f)),
                   SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
        writeAudio(dir.file("in/sub/stereo48.mp3"), 48000, 2,
                   interleave(std::vector<float>(music.begin(), music.begin() + 21600), noise),
                   SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
        writeAudio(dir.file("in/sub/mono44.mp3"), 44100, 1, std::vector<float>(music44.begin(), music44.begin() + 13230),
                   SF_FORMAT_MPEG | SF_FORMAT_MPEG_LAYER_III);
        writeAudio(dir.file("in/sub/float44.wav"), 44100, 2, interleave(music44, music44), SF_FORMAT_WAV | SF_FORMAT_FLOAT);
        std::ofstream(dir.file("in/notes.txt")) << "running order\n";
    }
    TempDir dir;
};

TEST_F(BatchTest, OutputsAreTheOneFileRendersWhateverTheJobs) {
    writeLibrary();
    const std::vector<std::string> relative = {"mono48", "stereo44", "sub/stereo48", "sub/mono44", "sub/float44"};
    const std::map<std::string, std::string> source = {{"mono48", "mono48.wav"},
                                                       {"stereo44", "stereo44.flac"},
                                                       {"sub/stereo48", "sub/stereo48.mp3"},
                                                       {"sub/mono44", "sub/mono44.mp3"},
                                                       {"sub/float44", "sub/float44.wav"}};
    fs::create_directories(dir.file("ref/sub"));
    for (const auto& [name, file] : source) {
        const Outcome one = run(dir, {"--plugin", batchPlugin(), dir.file("in/" + file), dir.file("ref/" + name + ".wav")});
        ASSERT_EQ(one.status, 0) << one.err;
    }
    std::set<std::string> expected;
    for (const auto& r : relative) expected.insert(r + ".wav");

    for (const char* jobs : {"1", "3"}) {
        const std::string out = dir.file(std::string("out") + jobs);
        const Outcome batch = run(dir, {"--plugin", batchPlugin(), "--jobs", jobs, dir.file("in"), "--out-dir", out});
        ASSERT_EQ(batch.status, 0) << batch.err << batch.out;
        EXPECT_TRUE(batch.err.empty()) << batch.err;  // no progress display without a terminal
        EXPECT_EQ(filesBelow(out), expected) << "--jobs " << jobs;
        // Sample for sample and in the same format (float WAV files carry the time they were
        // written in their peak chunk, so the bytes differ from run to run anyway).
        for (const auto& r : relative) {
            const auto got = readAudio(out + "/" + r + ".wav"), want = readAudio(dir.file("ref/" + r + ".wav"));
            EXPECT_EQ(got.format, want.format) << r;
            EXPECT_EQ(got.rate, want.rate) << r;
            EXPECT_EQ(got.channels, 2) << r;
            EXPECT_TRUE(got.data == want.data) << r << " with --jobs " << jobs;
        }
        // The table: a row per file with its status, and the totals.
        for (const auto& r : relative) EXPECT_NE(batch.out.find(r), std::string::npos) << batch.out;
        EXPECT_NE(batch.out.find("total: 5 files, 5 done; 1 other file skipped"), std::string::npos) << batch.out;
        EXPECT_NE(batch.out.find(std::string("real time) with ") + jobs + (jobs[0] == '1' ? " job" : " jobs")),
                  std::string::npos)
            << batch.out;
    }
    // A file named on the command line keeps its name only; an output type by --format.
    const Outcome named = run(dir, {"--plugin", batchPlugin(), "--format", "flac", dir.file("in/sub/mono44.mp3"), "--out-dir",
                                dir.file("named")});
    ASSERT_EQ(named.status, 0) << named.err;
    EXPECT_EQ(filesBelow(dir.file("named")), std::set<std::string>{"mono44.flac"});
    const Outcome flac = run(dir, {"--plugin", batchPlugin(), dir.file("in/sub/mono44.mp3"), dir.file("mono44.flac")});
    ASSERT_EQ(flac.status, 0) << flac.err;
    EXPECT_TRUE(readAudio(dir.file("named/mono44.flac")).data == readAudio(dir.file("mono44.flac")).data);
}

TEST_F(BatchTest, FaultsStayOnTheirRows) {
    fs::create_directories(dir.file("in/locked"));
    fs::create_directories(dir.file("in/blocked"));
    const auto good = orvex::test::noise(24000, 4, 0.3f);
    for (const char* name : {"ok.wav", "exists.wav", "locked/a.wav", "blocked/b.wav"})
        writeAudio(dir.file(std::string("in/") + name), 48000, 1, good, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    writeAudio(dir.file("in/ok2.flac"), 44100, 2, interleave(good, good), SF_FORMAT_FLAC | SF_FORMAT_PCM_24);
    // Damaged: a FLAC file cut in half, and a WAV name on text.
    writeAudio(dir.file("full.flac"), 48000, 1, orvex::test::noise(96000, 5, 0.5f), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const std::string flac = slurp(dir.file("full.flac"));
    std::ofstream(dir.file("in/cut.flac"), std::ios::binary) << flac.substr(0, flac.size() / 2);
    std::ofstream(dir.file("in/garbage.wav")) << "RIFF, but nothing after it that makes a WAV file";
    // Unsupported: data no reader takes under an audio name, and a layout the renderer refuses.
    std::ofstream(dir.file("in/song.m4a"), std::ios::binary) << std::string(4096, '\x33');
    writeAudio(dir.file("in/quad.wav"), 48000, 4, std::vector<float>(4 * 4800, 0.1f));
    std::ofstream(dir.file("in/cover.jpg"), std::ios::binary) << std::string(100, '\xff');
    // The output side: an existing output, a folder nobody may write into, a folder name taken
    // by a file.
    fs::create_directories(dir.file("out/locked"));
    std::ofstream(dir.file("out/exists.wav")) << "keep me";
    std::ofstream(dir.file("out/blocked")) << "a file where the folder would go";

    // Root writes into read-only folders, so as root the program runs as nobody.
    std::optional<uid_t> user;
    if (::geteuid() == 0) {
        user = 65534;
        fs::permissions(dir.file(""), fs::perms::all, fs::perm_options::add);
        fs::permissions(dir.file("out"), fs::perms::all, fs::perm_options::add);
        if (run(dir, {"--help"}, user).status != 0) user.reset();
    }
    const bool permissions = !user || ::geteuid() == 0;
    if (user || ::geteuid() != 0)
        fs::permissions(dir.file("out/locked"), fs::perms::owner_read | fs::perms::owner_exec | fs::perms::group_read |
                                                    fs::perms::group_exec | fs::perms::others_read | fs::perms::others_exec);

    const Outcome r = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--jobs", "2", "--json", dir.file("in"), "--out-dir", dir.file("out")},
                      user);
    EXPECT_EQ(r.status, 1) << r.err;
    const nlohmann::json doc = nlohmann::json::parse(r.out);
    std::map<std::string, nlohmann::json> rows;
    for (const auto& f : doc.at("files")) rows[f.at("relative").get<std::string>()] = f;
    auto reason = [&](const std::string& name) {
        if (!rows.count(name)) return std::string("no row");
        return rows[name].at("status").get<std::string>() + ": " +
               (rows[name].at("error").is_null() ? "" : rows[name].at("error").get<std::string>());
    };
    EXPECT_EQ(reason("ok.wav"), "done: ");
    EXPECT_EQ(reason("ok2.flac"), "done: ");
    EXPECT_NE(reason("cut.flac").find("failed: error reading"), std::string::npos) << reason("cut.flac");
    EXPECT_NE(reason("garbage.wav").find("failed: cannot read"), std::string::npos) << reason("garbage.wav");
    EXPECT_NE(reason("garbage.wav").find("not an audio file this program reads"), std::string::npos);
    EXPECT_NE(reason("song.m4a").find("not an audio file this program reads"), std::string::npos) << reason("song.m4a");
    EXPECT_NE(reason("quad.wav").find("has 4 channels"), std::string::npos) << reason("quad.wav");
    EXPECT_NE(reason("exists.wav").find("exists already; not overwritten (--overwrite replaces it)"), std::string::npos);
    EXPECT_NE(reason("blocked/b.wav").find("failed: cannot create the folder"), std::string::npos) << reason("blocked/b.wav");
    if (permissions) {
        EXPECT_NE(reason("locked/a.wav").find("Permission denied"), std::string::npos) << reason("locked/a.wav");
    }
    EXPECT_EQ(rows.size(), 9u) << r.out;
    EXPECT_EQ(doc.at("skipped").size(), 1u);  // cover.jpg
    EXPECT_EQ(doc.at("totals").at("done").get<int>(), 2);
    EXPECT_EQ(doc.at("totals").at("failed").get<int>(), 7);
    EXPECT_EQ(doc.at("interrupted").get<bool>(), false);
    for (const char* key : {"integrated_lufs", "range_lu", "true_peak_dbtp"}) {
        EXPECT_TRUE(rows["ok.wav"].at("input_loudness").at(key).is_number()) << key;
        EXPECT_TRUE(rows["ok.wav"].at("output_loudness").at(key).is_number()) << key;
    }
    EXPECT_GT(rows["ok.wav"].at("realtime_factor").get<double>(), 0.0);
    EXPECT_DOUBLE_EQ(rows["ok.wav"].at("duration_seconds").get<double>(), 0.5);

    // What completed is there and whole; what failed left nothing, not even a temporary file.
    EXPECT_EQ(readAudio(dir.file("out/ok.wav")).frames(), 24000u);
    EXPECT_EQ(readAudio(dir.file("out/ok2.wav")).frames(), 24000u);
    EXPECT_EQ(slurp(dir.file("out/exists.wav")), "keep me");
    EXPECT_EQ(filesBelow(dir.file("out")), (std::set<std::string>{"ok.wav", "ok2.wav", "exists.wav", "blocked"}));

    // With --overwrite the existing output is replaced; the table says what happened.
    const Outcome again = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--overwrite", dir.file("in/exists.wav"), "--out-dir",
                                dir.file("out")});
    EXPECT_EQ(again.status, 0) << again.out << again.err;
    EXPECT_EQ(readAudio(dir.file("out/exists.wav")).frames(), 24000u);
}

TEST_F(BatchTest, InterruptKeepsTheFinishedOutputsAndNothingElse) {
    fs::create_directories(dir.file("in"));
    // One long file and seven short ones: the long one goes first to one worker, which is in its
    // middle when the other has finished its first short one.
    for (int k = 0; k < 8; ++k)
        writeAudio(dir.file("in/" + std::to_string(k) + ".wav"), 48000, 1,
                   orvex::test::noise(k == 0 ? 192000 : 48000, 10 + k, 0.3f));
    for (int sig : {SIGINT, SIGTERM}) {
        const std::string out = dir.file(sig == SIGINT ? "int" : "term");
        Program p(dir, {"--plugin", TEST_PLUGIN_SLOW, "--jobs", "2", dir.file("in"), "--out-dir", out});
        // The slow plug-in takes at least 0.2 s a second of audio: the signal comes after the
        // first output, long before the last.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        for (;;) {
            bool finished = false;
            for (const auto& name : filesBelow(out))
                if (name.front() != '.') finished = true;
            if (finished || std::chrono::steady_clock::now() > deadline) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        ::kill(p.pid(), sig);
        const Outcome r = p.wait();
        EXPECT_EQ(r.status, 1) << r.err;
        const auto left = filesBelow(out);
        EXPECT_FALSE(anyHidden(left));
        EXPECT_GE(left.size(), 1u);
        EXPECT_LT(left.size(), 8u);
        EXPECT_EQ(left.count("0.wav"), 0u);
        for (const auto& name : left) {
            const auto audio = readAudio(out + "/" + name);
            EXPECT_EQ(audio.frames(), 48000u) << name;
        }
        // The table so far: the finished rows, the interrupted ones, the count of those not
        // started.
        EXPECT_NE(r.out.find("interrupted: stopped; no output written"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find(" not started"), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("; interrupted"), std::string::npos) << r.out;
        std::size_t interrupted = 0;
        for (std::size_t at = 0; (at = r.out.find("interrupted: stopped", at)) != std::string::npos; ++at) ++interrupted;
        EXPECT_GE(interrupted, 1u);
        // The heading, the finished and the interrupted rows, two lines of totals.
        EXPECT_EQ(static_cast<std::size_t>(std::count(r.out.begin(), r.out.end(), '\n')), 3 + left.size() + interrupted)
            << r.out;
    }
}

// Standard error on a terminal (a pseudo-terminal here) shows the progress line; --quiet, or
// standard error elsewhere (every other test), shows nothing.
std::string stderrOnTerminal(const TempDir& dir, std::vector<std::string> args) {
    int master = -1, slave = -1;
    if (::openpty(&master, &slave, nullptr, nullptr, nullptr) != 0) return "no pseudo-terminal";
    args.insert(args.begin(), ORVEX_RENDER);
    const std::string out = dir.file(".tty-out");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(master);
        const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        ::dup2(o, 1);
        ::dup2(slave, 2);
        std::vector<char*> raw;
        for (auto& a : args) raw.push_back(a.data());
        raw.push_back(nullptr);
        ::execv(raw[0], raw.data());
        ::_exit(127);
    }
    ::close(slave);
    std::string seen;
    char buf[4096];
    for (;;) {
        const ssize_t n = ::read(master, buf, sizeof buf);
        if (n > 0) seen.append(buf, static_cast<std::size_t>(n));
        else if (n < 0 && errno == EINTR) continue;
        else break;  // EIO once the child has closed its side
    }
    ::close(master);
    int status = 0;
    ::waitpid(pid, &status, 0);
    fs::remove(out);
    return seen;
}

TEST_F(BatchTest, ProgressShowsOnATerminalOnly) {
    fs::create_directories(dir.file("in"));
    // At least 0.38 s and 0.57 s through the slow plug-in: a few updates (four a second) each.
    writeAudio(dir.file("in/a-short.wav"), 48000, 1, orvex::test::noise(96000, 30, 0.3f));
    writeAudio(dir.file("in/b-long.wav"), 48000, 1, orvex::test::noise(144000, 31, 0.3f));
    const std::string shown =
        stderrOnTerminal(dir, {"--plugin", TEST_PLUGIN_SLOW, "--jobs", "1", dir.file("in"), "--out-dir", dir.file("a")});
    // Files done of total, audio done of total, the elapsed time, the file under way: the
    // longest first.
    EXPECT_NE(shown.find("\r[0/2 files] 0:"), std::string::npos) << shown;
    EXPECT_NE(shown.find(" of 0:05 audio, 0:0"), std::string::npos) << shown;
    EXPECT_NE(shown.find(" elapsed"), std::string::npos) << shown;
    EXPECT_EQ(shown.substr(shown.find("| "), 12), "| b-long.wav") << shown;
    EXPECT_NE(shown.find("[1/2 files]"), std::string::npos) << shown;
    EXPECT_NE(shown.find("\033[K"), std::string::npos) << shown;
    const std::string quiet = stderrOnTerminal(
        dir, {"--plugin", TEST_PLUGIN_SLOW, "--quiet", "--jobs", "1", dir.file("in"), "--out-dir", dir.file("b")});
    EXPECT_EQ(quiet, "");
    EXPECT_EQ(filesBelow(dir.file("b")), (std::set<std::string>{"a-short.wav", "b-long.wav"}));
}

TEST_F(BatchTest, CollidingOutputsAreRefusedBeforeAnything) {
    fs::create_directories(dir.file("in"));
    writeAudio(dir.file("in/take.wav"), 48000, 1, orvex::test::noise(4800, 1, 0.3f));
    writeAudio(dir.file("in/take.flac"), 48000, 1, orvex::test::noise(4800, 2, 0.3f), SF_FORMAT_FLAC | SF_FORMAT_PCM_16);
    const Outcome r = run(dir, {"--plugin", TEST_PLUGIN_GOOD, dir.file("in"), "--out-dir", dir.file("out")});
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("would both be written to"), std::string::npos) << r.err;
    EXPECT_TRUE(r.out.empty());
    EXPECT_FALSE(fs::exists(dir.file("out")));

    // Rendering a folder into itself, or a file onto itself, would replace the inputs.
    fs::remove(dir.file("in/take.flac"));
    const Outcome self = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--overwrite", dir.file("in"), "--out-dir", dir.file("in")});
    EXPECT_EQ(self.status, 2);
    EXPECT_NE(self.err.find("is the input folder"), std::string::npos) << self.err;
    const Outcome same = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--overwrite", dir.file("in/take.wav"), "--out-dir",
                                   dir.file("in/")});
    EXPECT_EQ(same.status, 2);
    EXPECT_NE(same.err.find("would be the file itself"), std::string::npos) << same.err;
    EXPECT_EQ(filesBelow(dir.file("in")), std::set<std::string>{"take.wav"});

    // The same file twice is one row, not a collision.
    const Outcome twice = run(dir, {"--plugin", TEST_PLUGIN_GOOD, "--json", dir.file("in"), dir.file("in/take.wav"), "--out-dir",
                                dir.file("out")});
    EXPECT_EQ(twice.status, 0) << twice.err;
    EXPECT_EQ(nlohmann::json::parse(twice.out).at("files").size(), 1u);

    // A batch without audio fails with one line.
    fs::create_directories(dir.file("empty"));
    std::ofstream(dir.file("empty/readme.txt")) << "nothing here";
    const Outcome none = run(dir, {"--plugin", TEST_PLUGIN_GOOD, dir.file("empty"), "--out-dir", dir.file("out2")});
    EXPECT_EQ(none.status, 1);
    EXPECT_NE(none.err.find("no audio files among the inputs (1 other file skipped)"), std::string::npos) << none.err;
}

}  // namespace

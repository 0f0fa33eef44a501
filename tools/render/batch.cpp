#include "tools/render/batch.h"

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>

#include "tools/common/usage_error.h"
#include "tools/common/vst_loader.h"
#include "tools/render/plot.h"
#include "tools/render/plot_trace.h"

namespace orvex::tools {
namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

bool hidden(const fs::path& p) {
    const std::string name = p.filename().string();
    return !name.empty() && name[0] == '.';
}

// The key two outputs collide under: the file system's view of the name (Windows ignores case).
std::string outputKey(const fs::path& p) {
    std::string key = p.lexically_normal().generic_string();
#if defined(_WIN32)
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
#endif
    return key;
}

// The same file whatever the spelling; paths that do not exist compare by their normal form.
std::string identity(const fs::path& p) {
    std::error_code ec;
    const fs::path canonical = fs::weakly_canonical(p, ec);
    return outputKey(ec ? p : canonical);
}

class Planner {
public:
    explicit Planner(const BatchOptions& o) : o_(o), outGiven_(o.outDir) {
        std::error_code ec;
        outDir_ = fs::weakly_canonical(fs::path(o.outDir), ec);
        if (ec) outDir_ = fs::absolute(fs::path(o.outDir)).lexically_normal();
    }

    BatchPlan plan() {
        for (const std::string& input : o_.inputs) add(input);
        probe();
        checkCollisions();
        // Longest first, so that the last file to start is a short one and the workers finish
        // close together.
        std::stable_sort(plan_.files.begin(), plan_.files.end(), [](const BatchFile& a, const BatchFile& b) {
            return a.audioSeconds() > b.audioSeconds();
        });
        return std::move(plan_);
    }

private:
    void add(const std::string& input) {
        std::error_code ec;
        const fs::path path(input);
        const fs::file_status st = fs::status(path, ec);
        if (fs::is_directory(st)) {
            walk(path);
        } else {
            // Named on the command line: a row whatever it holds, the reason with it.
            addFile(path, path.filename(), true);
        }
    }

    void walk(const fs::path& root) {
        std::error_code ec;
        const fs::path canonicalRoot = fs::weakly_canonical(root, ec);
        // Outputs among their inputs would be taken for inputs next time, and could replace them.
        if (!ec && canonicalRoot == outDir_)
            throw UsageError("the output folder \"" + o_.outDir + "\" is the input folder \"" + root.string() +
                             "\" itself; choose another --out-dir");
        std::vector<fs::path> files;
        fs::recursive_directory_iterator it(root, ec), end;
        if (ec) {
            failRow(root, root.filename(), "cannot read the folder \"" + root.string() + "\": " + ec.message());
            return;
        }
        while (it != end) {
            const fs::directory_entry entry = *it;
            const fs::path& p = entry.path();
            std::error_code typeError;
            if (entry.is_directory(typeError)) {
                std::error_code sameError, openError;
                // Hidden folders, and the output folder inside an input folder, are not walked;
                // a folder that cannot be read gets a row that says so, and the walk goes on.
                if (hidden(p) || fs::weakly_canonical(p, sameError) == outDir_) {
                    it.disable_recursion_pending();
                } else if (fs::directory_iterator(p, openError); openError) {
                    failRow(p, p.lexically_relative(root), "cannot read the folder \"" + p.string() + "\": " + openError.message());
                    it.disable_recursion_pending();
                }
            } else if (entry.is_regular_file(typeError)) {
                if (hidden(p)) plan_.skipped.push_back(p.string());
                else files.push_back(p);
            }
            it.increment(ec);
            if (ec) {
                failRow(root, root.filename(), "cannot read the folder \"" + root.string() + "\" to the end: " + ec.message());
                break;
            }
        }
        std::sort(files.begin(), files.end());
        for (const fs::path& f : files) addFile(f, f.lexically_relative(root), false);
    }

    void addFile(const fs::path& path, const fs::path& relative, bool named) {
        candidates_.push_back({path, relative, named, 0, 0, {}});
    }

    // Opens every file found, on as many threads as the batch has workers (a large library of
    // MP3 files takes a while: the decoder reads each one through to learn its length).
    void probe() {
        std::atomic<std::size_t> next{0};
        auto work = [&] {
            for (;;) {
                const std::size_t i = next.fetch_add(1);
                if (i >= candidates_.size()) break;
                Candidate& c = candidates_[i];
                if (o_.cancelled && o_.cancelled()) {
                    c.error = "not opened: interrupted";
                    continue;
                }
                try {
                    AudioReader reader(c.path.string());
                    c.frames = reader.frames();
                    c.rate = reader.rate();
                } catch (const std::exception& e) {
                    c.error = e.what();
                }
            }
        };
        const std::size_t threads = std::min<std::size_t>(static_cast<std::size_t>(std::max(o_.jobs, 1)), candidates_.size());
        std::vector<std::thread> helpers;
        try {
            for (std::size_t k = 1; k < threads; ++k) helpers.emplace_back(work);
        } catch (const std::system_error&) {
            // Fewer threads: the ones there are (this one at least) open the rest.
        }
        work();
        for (auto& h : helpers) h.join();
        for (Candidate& c : candidates_) {
            BatchFile row;
            row.input = c.path.string();
            row.relative = c.relative.generic_string();
            fs::path out = outGiven_ / c.relative;
            out.replace_extension(o_.type.extension);
            row.output = out.string();
            if (!o_.plotDir.empty()) row.plot = (fs::path(o_.plotDir) / c.relative).replace_extension("png").string();
            row.frames = c.frames;
            row.rate = c.rate;
            if (!c.error.empty()) {
                // Not audio: in a folder an ordinary neighbour (a cover picture, notes), unless
                // its name says it is audio; named on the command line, always a fault.
                if (!c.named && !hasAudioExtension(row.input)) {
                    plan_.skipped.push_back(row.input);
                    continue;
                }
                row.status = FileStatus::Failed;
                row.error = c.error;
            }
            plan_.files.push_back(std::move(row));
        }
    }

    void failRow(const fs::path& path, const fs::path& relative, const std::string& why) {
        BatchFile row;
        row.input = path.string();
        row.relative = relative.generic_string();
        row.status = FileStatus::Failed;
        row.error = why;
        plan_.files.push_back(std::move(row));
    }

    void checkCollisions() {
        std::map<std::string, std::size_t> byOutput;
        std::map<std::string, bool> seenInputs;
        std::vector<BatchFile> kept;
        for (BatchFile& row : plan_.files) {
            // The same file reached twice (named and inside a folder, or twice named) is one row.
            const std::string self = identity(row.input);
            if (seenInputs.count(self)) continue;
            seenInputs[self] = true;
            if (row.status == FileStatus::Waiting) {
                if (identity(row.output) == self)
                    throw UsageError("the output of \"" + row.input +
                                     "\" would be the file itself; choose another --out-dir or --format");
                const auto [at, fresh] = byOutput.emplace(outputKey(row.output), kept.size());
                if (!fresh)
                    throw UsageError("\"" + kept[at->second].input + "\" and \"" + row.input + "\" would both be written to \"" +
                                     row.output + "\"; nothing was rendered");
                std::error_code ec;
                if (!o_.overwrite && fs::exists(fs::symlink_status(row.output, ec))) {
                    row.status = FileStatus::Failed;
                    row.error = "\"" + row.output + "\" exists already; not overwritten (--overwrite replaces it)";
                } else if (!o_.overwrite && !row.plot.empty() && fs::exists(fs::symlink_status(row.plot, ec))) {
                    row.status = FileStatus::Failed;
                    row.error = "the picture \"" + row.plot + "\" exists already; not overwritten (--overwrite replaces it)";
                }
            }
            kept.push_back(std::move(row));
        }
        plan_.files = std::move(kept);
    }

    struct Candidate {
        fs::path path, relative;
        bool named;
        std::int64_t frames;
        int rate;
        std::string error;
    };

    const BatchOptions& o_;
    std::vector<Candidate> candidates_;
    fs::path outGiven_;  // as given: the outputs are named below it
    fs::path outDir_;    // resolved: compared with the folders walked
    BatchPlan plan_;
};

// The run's shared state: rows are handed out through `next`; a row's fields belong to its
// worker while it runs and are read by others only under `mutex` once its status says so.
struct Run {
    Run(BatchPlan& plan, std::vector<std::size_t> order) : plan(plan), order(std::move(order)), progress(plan.files.size()) {}
    BatchPlan& plan;
    const std::vector<std::size_t> order;      // rows to render, in the order they are handed out
    std::atomic<std::size_t> next{0};
    std::vector<std::atomic<std::int64_t>> progress;  // frames written per row
    std::mutex mutex;
    std::condition_variable finished;
    int workersLeft = 0;
};

void renderRow(const BatchOptions& o, const PluginLibrary& library, Run& run, std::size_t index) {
    BatchFile& row = run.plan.files[index];
    const auto start = Clock::now();
    std::string error;
    bool interrupted = false;
    RenderReport report;
    try {
        std::error_code ec;
        const fs::path parent = fs::path(row.output).parent_path();
        if (!parent.empty()) {
            fs::create_directories(parent, ec);
            if (ec) throw FileError("cannot create the folder \"" + parent.string() + "\": " + ec.message());
        }
        RenderOptions ro = o.render;
        ro.inputPath = row.input;
        ro.outputPath = row.output;
        ro.replaceOutput = o.overwrite;
        const std::int64_t frames = row.frames;
        std::atomic<std::int64_t>& done = run.progress[index];
        ro.progress = [&done, frames](double fraction) {
            done.store(static_cast<std::int64_t>(fraction * static_cast<double>(frames)), std::memory_order_relaxed);
        };
        ro.cancelled = o.cancelled;
        ro.trace = !row.plot.empty();
        report = render(ro, library);
    } catch (const std::exception& e) {
        error = e.what();
        interrupted = o.cancelled && o.cancelled();
    }
    // The picture comes after the audio, which stays whatever becomes of it.
    if (error.empty() && !row.plot.empty()) {
        try {
            std::error_code ec;
            const fs::path parent = fs::path(row.plot).parent_path();
            if (!parent.empty()) {
                fs::create_directories(parent, ec);
                if (ec) throw FileError("cannot create the folder \"" + parent.string() + "\": " + ec.message());
            }
            writePlot(row.plot, report, *report.trace, o.overwrite);
            report.plotPath = row.plot;
        } catch (const std::exception& e) {
            error = std::string(e.what()) + "; the audio output was written";
        }
    }
    // A row keeps its report to the end of the batch; the trace (some 3 MB an hour) goes now.
    report.trace.reset();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard<std::mutex> lock(run.mutex);
    row.seconds = seconds;
    if (error.empty()) {
        row.report = std::move(report);
        row.status = FileStatus::Done;
        run.progress[index].store(row.frames, std::memory_order_relaxed);
    } else {
        row.status = interrupted ? FileStatus::Interrupted : FileStatus::Failed;
        row.error = interrupted ? "stopped; no output written" : error;
    }
}

void work(const BatchOptions& o, const PluginLibrary& library, Run& run) {
    for (;;) {
        if (o.cancelled && o.cancelled()) break;
        const std::size_t k = run.next.fetch_add(1);
        if (k >= run.order.size()) break;
        const std::size_t index = run.order[k];
        {
            std::lock_guard<std::mutex> lock(run.mutex);
            run.plan.files[index].status = FileStatus::Running;
        }
        renderRow(o, library, run, index);
    }
    std::lock_guard<std::mutex> lock(run.mutex);
    --run.workersLeft;
    run.finished.notify_all();
}

BatchProgress snapshot(Run& run, Clock::time_point start) {
    BatchProgress p;
    p.elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    std::lock_guard<std::mutex> lock(run.mutex);
    for (std::size_t i = 0; i < run.plan.files.size(); ++i) {
        const BatchFile& row = run.plan.files[i];
        ++p.total;
        if (row.status == FileStatus::Done) ++p.done;
        if (row.status == FileStatus::Failed || row.status == FileStatus::Interrupted) ++p.failed;
        if (row.rate <= 0) continue;
        p.audioSeconds += row.audioSeconds();
        p.audioSecondsDone += static_cast<double>(run.progress[i].load(std::memory_order_relaxed)) / row.rate;
        if (row.status == FileStatus::Running) p.current.push_back(row.relative);
    }
    return p;
}

}  // namespace

const char* fileStatusName(FileStatus status) {
    switch (status) {
        case FileStatus::Waiting: return "not started";
        case FileStatus::Running: return "running";
        case FileStatus::Done: return "done";
        case FileStatus::Failed: return "failed";
        case FileStatus::Interrupted: return "interrupted";
    }
    return "?";
}

BatchPlan planBatch(const BatchOptions& options) { return Planner(options).plan(); }

void checkBatchPlugin(const BatchOptions& options, const PluginLibrary& library) {
    PluginInstance probe(library, 48000.0, options.render.blockSize);
    applySettings(library, probe, options.render.settings, 48000.0, options.render.blockSize);
}

double runBatch(const BatchOptions& options, const PluginLibrary& library, BatchPlan& plan,
                const std::function<void(const BatchProgress&)>& tick) {
    std::vector<std::size_t> order;
    for (std::size_t i = 0; i < plan.files.size(); ++i)
        if (plan.files[i].status == FileStatus::Waiting) order.push_back(i);
    Run run(plan, std::move(order));
    const auto start = Clock::now();
    const int workers = static_cast<int>(std::min<std::size_t>(static_cast<std::size_t>(std::max(options.jobs, 1)), run.order.size()));
    run.workersLeft = workers;
    std::vector<std::thread> threads;
    threads.reserve(static_cast<std::size_t>(workers));
    try {
        for (int w = 0; w < workers; ++w) threads.emplace_back(work, std::cref(options), std::cref(library), std::ref(run));
    } catch (...) {
        // No thread to be had: the ones started finish what they take, and nothing is lost.
        {
            std::lock_guard<std::mutex> lock(run.mutex);
            run.workersLeft -= workers - static_cast<int>(threads.size());
        }
        if (threads.empty()) throw;
    }
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(run.mutex);
            if (run.finished.wait_for(lock, std::chrono::milliseconds(250), [&] { return run.workersLeft == 0; })) break;
        }
        if (tick) tick(snapshot(run, start));
    }
    for (auto& t : threads) t.join();
    if (tick) tick(snapshot(run, start));
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace orvex::tools

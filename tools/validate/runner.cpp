// The validator's runner: each group in a child process of its own (or in this process), the
// results passed back line by line, a crash or a hang turned into one failed check, and the
// summary.
#include "tools/validate/validate.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>

#include "tools/common/text.h"
#include "tools/common/usage_error.h"
#include "tools/common/vst_loader.h"
#include "tools/validate/check_kit.h"
#include "tools/validate/groups.h"

namespace orvex::tools {
namespace {

using namespace validation;
using Clock = std::chrono::steady_clock;

using GroupFunction = void (*)(Context&);

struct Group {
    const char* name;
    GroupFunction run;
};

const Group kGroups[] = {{"identity", runIdentity},       {"matrix", runMatrix},
                         {"automation", runAutomation},   {"edges", runEdges},
                         {"determinism", runDeterminism}, {"parameters", runParameters},
                         {"allocations", runAllocations}, {"threads", runThreads},
                         {"dispatcher", runDispatcher},   {"denormals", runDenormals}};

CheckStatus parseStatus(const std::string& s) {
    if (s == "PASS") return CheckStatus::Pass;
    if (s == "WARN") return CheckStatus::Warn;
    if (s == "SKIP") return CheckStatus::Skip;
    return CheckStatus::Fail;
}

std::vector<std::string> splitTabs(const std::string& line) {
    std::vector<std::string> parts;
    std::size_t from = 0;
    for (;;) {
        const auto tab = line.find('\t', from);
        parts.push_back(line.substr(from, tab - from));
        if (tab == std::string::npos) break;
        from = tab + 1;
    }
    return parts;
}

std::string signalText(int sig) {
    const char* name = sig == SIGALRM ? "timed out" : strsignal(sig);
    return formatText("%s (signal %d)", name ? name : "signal", sig);
}

// Runs one group in a child process, restarting after the check that crashed.
void runIsolated(const ValidateOptions& options, const PluginLibrary& library, const Group& group,
                 const std::function<void(const CheckResult&)>& emit) {
    int start = 0;
    for (;;) {
        int fds[2];
        if (::pipe(fds) != 0) throw std::runtime_error("cannot create a pipe for the validator");
        std::fflush(nullptr);
        const pid_t pid = ::fork();
        if (pid < 0) throw std::runtime_error("cannot fork the validator");
        if (pid == 0) {
            ::close(fds[0]);
            const int out = fds[1];
            auto send = [out](const std::string& line) {
                const char* p = line.data();
                std::size_t left = line.size();
                while (left > 0) {
                    const ssize_t n = ::write(out, p, left);
                    if (n <= 0) ::_exit(3);
                    p += n;
                    left -= static_cast<std::size_t>(n);
                }
            };
            int status = 0;
            try {
                Context ctx(options, library, group.name, start, send);
                group.run(ctx);
            } catch (const std::exception& e) {
                send(std::string("E\t") + e.what() + "\n");
                status = 2;
            }
            std::fflush(nullptr);
            ::_exit(status);
        }
        ::close(fds[1]);
        std::string pending, current;
        int currentId = -1;
        bool currentReported = true;
        char chunk[4096];
        std::string error;
        for (;;) {
            const ssize_t n = ::read(fds[0], chunk, sizeof chunk);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pending.append(chunk, static_cast<std::size_t>(n));
            std::size_t nl;
            while ((nl = pending.find('\n')) != std::string::npos) {
                const std::string line = pending.substr(0, nl);
                pending.erase(0, nl + 1);
                const auto parts = splitTabs(line);
                if (parts[0] == "B" && parts.size() >= 3) {
                    currentId = std::stoi(parts[1]);
                    current = parts[2];
                    currentReported = false;
                } else if (parts[0] == "R" && parts.size() >= 4) {
                    emit({parseStatus(parts[1]), group.name, parts[2], parts[3]});
                    currentReported = true;
                } else if (parts[0] == "E" && parts.size() >= 2) {
                    error = parts[1];
                }
            }
        }
        ::close(fds[0]);
        int status = 0;
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        const bool crashed = WIFSIGNALED(status) || (WIFEXITED(status) && WEXITSTATUS(status) != 0);
        if (!crashed) return;
        const std::string why = WIFSIGNALED(status) ? "crashed: " + signalText(WTERMSIG(status))
                                                    : error.empty() ? formatText("child exited with status %d", WEXITSTATUS(status))
                                                                    : "stopped: " + error;
        if (currentId < 0 || currentReported) {
            emit({CheckStatus::Fail, group.name, current.empty() ? "setting up" : current, why});
            return;
        }
        emit({CheckStatus::Fail, group.name, current, why});
        start = currentId + 1;
    }
}

void runInProcess(const ValidateOptions& options, const PluginLibrary& library, const Group& group,
                  const std::function<void(const CheckResult&)>& emit) {
    std::string pending;
    auto send = [&](const std::string& line) {
        const auto parts = splitTabs(line.substr(0, line.size() - 1));
        if (parts[0] == "R" && parts.size() >= 4) emit({parseStatus(parts[1]), group.name, parts[2], parts[3]});
    };
    try {
        Context ctx(options, library, group.name, 0, send);
        group.run(ctx);
    } catch (const std::exception& e) {
        emit({CheckStatus::Fail, group.name, "group", std::string("stopped: ") + e.what()});
    }
}

}  // namespace

const char* statusText(CheckStatus status) {
    switch (status) {
        case CheckStatus::Pass: return "PASS";
        case CheckStatus::Warn: return "WARN";
        case CheckStatus::Fail: return "FAIL";
        case CheckStatus::Skip: return "SKIP";
    }
    return "?";
}

const std::vector<std::string>& validationGroups() {
    static const std::vector<std::string> names = [] {
        std::vector<std::string> n;
        for (const auto& g : kGroups) n.push_back(g.name);
        return n;
    }();
    return names;
}

std::string formatCheck(const CheckResult& r) {
    return std::string(statusText(r.status)) + "  " + r.group + "  " + r.name + (r.detail.empty() ? "" : ": " + r.detail);
}

ValidationSummary validate(const ValidateOptions& options, const std::function<void(const CheckResult&)>& report) {
    for (const auto& g : options.groups)
        if (std::find(validationGroups().begin(), validationGroups().end(), g) == validationGroups().end()) {
            std::string all;
            for (const auto& n : validationGroups()) all += (all.empty() ? "" : ", ") + n;
            throw UsageError("unknown check group \"" + g + "\"; the groups are " + all);
        }
    const auto t0 = Clock::now();
    PluginLibrary library(options.pluginPath);
    ValidationSummary summary;
    auto emit = [&](const CheckResult& r) {
        switch (r.status) {
            case CheckStatus::Pass: ++summary.passed; break;
            case CheckStatus::Warn: ++summary.warnings; break;
            case CheckStatus::Fail: ++summary.failed; break;
            case CheckStatus::Skip: ++summary.skipped; break;
        }
        report(r);
    };
    for (const auto& group : kGroups) {
        if (!options.groups.empty() &&
            std::find(options.groups.begin(), options.groups.end(), group.name) == options.groups.end())
            continue;
        if (options.isolate) runIsolated(options, library, group, emit);
        else runInProcess(options, library, group, emit);
    }
    summary.seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    return summary;
}

}  // namespace orvex::tools

#pragma once
// Runs a program as a user would and waits for it by its process id: stdin from /dev/null, its
// output into files, extra variables in its environment (replacing ones of the same name), and
// stopped with SIGKILL, by that id, when it overruns its time.
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace orvex::test {

struct Outcome {
    int status = -1;  // exit status, or 128 + signal
    std::string out, err;
    std::string all() const { return out + err; }
    int errLines() const { return static_cast<int>(std::count(err.begin(), err.end(), '\n')); }
};

inline std::string slurp(const std::string& path) {
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

// `outputStem`.out and `outputStem`.err receive the program's output.
inline Outcome runProgram(const std::string& outputStem, const std::vector<std::string>& args,
                          const std::vector<std::string>& extraEnvironment = {}, int seconds = 300) {
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e) {
        bool replaced = false;
        for (const auto& x : extraEnvironment) {
            const auto eq = x.find('=');
            replaced |= std::strncmp(*e, x.c_str(), eq + 1) == 0;
        }
        if (!replaced) env.emplace_back(*e);
    }
    env.insert(env.end(), extraEnvironment.begin(), extraEnvironment.end());
    std::vector<char*> argv, envp;
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    for (const auto& e : env) envp.push_back(const_cast<char*>(e.c_str()));
    envp.push_back(nullptr);

    const std::string outPath = outputStem + ".out", errPath = outputStem + ".err";
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_addopen(&actions, 2, errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    pid_t pid = -1;
    const int spawned = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), envp.data());
    posix_spawn_file_actions_destroy(&actions);
    Outcome o;
    if (spawned != 0) {
        o.err = std::string("cannot start ") + argv[0] + ": " + std::strerror(spawned);
        return o;
    }
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    int status = 0;
    for (;;) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        if (std::chrono::steady_clock::now() > deadline) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            o.err = "timed out after " + std::to_string(seconds) + " s\n";
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    o.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
    o.out = slurp(outPath);
    o.err += slurp(errPath);
    return o;
}

}  // namespace orvex::test

#pragma once
// Where orvex-live talks to its user: one-line messages on standard error, and the meter, either
// as a status line rewritten in place on a terminal or as plain lines for logs (standard
// output). Any thread may call; lines never interleave, and a message does not land in the
// middle of the status line.
#include <mutex>
#include <string>

namespace orvex::live {

class Console {
public:
    // `statusOnTerminal`: standard output is a terminal that shows the status line.
    explicit Console(bool statusOnTerminal) : terminal_(statusOnTerminal) {}

    // "orvex-live: TEXT" on standard error.
    void line(const std::string& text);
    // Terminal: replaces the status (one line, or several separated by '\n'). Otherwise:
    // ignored.
    void status(const std::string& text);
    // One line on standard output (the meter for logs).
    void output(const std::string& text);
    // Ends the status line, so that whatever is printed next starts on a line of its own.
    void endStatus();

    bool terminal() const { return terminal_; }

private:
    void clearStatusLocked();

    std::mutex mutex_;
    bool terminal_;
    bool statusShown_ = false;
    int statusLines_ = 0;  // lines the status shown takes
    std::string lastStatus_;
};

}  // namespace orvex::live

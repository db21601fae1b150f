// The test kit: run the suite's programs as a user would and look at what they leave.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kit {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// One system call made to fail by strace: the `when`-th call of `call` (counted
// only among calls that touch `path`, if one is given) fails with `error`.
// `when` takes strace's syntax: "3", "2+" (the second and every later one).
struct Fault {
    std::string call;
    std::string error;  // an errno name: "EIO", "EACCES"
    std::string when = "1";
    std::string path;
    std::string delay;  // microseconds the call is held back first, if any
};

struct Options {
    std::vector<std::string> argv;
    std::string input;                 // standard input; end of file after it
    std::string cwd;                   // empty: the test's own
    std::vector<std::string> env;      // NAME=VALUE, added or replacing
    bool unprivileged = false;         // uid and gid 65534, no groups
    std::optional<Fault> fault;
    Millis deadline = 20s;             // then the program is killed
};

struct Result {
    std::string out;
    std::string err;
    int status = -1;     // exit status, or -1 if it did not exit
    int signal = 0;      // the signal that ended it, if one did
    bool timedOut = false;
};

// A program in the background: feed its standard input, read its standard
// output line by line. The destructor kills and reaps it if it still runs.
class Process {
public:
    explicit Process(const Options& options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // Writes bytes to standard input (waiting at most `deadline` for room).
    bool send(std::string_view bytes, Millis deadline = 5s);
    void closeInput();
    // The next line of standard output without its line feed; nothing at end
    // of output or when no whole line came before the deadline.
    std::optional<std::string> readLine(Millis deadline = 5s);
    // Whether the process has ended, without waiting.
    bool exited();
    void kill(int sig);
    // Closes standard input, collects the rest of both outputs and the exit
    // status; kills the process if it has not ended by the deadline.
    Result finish(Millis deadline = 20s);

private:
    enum class Goal { sent, line, closed };
    bool pump(std::chrono::steady_clock::time_point until, Goal goal);
    void reap(bool block);

    pid_t pid_ = -1;
    int pidfd_ = -1, in_ = -1, outFd_ = -1, errFd_ = -1;
    std::string toSend_, out_, err_;
    std::optional<int> waitStatus_;
};

Result run(const Options& options);

// A directory under /tmp, removed with everything in it, unreadable parts too.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

void writeFile(const std::string& path, std::string_view bytes, mode_t mode = 0644);
std::string readFile(const std::string& path);
bool exists(const std::string& path);        // as lstat sees it
mode_t modeOf(const std::string& path);      // permission bits, set-id and sticky
std::string errorText(int errnum);           // strerror's text
std::vector<std::string> lines(std::string_view text);
// A name no other test, running now or before, uses: stem-pid-counter.
std::string uniqueName(std::string_view stem);

}  // namespace kit

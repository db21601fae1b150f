// The test kit: run the suite's programs as a user would and look at what they leave.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "observed.h"

#include <bit>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

// Ends a test that only root can run (another user's permissions, a private
// namespace) as skipped, with the reason, when the tests run as anyone else.
#define SKIP_UNLESS_ROOT(why)                              \
    do {                                                   \
        if (geteuid() != 0)                                \
            GTEST_SKIP() << "needs root: " << (why);       \
    } while (0)

// Ends a test that cannot mean anything when the programs run under an
// emulator (its own threads, its own system calls), naming the emulator.
#define SKIP_UNDER_EMULATOR(why)                                                  \
    do {                                                                          \
        if (!kit::emulator().empty())                                             \
            GTEST_SKIP() << "under " << kit::emulator().front() << ": " << (why); \
    } while (0)

namespace kit {

using namespace std::chrono_literals;
using Millis = std::chrono::milliseconds;

// One system call made to fail by strace: the `when`-th call of `call` (counted
// only among calls that touch `path`, if one is given) fails with `error`.
// `when` takes strace's syntax: "3", "2+" (the second and every later one).
struct Fault {
    std::string call;
    std::string error;  // an errno name: "EIO", "EACCES"; none: the call is only held back
    std::string when = "1";
    std::string path;
    std::string delay;  // microseconds the call is held back first, if any
};

struct Options {
    std::vector<std::string> argv;
    std::string input;                 // standard input; end of file after it
    std::string inputPath;             // if set, standard input is this path, opened for reading
    std::string outputPath;            // if set, standard output is this path, opened for writing
    std::vector<int> closed;           // standard descriptors (0, 1, 2) the program starts without
    std::string cwd;                   // empty: the test's own
    std::vector<std::string> env;      // NAME=VALUE added or replacing; NAME alone removed
    mode_t umask = 022;                // the program's, whatever the test runner's
    // As uid and gid 65534 with no groups, from a copy of the program that
    // user may run wherever the build lives. Root only: see SKIP_UNLESS_ROOT.
    bool unprivileged = false;
    std::optional<Fault> fault;
    Millis deadline = 20s;             // then the program is killed (every deadline: 4 times under an emulator)
};

// Each field knows which run and which output it is (observed.h), for the
// case's report; to a test it is the plain string, int or bool. Standard
// output and error are kept up to 1 MiB each; a run that writes more fails
// its case, and the bytes past the bound are counted, not kept.
struct Result {
    Text out;
    Text err;
    std::size_t outDropped = 0;  // bytes of standard output past the bound
    std::size_t errDropped = 0;
    Number status = -1;  // exit status, or -1 if it did not exit
    Number signal = 0;   // the signal that ended it, if one did
    Truth timedOut = false;
};

// A program in the background, in a process group of its own: feed its
// standard input, read its standard output line by line. Bytes to send (the
// options' input too) move only while a call below waits: send, closeInput,
// readLine or finish. Whatever ends it
// early (a deadline, the destructor) kills the whole group, so strace's
// tracee and anything the program started go with it. A program that cannot
// be started throws, naming the step that failed and why.
class Process {
public:
    explicit Process(const Options& options);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    // The program's process id (strace's, for a fault), in a sandbox too.
    pid_t pid() const { return programPid_ > 0 ? programPid_ : pid_; }
    // Writes bytes to standard input (waiting at most `deadline` for room).
    bool send(std::string_view bytes, Millis deadline = 5s);
    void closeInput(Millis deadline = 5s);
    // The next line of standard output without its line feed; nothing at end
    // of output or when no whole line came before the deadline.
    std::optional<Text> readLine(Millis deadline = 5s);
    // Whether the process has ended, without waiting.
    bool exited();
    // Sends `sig` to the process alone (not its group).
    void kill(int sig);
    // Closes standard input, collects the rest of both outputs and the exit
    // status; kills the group if the program has not ended by the deadline.
    Result finish(Millis deadline = 20s);

private:
    using TimePoint = std::chrono::steady_clock::time_point;
    enum class Goal { sent, line, closed };
    bool pump(TimePoint until, Goal goal);
    void closeInputBy(TimePoint until);
    void end();  // kills the group, reaps the program, closes everything
    void awaitSandbox(TimePoint until, const std::string& name);

    pid_t pid_ = -1, programPid_ = -1;
    int pidfd_ = -1, in_ = -1, outFd_ = -1, errFd_ = -1;
    int channel_ = -1;  // from the sandbox's first process, when the program runs in one
    bool sandboxed_ = false;
    std::string cgroup_;  // the run's own, bounding its processes
    bool refusedForks_ = false;
    std::string toSend_, out_, err_, stage_;
    std::size_t outDropped_ = 0, errDropped_ = 0;
    std::optional<int> waitStatus_;
    int record_ = -1;  // this run in the case's report
};

Result run(const Options& options);

// Polls `ready` every millisecond until it holds or `deadline` has passed.
bool waitFor(const std::function<bool()>& ready, Millis deadline = 10s);
// Whether process `pid` sleeps in the open of a FIFO, waiting for the other end.
bool waitsInOpen(pid_t pid);
// Whether the program that strace `tracer` runs (its first child) is held at
// the entry of one of the system calls `numbers`, with `second` as its
// second argument if given: the moment a test widens with a held call.
bool heldIn(pid_t tracer, const std::vector<long>& numbers, std::optional<unsigned long> second = {});

// The suite's program `name` as the tests start it: the executable of that
// name in the directory that SYSDRILLS_PROGRAMS names, if it holds one (a
// stand-in: a cross build's program, a learner's own), else the build's own.
// Tests name programs by macros: RELOCATE is kit::program("relocate").
const char* program(std::string_view name);
// Where `name` is found when `standIns` names such a directory (or is null).
struct Location {
    std::string path;
    bool standIn = false;
};
Location locate(std::string_view name, const char* standIns);
// Every program of the suite, in the course's order, and where it is found.
struct SuiteProgram {
    std::string name;
    Location where;
};
const std::vector<SuiteProgram>& suitePrograms();

// What starts a stand-in (SYSDRILLS_EMULATOR: "qemu-aarch64 -L /usr/...",
// for programs built for another architecture); empty when they run here by
// themselves. The kit puts it before a stand-in it starts; a test that has
// another program start one (sh -c, env, unshare) gives that one
// `command(PROGRAM)`. Under tests/check (SYSDRILLS_SANDBOX) a run that names a
// stand-in runs in a sandbox, that other program with it; unshare alone runs
// outside, and the sandbox starts where the stand-in's command begins.
const std::vector<std::string>& emulator();
std::vector<std::string> command(const std::string& program);

// The byte order in which `program` keeps its numbers, for a test that plays
// its peer: a stand-in's is SYSDRILLS_BYTE_ORDER's ("big" or "little", as a
// cross build records it in its file byteorder), this machine's when that is
// unset, as for a learner's own programs; the build's own are this machine's.
std::endian byteOrder(const std::string& program);

// Names the programs a case runs beyond the one its suite or its parameter
// is named after, for the case's labels (ctest -L '^numbersend$'):
//   KIT_RUNS(Fifo, NumbersArriveInOrder, "numbersend numberrecv");
// A case that starts a program its labels do not name fails, and so does a
// passing case that never starts one they name.
// KIT_RUNS_P names them for one parameter of a parametrised case alone.
#define KIT_RUNS(suite, test, programs) \
    [[maybe_unused]] static const bool kitRuns_##suite##_##test = kit::declarePrograms(#suite "." #test, programs)
#define KIT_RUNS_P(suite, test, parameter, programs)                      \
    [[maybe_unused]] static const bool kitRuns_##suite##_##test##_##parameter = \
        kit::declarePrograms(#suite "." #test "/" #parameter, programs)
bool declarePrograms(std::string_view test, std::string_view programs);

// A peer on an ephemeral port of 127.0.0.1 that serves one connection (if one
// comes within 10 s) by `serve`, in a thread of its own; reads on the
// connection give up after 10 s. A peer nobody came to stops waiting when it
// goes.
class Peer {
public:
    explicit Peer(std::function<void(int fd)> serve);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;
    std::string port() const { return std::to_string(port_); }
    uint16_t number() const { return port_; }

private:
    int listenFd_ = -1;
    uint16_t port_ = 0;
    std::thread thread_;
};

// A fresh directory under `parent` (/tmp is ext4 here, /dev/shm tmpfs), mode
// 0755 so that an unprivileged run may enter it; removed with everything in
// it, unreadable parts too.
class TempDir {
public:
    explicit TempDir(std::string_view parent = "/tmp");
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(std::string_view name) const { return path_ + "/" + std::string(name); }

private:
    std::string path_;
};

// Files and directories with exactly the mode given, whatever the umask.
void writeFile(const std::string& path, std::string_view bytes, mode_t mode = 0644);
void makeDir(const std::string& path, mode_t mode = 0755);
// What a file holds, whether it is there (as lstat sees it), and its
// permission bits, set-id and sticky; each names the file to the report.
Text readFile(const std::string& path, Asked asked = {});
Truth exists(const std::string& path, Asked asked = {});
Mode modeOf(const std::string& path, Asked asked = {});
std::string errorText(int errnum);           // strerror's text
// The line perror prints for `message` when errno is `errnum`, line feed included.
std::string perrorLine(std::string_view message, int errnum);
// How every program fails: status 1, nothing on standard output, and
// exactly `line` on standard error.
void expectFailure(const Result& result, const std::string& line);
std::vector<std::string> lines(std::string_view text);
std::vector<std::string> words(std::string_view text);  // separated by blanks
// A name no other test, running now or before, uses: stem-pid-counter.
std::string uniqueName(std::string_view stem);
// In a table of which only some rows need root (see SKIP_UNLESS_ROOT): false
// when the tests run as anyone else, the row then told as skipped with the
// reason, while the case's other rows still run:
//   if (!ours && !kit::rootFor("an object of another user")) continue;
bool rootFor(const char* why);

}  // namespace kit

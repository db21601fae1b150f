// The test kit: processes with pipes and deadlines, temporary trees, file helpers.
#include "kit.h"
#include "report.h"
#include "sandbox.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <tuple>

extern char** environ;

namespace kit {
namespace {

using Clock = std::chrono::steady_clock;

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// The test's environment with the options' entries laid over it.
std::vector<std::string> environment(const Options& options)
{
    std::vector<std::string> env;
    for (char** e = environ; *e; ++e)
        env.emplace_back(*e);
    // "NAME=VALUE" replaces NAME or is added; "NAME" alone removes it.
    auto set = [&env](const std::string& entry) {
        auto equals = entry.find('=');
        auto name = entry.substr(0, equals) + "=";
        std::erase_if(env, [&](const std::string& e) { return e.starts_with(name); });
        if (equals != std::string::npos)
            env.push_back(entry);
    };
    for (const auto& entry : options.env)
        set(entry);
    if (options.fault) {
        // LeakSanitizer cannot run under ptrace; the rest of ASan can.
        std::string asan = "ASAN_OPTIONS=";
        for (const auto& e : env)
            if (e.starts_with(asan))
                asan = e + ":";
        set(asan + "detect_leaks=0");
    }
    return env;
}

// Every program of the suite, looked up once, when a test first names one.
const std::vector<SuiteProgram>& suite()
{
    static const std::vector<SuiteProgram> programs = [] {
        const char* standIns = std::getenv("SYSDRILLS_PROGRAMS");
        // A mistyped directory must not quietly test the build's own programs.
        if (standIns && *standIns && !std::filesystem::is_directory(standIns)) {
            std::fprintf(stderr, "SYSDRILLS_PROGRAMS=%s: no such directory\n", standIns);
            std::exit(1);
        }
        std::vector<SuiteProgram> found;
        for (const auto& name : words(KIT_PROGRAM_NAMES))
            found.push_back({name, locate(name, standIns)});
        return found;
    }();
    return programs;
}

const SuiteProgram* suiteProgram(std::string_view path)
{
    for (const auto& program : suite())
        if (program.where.path == path)
            return &program;
    return nullptr;
}

bool isProgram(const std::string& path)
{
    return suiteProgram(path) != nullptr;
}

bool isStandIn(const std::string& path)
{
    const SuiteProgram* found = suiteProgram(path);
    return found && found->where.standIn;
}

// A program is slower under an emulator: every deadline is stretched by this much.
int slowdown()
{
    return emulator().empty() ? 1 : 4;
}

Clock::time_point by(Millis deadline)
{
    return Clock::now() + deadline * slowdown();
}

// The command that starts the options' program: the sandbox (for a
// stand-in, under tests/check), strace (for a fault), the emulator (for a
// stand-in that needs one), then the program. `sandboxed` says whether the
// sandbox is its first word.
std::vector<std::string> commandLine(const Options& options, bool& sandboxed)
{
    std::vector<std::string> argv;
    if (!options.argv.empty()) {
        argv = command(options.argv[0]);  // through the emulator, if it needs one
        argv.insert(argv.end(), options.argv.begin() + 1, options.argv.end());
    }
    if (options.fault) {
        const Fault& f = *options.fault;
        std::string inject = "inject=" + f.call + (f.error.empty() ? "" : ":error=" + f.error) + ":when=" + f.when;
        if (!f.delay.empty())
            inject += ":delay_enter=" + f.delay;
        std::vector<std::string> traced{"strace", "-f", "-o", "/dev/null", "-e", inject};
        if (!f.path.empty())
            traced.insert(traced.end(), {"-P", f.path});
        traced.push_back("--");
        argv.insert(argv.begin(), traced.begin(), traced.end());
    }
    sandboxed = false;
    auto standIn = std::find_if(argv.begin(), argv.end(), isStandIn);
    if (!sandbox::enabled() || standIn == argv.end())
        return argv;
    // A test's own wrapper (a shell line, env, prlimit) runs in the sandbox
    // with the program; one that needs what the sandbox takes away (unshare
    // and a mount) runs before it, and starts the sandboxed program itself.
    if (std::filesystem::path(argv[0]).filename() == "unshare") {
        auto from = standIn - static_cast<std::ptrdiff_t>(emulator().size());
        std::vector<std::string> inner(from, argv.end());
        argv.erase(from, argv.end());
        auto line = sandbox::wrapped(inner, false);
        argv.insert(argv.end(), line.begin(), line.end());
        return argv;
    }
    sandboxed = true;
    return sandbox::wrapped(argv, options.unprivileged);
}

// uid 65534 may not be able to search the directories above the build (a
// clone in a private home): every argument naming one of the built programs
// is replaced by a copy in `stage`, a directory that user may enter.
void stagePrograms(std::vector<std::string>& argv, const std::string& stage)
{
    namespace fs = std::filesystem;
    for (auto& arg : argv) {
        fs::path path(arg);
        if (!isProgram(arg) || !fs::is_regular_file(path))
            continue;
        fs::path copy = fs::path(stage) / path.filename();
        fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
        fs::permissions(copy, fs::perms(0755));
        arg = copy.string();
    }
}

#ifdef KIT_COVERAGE_BUILD
// The coverage build: uid 65534 cannot write the counters root's runs made in
// the build (nor reach a build under /root), so it writes its own into the
// stage, by paths relative to the build; they are kept there for
// tests/coverage to merge.
void countInStage(const std::string& stage, std::vector<std::string>& env)
{
    namespace fs = std::filesystem;
    fs::create_directory(stage + "/counters");
    fs::permissions(stage + "/counters", fs::perms::all);
    std::string build = KIT_COVERAGE_BUILD;
    env.push_back("GCOV_PREFIX=" + stage + "/counters");
    env.push_back("GCOV_PREFIX_STRIP=" + std::to_string(std::count(build.begin(), build.end(), '/')));
}

void keepCounters(const std::string& stage)
{
    namespace fs = std::filesystem;
    std::error_code ignored;
    fs::path kept = fs::path(KIT_COVERAGE_BUILD) / "coverage-unprivileged" / uniqueName("run");
    fs::create_directories(kept, ignored);
    fs::copy(stage + "/counters", kept, fs::copy_options::recursive, ignored);
}

// The coverage runtime writes its counters at exit and says on standard error
// when it cannot (a program that ends with every descriptor in use, or under a
// file size limit smaller than its counters): that line is the build's, not
// the program's, and only that run's counters are lost.
void dropCounterComplaints(std::string& err)
{
    constexpr std::string_view complaints[] = {"profiling:", "libgcov profiling error:"};
    std::string kept;
    std::size_t start = 0;
    while (start < err.size()) {
        std::size_t end = err.find('\n', start);
        end = end == std::string::npos ? err.size() : end + 1;
        std::string_view line(err.data() + start, end - start);
        if (std::none_of(std::begin(complaints), std::end(complaints),
                         [&](std::string_view complaint) { return line.starts_with(complaint); }))
            kept.append(line);
        start = end;
    }
    err = std::move(kept);
}
#endif

std::vector<char*> pointers(std::vector<std::string>& strings)
{
    std::vector<char*> result;
    for (auto& s : strings)
        result.push_back(s.data());
    result.push_back(nullptr);
    return result;
}

// Removes a tree, unreadable parts too.
void removeTree(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == -1)
        return;
    if (!S_ISDIR(st.st_mode)) {
        unlink(path.c_str());
        return;
    }
    chmod(path.c_str(), 0700);  // tests leave unreadable directories behind
    if (DIR* dir = opendir(path.c_str())) {
        while (dirent* entry = readdir(dir))
            if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
                removeTree(path + "/" + entry->d_name);
        closedir(dir);
    }
    rmdir(path.c_str());
}

std::string makeTempDir(std::string_view parent, std::string_view stem)
{
    std::string name = std::string(parent) + "/" + std::string(stem) + "-XXXXXX";
    if (!mkdtemp(name.data()))
        fail("mkdtemp " + name);
    if (chmod(name.c_str(), 0755) == -1)
        fail("chmod " + name);
    return name;
}

// What a test asked of the file at `path`, and where it asked.
Origin onDisk(Origin::Kind kind, const std::string& path, const Asked& asked)
{
    return {.kind = kind, .path = path, .file = asked.file, .line = asked.line};
}

// The child's steps before the program runs, each of which may fail.
enum class StartStep { dup2, open, chdir, setgroups, setgid, setuid, cgroup, exec };

const char* nameOf(StartStep step)
{
    switch (step) {
    case StartStep::dup2: return "dup2";
    case StartStep::open: return "open";
    case StartStep::chdir: return "chdir";
    case StartStep::setgroups: return "setgroups";
    case StartStep::setgid: return "setgid";
    case StartStep::setuid: return "setuid";
    case StartStep::cgroup: return "cgroup";
    case StartStep::exec: return "exec";
    }
    return "start";
}

// What the child tells its parent when it cannot start the program.
struct StartFailure {
    StartStep step;
    int error;
};

}  // namespace

Process::Process(const Options& options)
{
    if (options.unprivileged && geteuid() != 0)
        throw std::logic_error("an unprivileged run needs root: start the test with SKIP_UNLESS_ROOT");
    // Everything the child needs is made before the fork: after it, only
    // async-signal-safe calls.
    bool sandboxed;
    auto argvStrings = commandLine(options, sandboxed);
    auto envStrings = environment(options);
    if (options.unprivileged) {
        stage_ = makeTempDir("/tmp", "kit-stage");
        try {
            stagePrograms(argvStrings, stage_);
#ifdef KIT_COVERAGE_BUILD
            countInStage(stage_, envStrings);
#endif
        } catch (...) {
            removeTree(stage_);
            throw;
        }
    }
    // Recorded (and its programs checked against the case's labels) before it starts.
    record_ = report::runStarted(options);
    std::string file = sandbox::executable(argvStrings[0]);
    const char* cwd = options.cwd.empty() ? nullptr : options.cwd.c_str();
    const char* inputPath = options.inputPath.empty() ? nullptr : options.inputPath.c_str();
    const char* outputPath = options.outputPath.empty() ? nullptr : options.outputPath.c_str();

    int in[2] = {-1, -1}, out[2] = {-1, -1}, err[2] = {-1, -1}, report[2] = {-1, -1}, channel[2] = {-1, -1};
    // Before there is a child, a failure releases what was made and throws.
    auto abandon = [&](const char* what) {
        int saved = errno;
        for (int fd : {in[0], in[1], out[0], out[1], err[0], err[1], report[0], report[1], channel[0], channel[1]})
            if (fd != -1)
                close(fd);
        if (!stage_.empty())
            removeTree(stage_);
        sandbox::removeCgroup(cgroup_);
        errno = saved;
        fail(what);
    };
    if (pipe2(in, O_CLOEXEC) == -1 || pipe2(out, O_CLOEXEC) == -1 || pipe2(err, O_CLOEXEC) == -1 ||
        pipe2(report, O_CLOEXEC) == -1)
        abandon("pipe2");
    // The sandbox's first process says on this socket which process the
    // program is, whether it started and how it ended.
    if (sandboxed) {
        int on = 1;
        if (socketpair(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0, channel) == -1 ||
            setsockopt(channel[0], SOL_SOCKET, SO_PASSCRED, &on, sizeof on) == -1)
            abandon("socketpair");
        envStrings.push_back("KIT_SANDBOX_SOCKET=" + std::to_string(channel[1]));
        cgroup_ = sandbox::makeCgroup();
    }
    std::string joinCgroup = cgroup_.empty() ? "" : cgroup_ + "/cgroup.procs";
    auto argv = pointers(argvStrings);
    auto envp = pointers(envStrings);
    pid_t parent = getpid();
    // A test must survive writing to a program that has stopped reading.
    signal(SIGPIPE, SIG_IGN);

    pid_ = fork();
    if (pid_ == -1)
        abandon("fork");
    if (pid_ == 0) {
        auto refuse = [&](StartStep step) {
            StartFailure failure{step, errno};
            [[maybe_unused]] ssize_t told = write(report[1], &failure, sizeof failure);
            _exit(127);
        };
        // A group of its own, so that it can be ended with all it started.
        setpgid(0, 0);
        // The programs start with the dispositions a shell would give them.
        signal(SIGPIPE, SIG_DFL);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        umask(options.umask);
        if (dup2(in[0], 0) == -1 || dup2(out[1], 1) == -1 || dup2(err[1], 2) == -1)
            refuse(StartStep::dup2);
        // A path in place of a pipe, opened before the working directory changes.
        for (auto [path, fd, flags] : {std::tuple{inputPath, 0, O_RDONLY}, std::tuple{outputPath, 1, O_WRONLY}}) {
            if (!path)
                continue;
            int opened = open(path, flags);
            if (opened == -1)
                refuse(StartStep::open);
            if (dup2(opened, fd) == -1)
                refuse(StartStep::dup2);
            close(opened);
        }
        for (int fd : options.closed)
            close(fd);
        if (cwd && chdir(cwd) == -1)
            refuse(StartStep::chdir);
        // In a sandbox, its first process becomes uid 65534.
        if (options.unprivileged && !sandboxed) {
            if (setgroups(0, nullptr) == -1)
                refuse(StartStep::setgroups);
            if (setgid(65534) == -1)
                refuse(StartStep::setgid);
            if (setuid(65534) == -1)
                refuse(StartStep::setuid);
        }
        // It ends with the test, even one killed at its time limit.
        if (prctl(PR_SET_PDEATHSIG, SIGKILL) == -1 || getppid() != parent)
            _exit(127);
        if (channel[1] != -1)
            fcntl(channel[1], F_SETFD, 0);
        if (!joinCgroup.empty()) {
            int procs = open(joinCgroup.c_str(), O_WRONLY | O_CLOEXEC);
            if (procs == -1 || write(procs, "0", 1) != 1)
                refuse(StartStep::cgroup);
            close(procs);
        }
        execve(file.c_str(), argv.data(), envp.data());
        refuse(StartStep::exec);
    }
    setpgid(pid_, pid_);  // as the child does: whichever runs first
    close(in[0]);
    close(out[1]);
    close(err[1]);
    close(report[1]);
    if (channel[1] != -1)
        close(channel[1]);
    in_ = in[1];
    outFd_ = out[0];
    errFd_ = err[0];
    channel_ = channel[0];
    sandboxed_ = sandboxed;

    // The report pipe closes at the exec; bytes on it say what went wrong.
    StartFailure failure;
    ssize_t got;
    do
        got = read(report[0], &failure, sizeof failure);
    while (got == -1 && errno == EINTR);
    close(report[0]);
    if (got == sizeof failure) {
        end();
        throw std::runtime_error("cannot start " + argvStrings[0] + ": " + nameOf(failure.step) +
                                 ": " + std::strerror(failure.error));
    }

    for (int fd : {in_, outFd_, errFd_})
        fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    // A descriptor that polls readable when the child ends. (glibc 2.36's
    // <sys/pidfd.h> lacks C linkage, so the call is made directly.)
    pidfd_ = static_cast<int>(syscall(SYS_pidfd_open, pid_, 0));
    if (pidfd_ == -1) {
        int saved = errno;
        end();
        errno = saved;
        fail("pidfd_open");
    }
    if (channel_ != -1)
        awaitSandbox(by(options.deadline), options.argv[0]);
    toSend_ = options.input;
}

// Waits until the sandbox has started the program or failed to: a program
// that cannot be started throws, as outside a sandbox.
void Process::awaitSandbox(TimePoint until, const std::string& name)
{
    for (;;) {
        pollfd fds[2] = {{channel_, POLLIN, 0}, {pidfd_, POLLIN, 0}};
        auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
        if (left <= 0 || poll(fds, 2, static_cast<int>(left)) <= 0 || !(fds[0].revents & POLLIN))
            return;  // the sandbox ended first: finish() shows what it said
        sandbox::Message message{};
        alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
        iovec part{&message, sizeof message};
        msghdr header{};
        header.msg_iov = &part;
        header.msg_iovlen = 1;
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        if (recvmsg(channel_, &header, MSG_DONTWAIT) != sizeof message)
            continue;
        if (message.kind == 'x')
            return;
        if (message.kind == 'p') {
            cmsghdr* c = CMSG_FIRSTHDR(&header);
            ucred who;
            if (c && c->cmsg_type == SCM_CREDENTIALS) {
                std::memcpy(&who, CMSG_DATA(c), sizeof who);
                programPid_ = who.pid;
            }
        }
        if (message.kind == 'f') {
            end();
            throw std::runtime_error("cannot start " + name + ": " + sandbox::steps[message.a] + ": " +
                                     std::strerror(message.b));
        }
    }
}

Process::~Process()
{
    end();
}

void Process::end()
{
    // The group is killed while its leader is unreaped, so that its id
    // cannot yet belong to anyone else.
    if (pid_ > 0 && !waitStatus_) {
        ::kill(-pid_, SIGKILL);
        int status;
        while (waitpid(pid_, &status, 0) == -1 && errno == EINTR) {
        }
        waitStatus_ = status;
        // The program's own status: the sandbox only says 128 and a signal.
        sandbox::Message message;
        while (channel_ != -1 && recv(channel_, &message, sizeof message, MSG_DONTWAIT) == sizeof message)
            if (message.kind == 'w')
                waitStatus_ = message.a;
    }
    for (int* fd : {&pidfd_, &in_, &outFd_, &errFd_, &channel_})
        if (*fd != -1) {
            close(*fd);
            *fd = -1;
        }
    if (sandbox::removeCgroup(cgroup_))
        refusedForks_ = true;
    cgroup_.clear();
    if (!stage_.empty()) {
#ifdef KIT_COVERAGE_BUILD
        keepCounters(stage_);
#endif
        removeTree(stage_);
        stage_.clear();
    }
}

// Moves bytes between the pipes until `goal` is reached or the deadline passes.
bool Process::pump(TimePoint until, Goal goal)
{
    auto done = [&] {
        switch (goal) {
        case Goal::sent: return toSend_.empty();
        case Goal::line: return out_.find('\n') != std::string::npos || outFd_ == -1;
        case Goal::closed: return outFd_ == -1 && errFd_ == -1;
        }
        return true;
    };
    while (!done()) {
        pollfd fds[3];
        nfds_t n = 0;
        if (in_ != -1 && !toSend_.empty())
            fds[n++] = {in_, POLLOUT, 0};
        if (outFd_ != -1)
            fds[n++] = {outFd_, POLLIN, 0};
        if (errFd_ != -1)
            fds[n++] = {errFd_, POLLIN, 0};
        auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
        if (n == 0 || left <= 0 || poll(fds, n, static_cast<int>(left)) <= 0)
            return done();
        for (nfds_t i = 0; i < n; ++i) {
            if (!fds[i].revents)
                continue;
            if (fds[i].fd == in_) {
                ssize_t w = write(in_, toSend_.data(), toSend_.size());
                if (w > 0)
                    toSend_.erase(0, w);
                else if (w == -1 && errno != EAGAIN) {
                    toSend_.clear();  // the program closed its input
                    close(in_);
                    in_ = -1;
                }
                continue;
            }
            int& fd = fds[i].fd == outFd_ ? outFd_ : errFd_;
            std::string& sink = fd == outFd_ ? out_ : err_;
            std::size_t& dropped = fd == outFd_ ? outDropped_ : errDropped_;
            char buf[65536];
            ssize_t r = read(fd, buf, sizeof buf);
            if (r > 0) {
                // Kept up to the bound, the rest counted.
                std::size_t room = sandbox::outputBytes - std::min(sandbox::outputBytes, sink.size());
                std::size_t kept = std::min(room, static_cast<std::size_t>(r));
                sink.append(buf, kept);
                dropped += r - kept;
            } else if (r == 0 || errno != EAGAIN) {
                close(fd);
                fd = -1;
            }
        }
    }
    return true;
}

bool Process::send(std::string_view bytes, Millis deadline)
{
    toSend_.append(bytes);
    return pump(by(deadline), Goal::sent);
}

void Process::closeInputBy(TimePoint until)
{
    pump(until, Goal::sent);
    if (in_ != -1)
        close(in_);
    in_ = -1;
    toSend_.clear();
}

void Process::closeInput(Millis deadline)
{
    closeInputBy(by(deadline));
}

std::optional<Text> Process::readLine(Millis deadline)
{
    pump(by(deadline), Goal::line);
    auto end = out_.find('\n');
    if (end == std::string::npos)
        return std::nullopt;
    Text line(out_.substr(0, end), {.kind = Origin::Kind::line, .run = record_});
    out_.erase(0, end + 1);
    return line;
}

bool Process::exited()
{
    // Polled, not reaped: the group is ended before its leader is reaped.
    pollfd ended{pidfd_, POLLIN, 0};
    return waitStatus_ || poll(&ended, 1, 0) == 1;
}

void Process::kill(int sig)
{
    if (!exited())
        ::kill(pid(), sig);
}

Result Process::finish(Millis deadline)
{
    auto until = by(deadline);
    closeInputBy(until);
    Result result;
    // Both outputs end when the program (and anything it started) has gone.
    bool closed = pump(until, Goal::closed);
    pollfd ended{pidfd_, POLLIN, 0};
    auto left = std::chrono::duration_cast<Millis>(until - Clock::now()).count();
    bool late = !closed || poll(&ended, 1, static_cast<int>(std::max<long>(left, 0))) != 1;
#ifdef KIT_COVERAGE_BUILD
    dropCounterComplaints(err_);
#endif
    end();
    // Each field says which run and which output it is, for the case's report.
    auto of = [this](Origin::Kind kind) { return Origin{.kind = kind, .run = record_}; };
    result.out = Text(std::move(out_), of(Origin::Kind::output));
    result.err = Text(std::move(err_), of(Origin::Kind::errors));
    result.outDropped = outDropped_;
    result.errDropped = errDropped_;
    result.status = Number(WIFEXITED(*waitStatus_) ? WEXITSTATUS(*waitStatus_) : -1, of(Origin::Kind::status));
    result.signal = Number(WIFSIGNALED(*waitStatus_) ? WTERMSIG(*waitStatus_) : 0, of(Origin::Kind::signal));
    result.timedOut = Truth(late, of(Origin::Kind::timedOut));
    // A bound the program met fails its case by name.
    for (auto [dropped, stream] : {std::pair{result.outDropped, "standard output"}, {result.errDropped, "standard error"}})
        if (dropped > 0)
            ADD_FAILURE() << "wrote more than 1 MiB to " << stream << ": the first 1 MiB is kept, and " << dropped
                          << " more bytes were dropped";
    if (refusedForks_)
        ADD_FAILURE() << "started more than " << sandbox::processes << " processes at once, the bound on a run";
    if (sandboxed_ && static_cast<int>(result.signal) == SIGXFSZ)
        ADD_FAILURE() << "wrote a file larger than " << (sandbox::fileBytes >> 20) << " MiB, the bound on each file";
    if (sandboxed_ && static_cast<int>(result.signal) == SIGXCPU)
        ADD_FAILURE() << "used more than " << sandbox::cpuSeconds << " s of processor time, the bound on each process";
    report::runEnded(record_, result, deadline * slowdown());
    return result;
}

bool rootFor(const char* why)
{
    if (geteuid() == 0)
        return true;
    report::rowSkipped(std::string("needs root: ") + why);
    return false;
}

Result run(const Options& options)
{
    Process process(options);
    return process.finish(options.deadline);
}

bool waitFor(const std::function<bool()>& ready, Millis deadline)
{
    for (auto until = Clock::now() + deadline; !ready(); std::this_thread::sleep_for(1ms))
        if (Clock::now() > until)
            return false;
    return true;
}

bool waitsInOpen(pid_t pid)
{
    std::ifstream wchan("/proc/" + std::to_string(pid) + "/wchan");
    std::string where;
    return std::getline(wchan, where) && where == "wait_for_partner";
}

bool heldIn(pid_t tracer, const std::vector<long>& numbers, std::optional<unsigned long> second)
{
    std::ifstream children("/proc/" + std::to_string(tracer) + "/task/" + std::to_string(tracer) + "/children");
    pid_t tracee;
    if (!(children >> tracee))
        return false;
    std::ifstream syscall("/proc/" + std::to_string(tracee) + "/syscall");
    long call;
    unsigned long first, argument;
    if (!(syscall >> call >> std::hex >> first >> argument))
        return false;
    return std::find(numbers.begin(), numbers.end(), call) != numbers.end() && (!second || argument == *second);
}

const char* program(std::string_view name)
{
    for (const auto& program : suite())
        if (program.name == name)
            return program.where.path.c_str();
    throw std::logic_error("no program of the suite is named " + std::string(name));
}

namespace {
// The worked programs, found from where this test binary is when it runs, so
// that an installed test binary finds the installed programs.
const std::filesystem::path& workedPrograms()
{
    static const std::filesystem::path found =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / KIT_PROGRAMS).lexically_normal();
    return found;
}
}  // namespace

Location locate(std::string_view name, const char* standIns)
{
    if (standIns && *standIns) {
        // Absolute, so that a run in another working directory finds it too.
        auto path = (std::filesystem::absolute(standIns) / name).lexically_normal();
        // Whatever holds the name replaces the build's program, even a link
        // that dangles or a file that cannot run: its runs then fail, saying why.
        struct stat st;
        if (lstat(path.c_str(), &st) == 0)
            return {path.string(), true};
    }
    return {(workedPrograms() / name).string(), false};
}

const std::vector<std::string>& emulator()
{
    static const std::vector<std::string> prefix = [] {
        const char* text = std::getenv("SYSDRILLS_EMULATOR");
        return text ? words(text) : std::vector<std::string>{};
    }();
    return prefix;
}

std::endian byteOrder(const std::string& program)
{
    static const std::endian standIns = [] {
        const char* text = std::getenv("SYSDRILLS_BYTE_ORDER");
        if (!text || !*text)
            return std::endian::native;
        if (std::strcmp(text, "big") == 0)
            return std::endian::big;
        if (std::strcmp(text, "little") == 0)
            return std::endian::little;
        // A mistyped order must not quietly test in this machine's.
        std::fprintf(stderr, "SYSDRILLS_BYTE_ORDER=%s: neither big nor little\n", text);
        std::exit(1);
    }();
    const SuiteProgram* found = suiteProgram(program);
    return found && found->where.standIn ? standIns : std::endian::native;
}

std::vector<std::string> command(const std::string& program)
{
    std::vector<std::string> argv;
    if (const SuiteProgram* found = suiteProgram(program); found && found->where.standIn)
        argv = emulator();
    argv.push_back(program);
    return argv;
}

const std::vector<SuiteProgram>& suitePrograms()
{
    return suite();
}

bool declarePrograms(std::string_view test, std::string_view programs)
{
    report::declare(test, programs);
    return true;
}

Peer::Peer(std::function<void(int fd)> serve)
{
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (listenFd_ == -1 || bind(listenFd_, reinterpret_cast<sockaddr*>(&address), sizeof address) == -1 ||
        listen(listenFd_, 1) == -1 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) == -1) {
        int saved = errno;
        if (listenFd_ != -1)
            close(listenFd_);
        errno = saved;
        fail("peer socket");
    }
    port_ = ntohs(address.sin_port);
    thread_ = std::thread([this, serve] {
        pollfd waiting{listenFd_, POLLIN, 0};
        if (poll(&waiting, 1, 10000) != 1 || (waiting.revents & POLLIN) == 0)
            return;
        int fd = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd == -1)
            return;
        timeval limit{10, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
        serve(fd);
        close(fd);
    });
}

Peer::~Peer()
{
    shutdown(listenFd_, SHUT_RDWR);  // a peer nobody came to stops waiting
    thread_.join();
    close(listenFd_);
}

TempDir::TempDir(std::string_view parent) : path_(makeTempDir(parent, "suite"))
{
    report::tempDir(path_, true);
    sandbox::caseDir(path_, true);
}

TempDir::~TempDir()
{
    report::tempDir(path_, false);
    sandbox::caseDir(path_, false);
    removeTree(path_);
}

void writeFile(const std::string& path, std::string_view bytes, mode_t mode)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (fd == -1)
        fail("open " + path);
    for (size_t done = 0; done < bytes.size();) {
        ssize_t w = write(fd, bytes.data() + done, bytes.size() - done);
        if (w == -1)
            fail("write " + path);
        done += w;
    }
    close(fd);
    if (chmod(path.c_str(), mode) == -1)
        fail("chmod " + path);
}

void makeDir(const std::string& path, mode_t mode)
{
    if (mkdir(path.c_str(), mode) == -1)
        fail("mkdir " + path);
    if (chmod(path.c_str(), mode) == -1)
        fail("chmod " + path);
}

Text readFile(const std::string& path, Asked asked)
{
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd == -1)
        fail("open " + path);
    std::string bytes;
    char buf[65536];
    ssize_t r;
    while ((r = read(fd, buf, sizeof buf)) > 0)
        bytes.append(buf, r);
    close(fd);
    if (r == -1)
        fail("read " + path);
    return Text(std::move(bytes), onDisk(Origin::Kind::contents, path, asked));
}

Truth exists(const std::string& path, Asked asked)
{
    struct stat st;
    return Truth(lstat(path.c_str(), &st) == 0, onDisk(Origin::Kind::presence, path, asked));
}

Mode modeOf(const std::string& path, Asked asked)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == -1)
        fail("lstat " + path);
    return Mode(st.st_mode & 07777, onDisk(Origin::Kind::mode, path, asked));
}

std::string errorText(int errnum)
{
    return std::strerror(errnum);
}

std::string perrorLine(std::string_view message, int errnum)
{
    return std::string(message) + ": " + errorText(errnum) + "\n";
}

void expectFailure(const Result& result, const std::string& line)
{
    EXPECT_EQ(result.status, 1) << result.err;
    EXPECT_EQ(result.out, "");
    EXPECT_EQ(result.err, line);
}

std::vector<std::string> lines(std::string_view text)
{
    std::vector<std::string> result;
    while (!text.empty()) {
        auto end = text.find('\n');
        result.emplace_back(text.substr(0, end));
        text.remove_prefix(end == text.npos ? text.size() : end + 1);
    }
    return result;
}

std::vector<std::string> words(std::string_view text)
{
    std::vector<std::string> result;
    while (!text.empty()) {
        auto blank = text.find(' ');
        if (blank != 0)
            result.emplace_back(text.substr(0, blank));
        text.remove_prefix(blank == text.npos ? text.size() : blank + 1);
    }
    return result;
}

std::string uniqueName(std::string_view stem)
{
    static std::atomic<int> counter;
    return std::string(stem) + "-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
}

}  // namespace kit

// The first process of the sandbox the kit runs a stand-in in: it starts the
// command with the bounds, the user and the signal dispositions of a plain
// run, tells the kit the command's process id, whether it started and how it
// ended, and when it returns the sandbox's whole process namespace ends.
//
//   sandbox-init [--unprivileged] -- PROGRAM ARG...
//
// The kit passes a datagram socket in KIT_SANDBOX_SOCKET; without one (the
// command was started by a test's own wrapper) a failed start is said on
// standard error and the status is a shell's: 127, or 128 and the signal.
#include "sandbox.h"

#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

int channel = -1;

void tell(kit::sandbox::Message message, bool credentials = false)
{
    if (channel == -1)
        return;
    msghdr header{};
    iovec part{&message, sizeof message};
    header.msg_iov = &part;
    header.msg_iovlen = 1;
    // The process id, as the kit's namespace numbers it, comes with the credentials.
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(ucred))];
    if (credentials) {
        header.msg_control = control;
        header.msg_controllen = sizeof control;
        cmsghdr* c = CMSG_FIRSTHDR(&header);
        c->cmsg_level = SOL_SOCKET;
        c->cmsg_type = SCM_CREDENTIALS;
        c->cmsg_len = CMSG_LEN(sizeof(ucred));
        ucred self{getpid(), getuid(), getgid()};
        std::memcpy(CMSG_DATA(c), &self, sizeof self);
    }
    while (sendmsg(channel, &header, 0) == -1 && errno == EINTR) {
    }
}

[[noreturn]] void refuse(int step)
{
    int error = errno;
    tell({'f', step, error});
    if (channel == -1)
        std::fprintf(stderr, "sandbox-init: %s: %s\n", kit::sandbox::steps[step], std::strerror(error));
    _exit(127);
}

void lower(int resource, rlim_t most)
{
    rlimit limit;
    if (getrlimit(resource, &limit) == 0 && limit.rlim_max != RLIM_INFINITY && limit.rlim_max < most)
        most = limit.rlim_max;
    limit.rlim_cur = limit.rlim_max = most;
    setrlimit(resource, &limit);
}

}  // namespace

int main(int argc, char** argv)
{
    int first = 1;
    bool unprivileged = argc > 1 && std::strcmp(argv[1], "--unprivileged") == 0;
    first += unprivileged;
    if (first < argc && std::strcmp(argv[first], "--") == 0)
        ++first;
    if (first >= argc) {
        std::fprintf(stderr, "usage: sandbox-init [--unprivileged] -- PROGRAM ARG...\n");
        return 2;
    }
    if (const char* socket = std::getenv("KIT_SANDBOX_SOCKET")) {
        channel = std::atoi(socket);
        unsetenv("KIT_SANDBOX_SOCKET");
        fcntl(channel, F_SETFD, FD_CLOEXEC);
    }
    // The sandbox may have reset SIGCHLD; a test that ignores it wraps the program in env.
    signal(SIGCHLD, SIG_DFL);
    int started[2];
    if (pipe2(started, O_CLOEXEC) == -1)
        refuse(0);
    pid_t child = fork();
    if (child == -1)
        refuse(1);
    if (child == 0) {
        close(started[0]);
        lower(RLIMIT_FSIZE, kit::sandbox::fileBytes);
        lower(RLIMIT_CPU, kit::sandbox::cpuSeconds);
        lower(RLIMIT_NPROC, kit::sandbox::processes);
        if (unprivileged && (setgroups(0, nullptr) == -1 || setgid(65534) == -1 || setuid(65534) == -1))
            refuse(2);
        tell({'p', 0, 0}, true);
        std::string program = kit::sandbox::executable(argv[first]);
        execv(program.c_str(), argv + first);
        int error = errno;
        [[maybe_unused]] ssize_t told = write(started[1], &error, sizeof error);
        refuse(3);
    }
    close(started[1]);
    int error = 0;
    ssize_t got;
    while ((got = read(started[0], &error, sizeof error)) == -1 && errno == EINTR) {
    }
    close(started[0]);
    if (got != sizeof error)
        tell({'x', 0, 0});
    // Orphans come to this process: reap them until the command itself ends.
    int status = 0;
    for (;;) {
        pid_t ended = wait(&status);
        if (ended == child)
            break;
        if (ended == -1 && errno != EINTR)
            return 127;
    }
    tell({'w', status, 0});
    if (WIFSIGNALED(status))
        return 128 + WTERMSIG(status);
    return WEXITSTATUS(status);
}

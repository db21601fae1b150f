// The sandbox a stand-in runs in under tests/check: what the kit and the
// sandbox's first process (sandbox-init) agree on, and the kit's side of it.
#pragma once

#include <sys/resource.h>
#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <string>
#include <vector>

namespace kit::sandbox {

// The bounds of a sandboxed run. Standard output and error are bounded for
// every run, in the kit (Process), at `outputBytes` each.
constexpr std::size_t outputBytes = 1 << 20;
constexpr rlim_t fileBytes = 64 << 20;  // RLIMIT_FSIZE: no file it writes grows larger
constexpr rlim_t cpuSeconds = 60;       // RLIMIT_CPU, per process
constexpr rlim_t processes = 512;       // RLIMIT_NPROC, and pids.max where root has a cgroup

// One datagram from sandbox-init: 'p' (with the credentials: the command's
// process id), 'x' (it started), 'f' (step `a` failed with errno `b`),
// 'w' (it ended with wait status `a`).
struct Message {
    char kind;
    int a, b;
};
inline constexpr const char* steps[] = {"pipe2", "fork", "setuid", "exec"};

// A directory of the case (kit::TempDir) made or removed: the sandbox lets
// the program change these.
void caseDir(const std::string& path, bool made);
// The file that execvp would run for `name`, found here so that the exec
// itself can be execv: a file that is no program then fails with ENOEXEC
// instead of being handed to /bin/sh.
inline std::string executable(const std::string& name)
{
    if (name.find('/') != std::string::npos)
        return name;
    const char* path = std::getenv("PATH");
    std::string dirs = path ? path : "/usr/bin:/bin";
    for (std::size_t start = 0; start <= dirs.size();) {
        std::size_t end = std::min(dirs.find(':', start), dirs.size());
        std::string candidate = (end == start ? "." : dirs.substr(start, end - start)) + "/" + name;
        if (access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return name;
}

// Whether stand-ins run sandboxed: tests/check sets SYSDRILLS_SANDBOX.
bool enabled();
// The command line that runs `argv` in a sandbox that may change only the
// case's directories (those alive now) and /dev/shm.
std::vector<std::string> wrapped(const std::vector<std::string>& argv, bool unprivileged);

// Root is not held to RLIMIT_NPROC: where tests/check made a cgroup of the
// pids controller (SYSDRILLS_CGROUP), each sandboxed run gets one of its own
// below it that holds at most `processes`. "" where there is none.
std::string makeCgroup();
// Whether a fork in it failed for the bound, and then removes it.
bool removeCgroup(const std::string& cgroup);

}  // namespace kit::sandbox

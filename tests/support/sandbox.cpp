// The kit's side of the sandbox: the bubblewrap command line around a stand-in.
#include "sandbox.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string_view>
#include <thread>

namespace kit::sandbox {
namespace {

std::vector<std::string>& caseDirs()
{
    static std::vector<std::string> dirs;
    return dirs;
}

}  // namespace

void caseDir(const std::string& path, bool made)
{
    if (made)
        caseDirs().push_back(path);
    else
        std::erase(caseDirs(), path);
}

bool enabled()
{
    static const bool on = [] {
        const char* value = std::getenv("SYSDRILLS_SANDBOX");
        return value && *value;
    }();
    return on;
}

std::vector<std::string> wrapped(const std::vector<std::string>& argv, bool unprivileged)
{
    // Everything read-only, a /dev of its own but the machine's shared
    // memory and terminals, a /proc and a process namespace of its own, /run (where the
    // machine's services listen) hidden; a session of its own, so that it
    // cannot signal the group that started it.
    std::vector<std::string> line{KIT_BWRAP, "--ro-bind", "/", "/", "--dev", "/dev", "--bind", "/dev/shm", "/dev/shm",
                                  "--dev-bind", "/dev/pts", "/dev/pts",
                                  "--proc", "/proc", "--tmpfs", "/run", "--unshare-pid", "--as-pid-1",
                                  "--die-with-parent", "--new-session"};
    for (const auto& dir : caseDirs())
        line.insert(line.end(), {"--dev-bind", dir, dir});  // a device a test made there opens
    // Root keeps what the cases need of it (another user's files, becoming
    // that user) and nothing that could undo the sandbox: no mounts, no
    // tracing of others, no devices, no raising of its limits.
    if (geteuid() == 0) {
        line.insert(line.end(), {"--cap-drop", "ALL"});
        for (const char* cap : {"CAP_CHOWN", "CAP_DAC_OVERRIDE", "CAP_DAC_READ_SEARCH", "CAP_FOWNER", "CAP_FSETID",
                                "CAP_KILL", "CAP_SETGID", "CAP_SETUID", "CAP_NET_BIND_SERVICE"})
            line.insert(line.end(), {"--cap-add", cap});
    }
    static const std::string init =
        (std::filesystem::read_symlink("/proc/self/exe").parent_path() / KIT_SANDBOX_INIT).string();
    line.insert(line.end(), {"--", init});
    if (unprivileged)
        line.emplace_back("--unprivileged");
    line.emplace_back("--");
    line.insert(line.end(), argv.begin(), argv.end());
    return line;
}

std::string makeCgroup()
{
    const char* parent = std::getenv("SYSDRILLS_CGROUP");
    if (!parent || !*parent || geteuid() != 0)
        return "";
    static std::atomic<int> counter;
    std::string cgroup = std::string(parent) + "/run-" + std::to_string(getpid()) + "-" + std::to_string(++counter);
    if (mkdir(cgroup.c_str(), 0755) == -1)
        return "";
    std::ofstream(cgroup + "/pids.max") << processes << "\n";
    return cgroup;
}

bool removeCgroup(const std::string& cgroup)
{
    if (cgroup.empty())
        return false;
    // "max N": how many forks the bound refused.
    std::ifstream events(cgroup + "/pids.events");
    std::string word;
    long refused = 0;
    events >> word >> refused;
    // Its processes are still being ended for a moment after the sandbox's first one is reaped.
    for (int tries = 0; tries < 200 && rmdir(cgroup.c_str()) == -1 && errno == EBUSY; ++tries)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return refused > 0;
}

}  // namespace kit::sandbox

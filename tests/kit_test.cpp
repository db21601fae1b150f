// The kit itself: a killed run leaves no process behind, deadlines hold, and a
// program that cannot be started says why.
#include "kit.h"

#include <signal.h>

#include <fstream>
#include <stdexcept>

#include <gtest/gtest-spi.h>
#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// Whether `pid` is gone, or only a zombie waiting for a reaper of its own.
bool gone(pid_t pid)
{
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string pidField, name, state;
    stat >> pidField >> name >> state;
    return !stat || state == "Z";
}

TEST(Kit, KilledRunUnderStraceTakesItsTraceeAlong)
{
    pid_t tracee = 0;
    {
        kit::Process strace({.argv = {"sleep", "60"}, .fault = kit::Fault{"getpid", "EIO"}});
        for (int i = 0; i < 500 && tracee == 0; ++i, usleep(10000)) {
            std::ifstream children("/proc/" + std::to_string(strace.pid()) + "/task/" +
                                   std::to_string(strace.pid()) + "/children");
            children >> tracee;
        }
        ASSERT_GT(tracee, 0) << "strace started no program";
    }
    bool ended = false;
    for (int i = 0; i < 500 && !ended; ++i, usleep(10000))
        ended = gone(tracee);
    EXPECT_TRUE(ended) << "pid " << tracee << " outlived its run";
}

// Standard input that is never read must not stretch the deadline.
TEST(Kit, DeadlineHoldsWhileInputWaits)
{
    auto start = Clock::now();
    auto r = kit::run({.argv = {"sleep", "60"}, .input = std::string(1 << 20, 'x'), .deadline = 500ms});
    EXPECT_TRUE(r.timedOut);
    EXPECT_EQ(r.signal, SIGKILL);
    EXPECT_LT(Clock::now() - start, 3s);
}

TEST(Kit, StartFailureNamesTheStep)
{
    // A file that is no program is not handed to /bin/sh.
    kit::TempDir dir;
    kit::writeFile(dir / "broken", "\177ELF\2\1\1 broken", 0755);
    const struct {
        kit::Options options;
        std::string said;
    } cases[] = {
        {{.argv = {"/nonexistent/program"}}, "exec: No such file or directory"},
        {{.argv = {"true"}, .cwd = "/nonexistent"}, "chdir: No such file or directory"},
        {{.argv = {dir / "broken"}}, "exec: Exec format error"},
    };
    for (const auto& c : cases) {
        try {
            kit::run(c.options);
            ADD_FAILURE() << "started: " << c.said;
        } catch (const std::runtime_error& e) {
            EXPECT_TRUE(std::string(e.what()).ends_with(c.said)) << e.what();
        }
    }
}

TEST(Kit, EnvironmentEntriesReplaceAddAndRemove)
{
    auto r = kit::run({.argv = {"sh", "-c", "echo \"${HOME-none} $KIT_A ${PATH:+path}\""},
                       .env = {"KIT_A=a", "HOME"}});
    EXPECT_EQ(r.out, "none a path\n");
}

// Output is kept up to 1 MiB a stream, the rest counted, and the run fails saying so.
TEST(Kit, OutputIsBounded)
{
    kit::Result r;
    EXPECT_NONFATAL_FAILURE(r = kit::run({.argv = {"sh", "-c", "head -c 3145728 /dev/zero; echo kept >&2"}}),
                            "wrote more than 1 MiB to standard output: the first 1 MiB is kept, and 2097152 more bytes");
    EXPECT_EQ(r.out.size(), 1u << 20);
    EXPECT_EQ(r.outDropped, 2u << 20);
    EXPECT_EQ(r.err, "kept\n");
    EXPECT_EQ(r.errDropped, 0u);
    EXPECT_EQ(r.status, 0);
}

// A program is the build's own unless the directory of stand-ins holds its
// name: then that is run, whatever it is, and a run that cannot start fails.
TEST(Kit, ProgramsAreFoundWhenTheTestsRun)
{
    kit::TempDir standIns;
    kit::writeFile(standIns / "erase", "#!/bin/sh\n", 0755);
    kit::writeFile(standIns / "umask", "#!/bin/sh\n", 0644);
    kit::makeDir(standIns / "seeksize", 0755);
    ASSERT_EQ(symlink("/nonexistent", (standIns / "relocate").c_str()), 0);
    auto own = kit::locate("erase", nullptr);
    EXPECT_FALSE(own.standIn);
    EXPECT_EQ(access(own.path.c_str(), X_OK), 0) << own.path;
    for (const char* replaced : {"erase", "umask", "seeksize", "relocate"}) {
        SCOPED_TRACE(replaced);
        auto standIn = kit::locate(replaced, standIns.path().c_str());
        EXPECT_TRUE(standIn.standIn);
        EXPECT_EQ(standIn.path, standIns / replaced);
    }
    EXPECT_EQ(kit::locate("resuffix", standIns.path().c_str()).path, kit::locate("resuffix", nullptr).path);
}

}  // namespace

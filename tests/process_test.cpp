// forkdemo: parent and child print their own copies of the same variables.
#include "kit.h"

#include <cerrno>
#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

// To a pipe each process writes its lines when it exits, and the parent
// exits only after the child.
const std::string childLines = "Child: x = 0 y = 15\nx = 50 y = -35\n";
const std::string parentFirst = "Parent: x = 20 y = -5\n";
const std::string parentLines = parentFirst + "x = 70 y = -55\n";

TEST(Forkdemo, FourLinesChildFirstWhateverTheArguments)
{
    const std::vector<std::vector<std::string>> argvs = {
        {FORKDEMO}, {FORKDEMO, "a"}, {FORKDEMO, "-h", "--", "x y", ""}};
    for (const auto& argv : argvs)
        for (int run = 0; run < 10; ++run) {
            SCOPED_TRACE(testing::Message() << argv.size() - 1 << " arguments, run " << run);
            auto r = kit::run({.argv = argv});
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.out, childLines + parentLines);
            EXPECT_EQ(r.err, "");
        }
}

// A child left by the program that exec'd forkdemo (here one that has
// already ended) must not end the parent's wait before its own child is done.
TEST(Forkdemo, WaitsForItsOwnChild)
{
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE(run);
        auto argv = kit::command(FORKDEMO);
        argv.insert(argv.begin(), {"sh", "-c", "true & exec \"$@\"", "sh"});
        auto r = kit::run({.argv = argv});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, childLines + parentLines);
    }
}

// glibc's fork is the clone system call.
TEST(Forkdemo, ForkFailsBeforeAnyLine)
{
    auto r = kit::run({.argv = {FORKDEMO}, .fault = kit::Fault{"clone", "EAGAIN"}});
    kit::expectFailure(r, kit::perrorLine("...", EAGAIN));
}

// With SIGCHLD ignored the child is reaped by the system and the wait, once
// it has ended, finds none: the parent stops after its first line.
TEST(Forkdemo, WaitFailsAfterTheParentsFirstLine)
{
    auto argv = kit::command(FORKDEMO);
    argv.insert(argv.begin(), {"env", "--ignore-signal=CHLD"});
    auto r = kit::run({.argv = argv});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, childLines + parentFirst);
    EXPECT_EQ(r.err, kit::perrorLine("...", ECHILD));
}

}  // namespace

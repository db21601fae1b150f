// The kit itself: a killed run leaves no process behind, deadlines hold, and a
// program that cannot be started says why.
#include "kit.h"
#include "wording.h"

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

// What the kit gives (a run's fields, a file's contents, mode and presence)
// knows what it is for the report, and to a test is the plain value.
TEST(Kit, ObservedValuesActAsThePlainOnes)
{
    kit::TempDir dir;
    kit::writeFile(dir / "f", "x", 0640);
    auto r = kit::run({.argv = {"sh", "-c", "printf 'a\\nb'; exit 3"}});
    std::string plain = r.out;
    const bool checks[] = {
        r.out == "a\nb", r.out == plain, plain == r.out, r.out != "a", r.out + "!" == "a\nb!",
        kit::lines(r.out).size() == 2, r.status == 3, r.status == 3u, 3 == r.status, r.status != 0, r.status > 2,
        r.signal == 0, !r.timedOut, kit::exists(dir / "f"), !kit::exists(dir / "g"), kit::modeOf(dir / "f") == 0640,
        (kit::modeOf(dir / "f") & 0040) != 0, (true ? kit::readFile(dir / "f") : "") == "x",
    };
    for (size_t i = 0; i < std::size(checks); ++i)
        EXPECT_TRUE(checks[i]) << "check " << i;
}

// What a report shows of the program's bytes cannot act on a terminal, and
// a shell reads its words back as they were.
TEST(Kit, ReportWordsAreSafeAndExact)
{
    using kit::wording::Bytes;
    const struct {
        std::string bytes;
        Bytes kind;
        std::string shown;
    } escapes[] = {
        {"a\nb\t\\", Bytes::text, "a\\nb\\t\\\\"},
        {"\033[2J\x7f\xff", Bytes::text, "\\033[2J\\177\\377"},
        {"d\xc5\xbe", Bytes::text, "d\xc5\xbe"},            // UTF-8 stays
        {"d\xc5\xbe", Bytes::binary, "d\\305\\276"},         // not in binary data
        {"\"a\\n\"\n\033", Bytes::message, "\"a\\n\"\n\\033"},  // GoogleTest's escapes stay
    };
    for (const auto& e : escapes)
        EXPECT_EQ(kit::wording::escaped(e.bytes, e.kind), e.shown);
    const std::pair<std::string, std::string> words[] = {
        {"$D/f.txt", "$D/f.txt"}, {"two words", "'two words'"}, {"it's", "'it'\\''s'"}, {"\033x", "$'\\033x'"}, {"", "''"},
    };
    for (const auto& [word, typed] : words)
        EXPECT_EQ(kit::wording::shellWord(word), typed);
}

// A difference is told from where it starts, and briefly.
TEST(Kit, DifferencesAreToldFromTheirStart)
{
    std::string megabyte(1 << 20, '\0'), spoiled = megabyte, line(150, 'a');
    spoiled[1000] = 'X';
    auto nuls = [](int n) {
        std::string shown;
        while (n-- > 0)
            shown += "\\000";
        return shown;
    };
    const struct {
        std::string got, expected, told;
    } rows[] = {
        {"b\n", "a\n", "expected \"a\\n\", got \"b\\n\""},
        {spoiled, megabyte, "1048576 bytes expected, 1048576 got; they differ at offset 1000 (bytes from offset 994):\n"
                            "  expected  ...\"" + nuls(16) + "\"...\n"
                            "  got       ...\"" + nuls(6) + "X" + nuls(9) + "\"..."},
        {line, line + "more", "154 bytes expected, 150 got; the first 150 are the same, then expected ...\"aaaaaamore\", got the end"},
        {"one\ntwo\nthree\n", "one\n2\nthree\n", "line 2 differs (3 lines expected, 3 got)\n"
                                                 "  expected  \"2\"\n            \"three\"\n"
                                                 "  got       \"two\"\n            \"three\""},
        {"one\n", "one\ntwo\n", "line 2 differs (2 lines expected, 1 got)\n  expected  \"two\"\n  got       (no such line)"},
    };
    for (const auto& r : rows)
        EXPECT_EQ(kit::wording::textDifference(r.got, r.expected), r.told);
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

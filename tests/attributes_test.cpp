// The attribute and account tools: permswap, permswap2, seeksize, seeksize2,
// umask, erase, fdmodes and pwlookup.
#include "kit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <optional>
#include <ostream>
#include <thread>
#include <vector>

namespace {

using kit::expectFailure;
using kit::perrorLine;
using namespace std::chrono_literals;

// Success for the silent programs: status 0 and nothing on either output.
void expectSilentSuccess(const kit::Result& r)
{
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
}

// permswap and permswap2 differ only in their messages.
struct Swapper {
    const char* name;
    const char* program;
    const char* statMessage;
    const char* chmodMessage;
};

const Swapper swappers[] = {
    {"permswap", PERMSWAP, "...", "..."},
    {"permswap2", PERMSWAP2, "stat", "chmod"},
};

void PrintTo(const Swapper& swapper, std::ostream* out)
{
    *out << swapper.name;
}

class Swap : public testing::TestWithParam<Swapper> {};

INSTANTIATE_TEST_SUITE_P(All, Swap, testing::ValuesIn(swappers),
                         [](const auto& row) { return std::string(row.param.name); });

// Group and other exchanged, the owner kept, set-id and sticky bits dropped;
// a second run gives the nine bits back.
TEST_P(Swap, ExchangesGroupAndOther)
{
    const struct {
        mode_t before, after;
    } cases[] = {{0640, 0604}, {0754, 0745}, {0777, 0777}, {04755, 0755},
                 {01777, 0777}, {02070, 0007}, {0000, 0000}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.before);
        kit::TempDir dir;
        kit::writeFile(dir / "f", "", c.before);
        expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "f"}}));
        EXPECT_EQ(kit::modeOf(dir / "f"), c.after);
        expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "f"}}));
        EXPECT_EQ(kit::modeOf(dir / "f"), c.before & 0777);
    }
}

TEST_P(Swap, LinkChangesItsTarget)
{
    kit::TempDir dir;
    kit::writeFile(dir / "target", "", 0751);
    ASSERT_EQ(symlink("target", (dir / "link").c_str()), 0);
    expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "link"}}));
    EXPECT_EQ(kit::modeOf(dir / "target"), 0715);
}

TEST_P(Swap, DirectoryLosesItsStickyBit)
{
    kit::TempDir dir;
    kit::makeDir(dir / "d", 01750);
    expectSilentSuccess(kit::run({.argv = {GetParam().program, dir / "d"}}));
    EXPECT_EQ(kit::modeOf(dir / "d"), 0705);
}

TEST_P(Swap, Failures)
{
    kit::TempDir dir;
    ASSERT_EQ(symlink("nowhere", (dir / "dangling").c_str()), 0);
    const char* program = GetParam().program;
    expectFailure(kit::run({.argv = {program}}), perrorLine("...", 0));
    expectFailure(kit::run({.argv = {program, "a", "b"}}), perrorLine("...", 0));
    expectFailure(kit::run({.argv = {program, dir / "missing"}}),
                  perrorLine(GetParam().statMessage, ENOENT));
    expectFailure(kit::run({.argv = {program, dir / "dangling"}}),
                  perrorLine(GetParam().statMessage, ENOENT));
    // A status that cannot be read changes nothing.
    kit::writeFile(dir / "f", "", 0640);
    auto failedStat = kit::Fault{"stat,newfstatat,statx", "EIO", "1", dir / "f"};
    expectFailure(kit::run({.argv = {program, dir / "f"}, .fault = failedStat}),
                  perrorLine(GetParam().statMessage, EIO));
    EXPECT_EQ(kit::modeOf(dir / "f"), 0640);
}

TEST_P(Swap, AnotherUsersFileIsRefused)
{
    SKIP_UNLESS_ROOT("a file of root's, changed by uid 65534");
    kit::TempDir dir;
    kit::writeFile(dir / "f", "", 04640);
    auto r = kit::run({.argv = {GetParam().program, dir / "f"}, .unprivileged = true});
    expectFailure(r, perrorLine(GetParam().chmodMessage, EPERM));
    EXPECT_EQ(kit::modeOf(dir / "f"), 04640);
}

// seeksize opens for reading and writing and names the failing step;
// seeksize2 opens read-only and says "..." for everything.
struct Seeker {
    const char* name;
    const char* program;
    bool readOnly;
    std::string argumentsLine, openLine, lseekLine;
};

const Seeker seekers[] = {
    {"seeksize", SEEKSIZE, false, "argumenti\n", "open\n", "lseek\n"},
    {"seeksize2", SEEKSIZE2, true, "...\n", "...\n", "...\n"},
};

void PrintTo(const Seeker& seeker, std::ostream* out)
{
    *out << seeker.name;
}

void expectSize(const kit::Result& r, off_t size)
{
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "File size: " + std::to_string(size) + "\n");
    EXPECT_EQ(r.err, "");
}

off_t statSize(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_size;
}

// A write end of the FIFO, once a reader holds it (one waiting in its open
// counts); -1 if none came before the deadline.
int openWriter(const std::string& fifo, kit::Millis deadline = 5s)
{
    auto until = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        int fd = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fd != -1 || errno != ENXIO || std::chrono::steady_clock::now() > until)
            return fd;
        std::this_thread::sleep_for(10ms);
    }
}

class Seek : public testing::TestWithParam<Seeker> {};

INSTANTIATE_TEST_SUITE_P(All, Seek, testing::ValuesIn(seekers),
                         [](const auto& row) { return std::string(row.param.name); });

// Past 4 GiB the size still prints whole; a sparse file shows its apparent size.
TEST_P(Seek, SizeAsStatSeesIt)
{
    kit::TempDir dir;
    for (off_t size : {0, 1, 4097, 1 << 20}) {
        SCOPED_TRACE(size);
        kit::writeFile(dir / "f", std::string(size, 'x'));
        expectSize(kit::run({.argv = {GetParam().program, dir / "f"}}), statSize(dir / "f"));
    }
    kit::writeFile(dir / "sparse", "");
    ASSERT_EQ(truncate((dir / "sparse").c_str(), 5LL << 30), 0);
    expectSize(kit::run({.argv = {GetParam().program, dir / "sparse"}}), 5LL << 30);
}

// seeksize2 prints whatever the file system's seek to a directory's end
// returns, or fails where that seek is refused (tmpfs).
TEST_P(Seek, Directory)
{
    for (const char* parent : {"/tmp", "/dev/shm"}) {
        SCOPED_TRACE(parent);
        kit::TempDir dir(parent);
        auto r = kit::run({.argv = {GetParam().program, dir.path()}});
        if (!GetParam().readOnly) {
            expectFailure(r, GetParam().openLine);
            continue;
        }
        int fd = open(dir.path().c_str(), O_RDONLY | O_CLOEXEC);
        ASSERT_NE(fd, -1);
        off_t end = lseek(fd, 0, SEEK_END);
        close(fd);
        if (end == -1)
            expectFailure(r, GetParam().lseekLine);
        else
            expectSize(r, end);
    }
}

// seeksize's read-write open takes a FIFO at once; seeksize2's waits for a writer.
TEST_P(Seek, FifoCannotSeek)
{
    kit::TempDir dir;
    std::string fifo = dir / "fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kit::Process p({.argv = {GetParam().program, fifo}});
    int writer = -1;
    if (GetParam().readOnly) {
        std::this_thread::sleep_for(100ms);
        EXPECT_FALSE(p.exited()) << "did not wait for a writer";
        writer = openWriter(fifo);
        EXPECT_NE(writer, -1) << "never opened the FIFO";
    }
    auto r = p.finish(10s);
    if (writer != -1)
        close(writer);
    expectFailure(r, GetParam().lseekLine);
}

TEST_P(Seek, Failures)
{
    kit::TempDir dir;
    const char* program = GetParam().program;
    expectFailure(kit::run({.argv = {program}}), GetParam().argumentsLine);
    expectFailure(kit::run({.argv = {program, "a", "b"}}), GetParam().argumentsLine);
    expectFailure(kit::run({.argv = {program, dir / "missing"}}), GetParam().openLine);
}

TEST_P(Seek, ReadOnlyFile)
{
    SKIP_UNLESS_ROOT("a file uid 65534 may read but not write");
    kit::TempDir dir;
    kit::writeFile(dir / "f", "twelve bytes", 0444);
    auto r = kit::run({.argv = {GetParam().program, dir / "f"}, .unprivileged = true});
    if (GetParam().readOnly)
        expectSize(r, 12);
    else
        expectFailure(r, GetParam().openLine);
}

// The mode text is octal, unvalidated; the program's own mask never shows.
TEST(Umask, ExactModeWhateverTheMask)
{
    const struct {
        const char* text;
        mode_t mode;
    } cases[] = {{"666", 0666}, {"0777", 0777}, {"640", 0640}, {"0640", 0640},
                 {"4755", 04755}, {"abc", 0}, {"758", 075}, {"9", 0},
                 {" +17", 017}, {"10644", 0644}};
    for (mode_t mask : {022, 077}) {
        for (auto c : cases) {
            SCOPED_TRACE(testing::Message() << "\"" << c.text << "\" umask " << std::oct << mask);
            kit::TempDir dir;
            expectSilentSuccess(kit::run({.argv = {UMASK, dir / "f", c.text}, .umask = mask}));
            EXPECT_EQ(kit::modeOf(dir / "f"), c.mode);
        }
    }
}

TEST(Umask, ExistingFileKeepsModeAndContents)
{
    kit::TempDir dir;
    kit::writeFile(dir / "f", "kept", 0604);
    expectSilentSuccess(kit::run({.argv = {UMASK, dir / "f", "777"}}));
    EXPECT_EQ(kit::modeOf(dir / "f"), 0604);
    EXPECT_EQ(kit::readFile(dir / "f"), "kept");
}

TEST(Umask, Failures)
{
    kit::TempDir dir;
    expectFailure(kit::run({.argv = {UMASK, dir / "f"}}), perrorLine("argumenti", 0));
    expectFailure(kit::run({.argv = {UMASK, dir / "f", "644", "x"}}), perrorLine("argumenti", 0));
    expectFailure(kit::run({.argv = {UMASK, dir / "missing/f", "644"}}), perrorLine("....", ENOENT));
    expectFailure(kit::run({.argv = {UMASK, dir.path(), "644"}}), perrorLine("....", EISDIR));
    EXPECT_FALSE(kit::exists(dir / "f"));
    EXPECT_FALSE(kit::exists(dir / "missing"));
    EXPECT_EQ(kit::modeOf(dir.path()), 0755);
}

// Every entry of a small folder, and the one a command line removes (if any);
// a failing command line touches nothing.
// One removal each, in a folder with a file, a link to it, an empty
// directory and a full one; what is gone afterwards is exactly `removed`.
struct Removal {
    std::vector<std::string> args;
    std::string err;
    std::string removed;
};

void expectRemovals(std::initializer_list<Removal> removals)
{
    for (const auto& c : removals) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        kit::TempDir dir;
        kit::writeFile(dir / "file", "kept");
        ASSERT_EQ(symlink("file", (dir / "link").c_str()), 0);
        kit::makeDir(dir / "empty");
        kit::makeDir(dir / "full");
        kit::writeFile(dir / "full/inside", "");
        std::vector<std::string> argv{ERASE};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto r = kit::run({.argv = argv, .cwd = dir.path()});
        if (c.err.empty())
            expectSilentSuccess(r);
        else
            expectFailure(r, c.err);
        for (const char* name : {"file", "link", "empty", "full", "full/inside"})
            EXPECT_EQ(kit::exists(dir / name), name != c.removed) << name;
        if (c.removed != "file") {
            EXPECT_EQ(kit::readFile(dir / "file"), "kept");
        }
    }
}

TEST(Erase, RemovesWhatTheOptionAsksFor)
{
    expectRemovals({
        {{"-f", "file"}, "", "file"},
        {{"-f", "link"}, "", "link"},  // the link, not its target
        {{"-d", "empty"}, "", "empty"},
    });
}

// -f is unlink and -d is rmdir, whatever the path names.
TEST(Erase, TheOptionChoosesTheCall)
{
    expectRemovals({
        {{"-f", "empty"}, "unlink\n", ""},
        {{"-d", "file"}, "rmdir\n", ""},
        {{"-d", "full"}, "rmdir\n", ""},
        {{"-f", "missing"}, "unlink\n", ""},
        {{"-d", "missing"}, "rmdir\n", ""},
    });
}

TEST(Erase, AnyOtherOptionTouchesNothing)
{
    expectRemovals({
        {{"-F", "file"}, "pogresna opcija\n", ""},
        {{"-fd", "file"}, "pogresna opcija\n", ""},
        {{"f", "file"}, "pogresna opcija\n", ""},
        {{"", "file"}, "pogresna opcija\n", ""},
        {{"file", "-f"}, "pogresna opcija\n", ""},
    });
}

TEST(Erase, ArgumentCount)
{
    expectRemovals({
        {{"-f"}, "argumenti\n", ""},
        {{"-f", "file", "link"}, "argumenti\n", ""},
    });
}

const std::string fdText = "Mogu da pisem\n";

// fdmodes in `dir`, its standard input set up by the shell line `input`
// (ending with the exec of the program, whose command is "$@").
kit::Result runFdmodes(const kit::TempDir& dir, const std::string& input,
                       kit::Options options = {})
{
    options.argv = kit::command(FDMODES);
    options.argv.insert(options.argv.begin(), {"sh", "-c", input, "sh"});
    options.cwd = dir.path();
    return kit::run(options);
}

// A missing 1.txt is created under the umask; standard input opened
// read-only (a file, the kit's pipe) is left alone. A write interrupted
// before it wrote anything is made again.
TEST(Fdmodes, ReadOnlyInputAndNewWorkFile)
{
    const struct {
        const char* input;
        mode_t mask, mode;
        bool interrupted = false;
    } cases[] = {{"exec \"$@\" < in.txt", 022, 0644}, {"exec \"$@\"", 077, 0600}, {"exec \"$@\"", 002, 0664},
                 {"exec \"$@\"", 022, 0644, true}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.input << (c.interrupted ? " interrupted" : ""));
        kit::TempDir dir;
        kit::writeFile(dir / "in.txt", "input");
        std::optional<kit::Fault> fault;
        if (c.interrupted)
            fault = kit::Fault{"write", "EINTR", "1", dir / "1.txt"};
        expectSilentSuccess(runFdmodes(dir, c.input, {.umask = c.mask, .fault = fault}));
        EXPECT_EQ(kit::readFile(dir / "in.txt"), "input");
        EXPECT_EQ(kit::readFile(dir / "1.txt"), fdText + fdText);
        EXPECT_EQ(kit::modeOf(dir / "1.txt"), c.mode);
    }
}

// The text lands at the input's offset, here 5, over what was there.
TEST(Fdmodes, ReadWriteInputIsWrittenAtItsOffset)
{
    kit::TempDir dir;
    const std::string before = "0123456789abcdefghijklmnopqrstuvwxyz";
    kit::writeFile(dir / "in.txt", before);
    auto r = runFdmodes(dir, "exec 0<>in.txt && dd bs=5 count=1 of=/dev/null status=none && exec \"$@\"");
    expectSilentSuccess(r);
    EXPECT_EQ(kit::readFile(dir / "in.txt"), "01234" + fdText + before.substr(5 + fdText.size()));
    EXPECT_EQ(kit::readFile(dir / "1.txt"), fdText + fdText);
}

TEST(Fdmodes, ClosedInputTouchesNothing)
{
    kit::TempDir dir;
    kit::writeFile(dir / "1.txt", "untouched", 0640);
    expectFailure(runFdmodes(dir, "exec \"$@\" <&-"), perrorLine("fcntl", EBADF));
    EXPECT_EQ(kit::readFile(dir / "1.txt"), "untouched");
    EXPECT_EQ(kit::modeOf(dir / "1.txt"), 0640);
}

// Only the first 28 bytes are written: no truncation, no appending.
TEST(Fdmodes, ExistingWorkFileKeepsItsTail)
{
    for (std::string before : {std::string(40, '#'), std::string("short"), std::string()}) {
        SCOPED_TRACE(before);
        kit::TempDir dir;
        kit::writeFile(dir / "1.txt", before, 0604);
        expectSilentSuccess(runFdmodes(dir, "exec \"$@\""));
        std::string tail = before.size() > 28 ? before.substr(28) : "";
        EXPECT_EQ(kit::readFile(dir / "1.txt"), fdText + fdText + tail);
        EXPECT_EQ(kit::modeOf(dir / "1.txt"), 0604);
    }
}

TEST(Fdmodes, WorkFileNotWritable)
{
    SKIP_UNLESS_ROOT("a file of root's, opened by uid 65534");
    kit::TempDir dir;
    kit::writeFile(dir / "1.txt", "root's", 0644);
    auto r = runFdmodes(dir, "exec \"$@\"", {.unprivileged = true});
    expectFailure(r, perrorLine("....", EACCES));
    EXPECT_EQ(kit::readFile(dir / "1.txt"), "root's");
}

// Each later step failing, and what 1.txt holds by then.
TEST(Fdmodes, FailingCalls)
{
    const struct {
        const char* call;
        const char* when;
        const char* on;
        const char* message;
        std::string workFile;  // what 1.txt holds; "-" if it was never made
    } cases[] = {
        {"write", "1", "in.txt", "write", "-"},
        {"write", "1", "1.txt", "write", ""},
        {"fcntl", "1", "1.txt", "....", fdText},
        {"fcntl", "2", "1.txt", "...", fdText},
        {"write", "2", "1.txt", "write", fdText},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << c.call << " " << c.when << " on " << c.on);
        kit::TempDir dir;
        kit::writeFile(dir / "in.txt", "");
        auto r = runFdmodes(dir, "exec \"$@\" 0<>in.txt",
                            {.fault = kit::Fault{c.call, "EIO", c.when, dir / c.on}});
        expectFailure(r, perrorLine(c.message, EIO));
        if (c.workFile == "-")
            EXPECT_FALSE(kit::exists(dir / "1.txt"));
        else
            EXPECT_EQ(kit::readFile(dir / "1.txt"), c.workFile);
    }
}

// The six lines for one passwd(5) line: name:password:uid:gid:info:home:shell.
std::string accountLines(const std::string& passwdLine)
{
    std::vector<std::string> field;
    std::string rest = passwdLine.substr(0, passwdLine.find('\n')) + ":";
    for (size_t colon; (colon = rest.find(':')) != std::string::npos; rest.erase(0, colon + 1))
        field.push_back(rest.substr(0, colon));
    if (field.size() != 7)
        return "not a passwd line: " + passwdLine;
    return "User name: " + field[0] + "\nUser ID: " + field[2] + "\nGroup ID: " + field[3] +
           "\nUser info: " + field[4] + "\nHome directory: " + field[5] + "\nShell: " + field[6] +
           "\n";
}

void expectAccount(const kit::Result& r, const std::string& passwdLine)
{
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, accountLines(passwdLine));
    EXPECT_EQ(r.err, "");
}

TEST(Pwlookup, RealDatabase)
{
    for (const char* name : {"root", "nobody"}) {
        SCOPED_TRACE(name);
        auto entry = kit::run({.argv = {"getent", "passwd", name}});
        ASSERT_EQ(entry.status, 0) << "no account " << name << " here";
        expectAccount(kit::run({.argv = {PWLOOKUP, name}}), entry.out);
    }
    expectFailure(kit::run({.argv = {PWLOOKUP, "no-such-account-here"}}), "getpwnam\n");
    expectFailure(kit::run({.argv = {PWLOOKUP}}), "argumenti\n");
    expectFailure(kit::run({.argv = {PWLOOKUP, "root", "root"}}), "argumenti\n");
}

// A database of the test's own, bound over /etc/passwd in a private mount
// namespace: an empty comment, ids of 2^31 and more, names matched exactly.
TEST(Pwlookup, PrivateDatabase)
{
    SKIP_UNLESS_ROOT("a private mount namespace");
    if (kit::run({.argv = {"unshare", "-m", "true"}}).status != 0)
        GTEST_SKIP() << "no mount namespace here";
    const std::string blank = "blank:x:1001:1001::/home/blank:/bin/sh\n";
    const std::string wide = "wide:x:3000000000:2147483648:Wide Id,,,:/home/wide:/bin/bash\n";
    kit::TempDir dir;
    kit::writeFile(dir / "passwd", "root:x:0:0:root:/root:/bin/bash\n" + blank + wide);
    auto lookup = [&](const char* name) {
        auto argv = kit::command(PWLOOKUP);
        argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c",
                                   "mount --bind \"$1\" /etc/passwd && shift && exec \"$@\"",
                                   "sh", dir / "passwd"});
        argv.push_back(name);
        return kit::run({.argv = argv});
    };
    expectAccount(lookup("blank"), blank);
    expectAccount(lookup("wide"), wide);
    expectFailure(lookup("Blank"), "getpwnam\n");
    expectFailure(lookup("0"), "getpwnam\n");
}

}  // namespace

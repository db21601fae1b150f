// relocate, relocate2 and resuffix: a move by copy that never loses the file.
#include "kit.h"

#include <dirent.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <ostream>
#include <random>
#include <thread>

namespace {

using namespace std::chrono_literals;

struct Mover {
    const char* name;
    const char* program;
    std::string writeFailed;  // message of a failed write
    std::string samePath;     // message of a refused second name of the source
    size_t buffer;            // bytes a read asks for
};

const Mover movers[] = {
    {"relocate", RELOCATE, "....", "ista_putanja", 256},
    {"relocate2", RELOCATE2, "...", "isti fajl", 1024},
    {"resuffix", RESUFFIX, "....", "...", 256},
};

// Test names and messages show the program's name.
void PrintTo(const Mover& mover, std::ostream* out)
{
    *out << mover.name;
}

bool isResuffix(const Mover& mover)
{
    return mover.program == std::string(RESUFFIX);
}

// The command line that moves `folder`/f.txt to `folder`/f.md.
std::vector<std::string> moveArgs(const Mover& mover, const std::string& folder)
{
    auto argv = kit::command(mover.program);
    if (isResuffix(mover))
        argv.insert(argv.end(), {folder + "/f.txt", "md"});
    else
        argv.insert(argv.end(), {folder + "/f.txt", folder + "/f.md"});
    return argv;
}

std::string randomBytes(size_t size)
{
    std::mt19937 generator(static_cast<unsigned>(size));
    std::string bytes(size, '\0');
    for (auto& byte : bytes)
        byte = static_cast<char>(generator());
    return bytes;
}

std::vector<std::string> entriesOf(const std::string& folder)
{
    std::vector<std::string> names;
    if (DIR* dir = opendir(folder.c_str())) {
        while (dirent* entry = readdir(dir))
            if (entry->d_name != std::string(".") && entry->d_name != std::string(".."))
                names.emplace_back(entry->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    return names;
}

ino_t inodeOf(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0 ? st.st_ino : 0;
}

void expectMoved(const kit::Result& r, const kit::TempDir& dir, std::string_view bytes, mode_t mode)
{
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(kit::exists(dir / "f.txt"));
    ASSERT_TRUE(kit::exists(dir / "f.md"));
    EXPECT_TRUE(kit::readFile(dir / "f.md") == bytes) << "contents differ";
    EXPECT_EQ(kit::modeOf(dir / "f.md"), mode);
}

void expectFailed(const kit::Result& r, const std::string& message, int errnum)
{
    kit::expectFailure(r, kit::perrorLine(message, errnum));
}

// SIGXFSZ ignored while it lives, so that a program started now sees EFBIG.
struct IgnoreXfsz {
    IgnoreXfsz() { signal(SIGXFSZ, SIG_IGN); }
    ~IgnoreXfsz() { signal(SIGXFSZ, SIG_DFL); }
};

class Moving : public testing::TestWithParam<Mover> {};

INSTANTIATE_TEST_SUITE_P(All, Moving, testing::ValuesIn(movers),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_P(Moving, ArgumentCount)
{
    for (auto argv : {std::vector<std::string>{GetParam().program},
                      std::vector<std::string>{GetParam().program, "a", "b", "c"}})
        expectFailed(kit::run({.argv = argv}), "...", 0);
}

TEST_P(Moving, ModeCarriedWhateverTheUmask)
{
    const struct {
        mode_t mode;
        mode_t umask;
    } cases[] = {{0640, 077}, {0640, 022}, {0604, 077}, {04755, 022}, {02710, 077}, {01777, 022}};
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << std::oct << c.mode << " umask " << c.umask);
        kit::TempDir dir;
        kit::writeFile(dir / "f.txt", "data\n", c.mode);
        auto r = kit::run({.argv = moveArgs(GetParam(), dir.path()), .umask = c.umask});
        expectMoved(r, dir, "data\n", c.mode);
    }
}

TEST_P(Moving, ExistingDestinationOverwritten)
{
    kit::TempDir dir;
    kit::writeFile(dir / "f.txt", "new", 0640);
    kit::writeFile(dir / "f.md", "older and longer contents", 0666);
    expectMoved(kit::run({.argv = moveArgs(GetParam(), dir.path())}), dir, "new", 0640);
}

// Sizes around both buffers, and large ones that are no multiple of them.
TEST_P(Moving, ContentsArriveByteForByte)
{
    for (size_t size : {0, 1, 255, 256, 257, 1023, 1024, 1025, 256 * 41 + 17, 1024 * 1024 + 3}) {
        SCOPED_TRACE(size);
        kit::TempDir dir;
        auto bytes = randomBytes(size);
        kit::writeFile(dir / "f.txt", bytes, 0600);
        expectMoved(kit::run({.argv = moveArgs(GetParam(), dir.path())}), dir, bytes, 0600);
    }
}

TEST_P(Moving, SymbolicLinkSourceMovesTheTargetsBytes)
{
    kit::TempDir dir;
    kit::writeFile(dir / "target", "target bytes", 0604);
    ASSERT_EQ(symlink("target", (dir / "f.txt").c_str()), 0);
    expectMoved(kit::run({.argv = moveArgs(GetParam(), dir.path())}), dir, "target bytes", 0604);
    EXPECT_EQ(kit::readFile(dir / "target"), "target bytes");
    EXPECT_EQ(kit::modeOf(dir / "target"), 0604);
}

// Also named with a trailing slash, which the source's name is looked up with.
TEST_P(Moving, DirectorySourceTouchesNothing)
{
    const struct {
        bool destinationExists;
        bool trailingSlash;
    } rows[] = {{false, false}, {true, false}, {true, true}};
    for (auto [destinationExists, trailingSlash] : rows) {
        SCOPED_TRACE(testing::Message() << destinationExists << trailingSlash);
        kit::TempDir dir;
        kit::makeDir(dir / "f.txt");
        kit::writeFile(dir / "f.txt/inside", "kept");
        if (destinationExists)
            kit::writeFile(dir / "f.md", "must survive", 0644);
        auto argv = moveArgs(GetParam(), dir.path());
        if (trailingSlash)
            argv[argv.size() - 2] += "/";
        expectFailed(kit::run({.argv = argv}), "...", EISDIR);
        EXPECT_EQ(kit::readFile(dir / "f.txt/inside"), "kept");
        EXPECT_EQ(kit::exists(dir / "f.md"), destinationExists);
        if (destinationExists) {
            EXPECT_EQ(kit::readFile(dir / "f.md"), "must survive");
        }
    }
}

TEST_P(Moving, DestinationDirectoryRefused)
{
    kit::TempDir dir;
    kit::writeFile(dir / "f.txt", "stays", 0640);
    kit::makeDir(dir / "f.md");
    expectFailed(kit::run({.argv = moveArgs(GetParam(), dir.path())}), "...", EISDIR);
    EXPECT_EQ(kit::readFile(dir / "f.txt"), "stays");
    EXPECT_EQ(kit::modeOf(dir / "f.txt"), 0640);
}

// relocate and relocate2 stop at realpath, before any look at the name;
// resuffix fails at its first look. That look made to fail with EACCES tells
// the two apart.
TEST_P(Moving, MissingSource)
{
    kit::TempDir dir;
    bool looks = isResuffix(GetParam());
    auto r = kit::run({.argv = moveArgs(GetParam(), dir.path()),
                       .fault = kit::Fault{"newfstatat,statx", "EACCES", "1", dir.path()}});
    expectFailed(r, "...", looks ? EACCES : ENOENT);
    expectFailed(kit::run({.argv = moveArgs(GetParam(), dir.path())}), "...", ENOENT);
    EXPECT_FALSE(kit::exists(dir / "f.md"));
}

// A file-size limit makes one write short and the next fail with EFBIG; or
// the second write fails outright, one buffer written.
TEST_P(Moving, WriteFailingHalfWayKeepsTheSource)
{
    IgnoreXfsz ignore;
    for (bool limited : {true, false}) {
        SCOPED_TRACE(limited ? "file size limit" : "failing write");
        kit::TempDir dir;
        auto bytes = randomBytes(4096);
        kit::writeFile(dir / "f.txt", bytes, 0644);
        auto argv = moveArgs(GetParam(), dir.path());
        std::optional<kit::Fault> fault;
        if (limited)
            argv.insert(argv.begin(), {"prlimit", "--fsize=1000", "--"});
        else
            fault = kit::Fault{"write", "EIO", "2", dir / "f.md"};
        expectFailed(kit::run({.argv = argv, .fault = fault}), GetParam().writeFailed, limited ? EFBIG : EIO);
        EXPECT_EQ(kit::readFile(dir / "f.txt"), bytes);
        EXPECT_EQ(kit::modeOf(dir / "f.txt"), 0644);
        EXPECT_TRUE(kit::readFile(dir / "f.md") == bytes.substr(0, limited ? 1000 : GetParam().buffer));
        EXPECT_EQ(kit::modeOf(dir / "f.md"), 0600);  // never readable by others
    }
}

// The short write under the same limit is continued with the rest of the
// buffer: the write that meets EFBIG asks for the 24 bytes that 1000 lacks
// of 1024, whichever buffer size.
TEST_P(Moving, ShortWriteIsContinued)
{
    IgnoreXfsz ignore;
    kit::TempDir dir, traceDir;
    kit::writeFile(dir / "f.txt", randomBytes(4096), 0644);
    auto argv = moveArgs(GetParam(), dir.path());
    argv.insert(argv.begin(), {"strace", "-f", "-e", "trace=write", "-o", traceDir / "trace", "--",
                               "prlimit", "--fsize=1000", "--"});
    auto r = kit::run({.argv = argv, .env = {"ASAN_OPTIONS=detect_leaks=0"}});
    expectFailed(r, GetParam().writeFailed, EFBIG);
    auto trace = kit::readFile(traceDir / "trace");
    EXPECT_NE(trace.find(", 24) = -1 EFBIG"), std::string::npos) << trace;
}

TEST_P(Moving, InterruptedCallsAreRetried)
{
    for (auto [call, path] : {std::pair{"write", "f.md"}, std::pair{"read", "f.txt"}}) {
        SCOPED_TRACE(call);
        kit::TempDir dir;
        auto bytes = randomBytes(5000);
        kit::writeFile(dir / "f.txt", bytes, 0640);
        auto r = kit::run({.argv = moveArgs(GetParam(), dir.path()),
                           .fault = kit::Fault{call, "EINTR", "2", dir / path}});
        expectMoved(r, dir, bytes, 0640);
    }
}

// A call failing before the copy ends: the source stays, an existing
// destination is emptied only once it is known to be another file, and made
// private before that, so that a copy failing halfway is shown to no one.
TEST_P(Moving, FailureBeforeTheCopyKeepsBothFiles)
{
    const struct {
        const char* call;
        const char* when;
        // A name in the folder, or the folder itself: the source's name is
        // looked at, opened and removed through a descriptor of the folder,
        // whose own open comes first, and strace's -P selects those calls by
        // the folder's path.
        const char* on;
        const char* destinationLeft;
        mode_t destinationMode;
        const char* error = "EIO";
        int reported = EIO;
    } cases[] = {
        // glibc's fstat is a newfstatat (a statx for a 32-bit program); the
        // sanitizers' wrapper calls fstat.
        // In the folder: its open, then the source's; the name's look, then the file's.
        {"openat", "1", "", "old", 0644},          {"openat", "2", "", "old", 0644},
        {"fstat,newfstatat,statx", "1", "", "old", 0644},
        {"fstat,newfstatat,statx", "2", "", "old", 0644},
        {"fstat,newfstatat,statx", "1", "f.txt", "old", 0644},
        // The destination: its exclusive create, then the open of the one
        // there; its look by name, then the look at what was opened.
        {"openat", "1", "f.md", "old", 0644},      {"openat", "2", "f.md", "old", 0644},
        // A name become a FIFO without a reader since its look: as the other special files.
        {"openat", "2", "f.md", "old", 0644, "ENXIO", EINVAL},
        {"fstat,newfstatat,statx", "1", "f.md", "old", 0644},
#ifdef __SANITIZE_THREAD__
        // ThreadSanitizer's fstat makes the fstat call itself, the first of
        // its kind, and strace counts each call apart.
        {"fstat", "1", "f.md", "old", 0644},
#else
        {"fstat,newfstatat,statx", "2", "f.md", "old", 0644},
#endif
        {"fchmod", "1", "f.md", "old", 0644},      {"ftruncate", "1", "f.md", "old", 0600},
        {"read", "1", "f.txt", "", 0600},
    };
    for (auto c : cases) {
        SCOPED_TRACE(testing::Message() << c.call << " " << c.on);
        kit::TempDir dir;
        kit::writeFile(dir / "f.txt", "source", 0640);
        kit::writeFile(dir / "f.md", "old", 0644);
        std::string on = *c.on ? dir / c.on : dir.path();
        auto r = kit::run({.argv = moveArgs(GetParam(), dir.path()), .fault = kit::Fault{c.call, c.error, c.when, on}});
        expectFailed(r, "...", c.reported);
        EXPECT_EQ(kit::readFile(dir / "f.txt"), "source");
        EXPECT_EQ(kit::readFile(dir / "f.md"), c.destinationLeft);
        EXPECT_EQ(kit::modeOf(dir / "f.md"), c.destinationMode);
    }
}

// After a complete copy: the last look at the source's name (the folder's
// third look) or the removal failing leaves both names, the copy whole.
TEST_P(Moving, FailureAfterTheCopyLeavesBothNames)
{
    for (kit::Fault fault : {kit::Fault{"fstat,newfstatat,statx", "EIO", "3"}, kit::Fault{"unlink,unlinkat", "EIO"}}) {
        SCOPED_TRACE(fault.call);
        kit::TempDir dir;
        auto bytes = randomBytes(3000);
        kit::writeFile(dir / "f.txt", bytes, 0640);
        fault.path = dir.path();
        expectFailed(kit::run({.argv = moveArgs(GetParam(), dir.path()), .fault = fault}), "...", EIO);
        EXPECT_EQ(kit::readFile(dir / "f.txt"), bytes);
        EXPECT_TRUE(kit::readFile(dir / "f.md") == bytes);
        EXPECT_EQ(kit::modeOf(dir / "f.md"), 0640);
    }
}

// The same for real: no write permission on the source's folder (the
// destination there exists already and is the mover's own).
TEST_P(Moving, UnlinkRefusedLeavesBothNames)
{
    SKIP_UNLESS_ROOT("runs the move as another user");
    kit::TempDir dir;
    std::string folder = dir / "ro";
    kit::makeDir(folder);
    kit::writeFile(folder + "/f.txt", "both stay", 0644);
    kit::writeFile(folder + "/f.md", "", 0600);
    ASSERT_EQ(chown((folder + "/f.md").c_str(), 65534, 65534), 0);
    auto r = kit::run({.argv = moveArgs(GetParam(), folder), .unprivileged = true});
    expectFailed(r, "...", EACCES);
    EXPECT_EQ(kit::readFile(folder + "/f.txt"), "both stay");
    EXPECT_EQ(kit::readFile(folder + "/f.md"), "both stay");
}

// close is where a write error the writes did not show is reported.
TEST_P(Moving, CloseOfTheCopyFailingKeepsTheSource)
{
    kit::TempDir dir;
    auto bytes = randomBytes(3000);
    kit::writeFile(dir / "f.txt", bytes, 0640);
    auto r = kit::run({.argv = moveArgs(GetParam(), dir.path()),
                       .fault = kit::Fault{"close", "EIO", "1", dir / "f.md"}});
    expectFailed(r, "...", EIO);
    EXPECT_TRUE(kit::readFile(dir / "f.txt") == bytes) << "source changed";
    EXPECT_EQ(kit::modeOf(dir / "f.txt"), 0640);
}

// The mode is given through the descriptor (the second fchmod, after the
// one that makes the copy private): a failure there keeps the source.
TEST_P(Moving, ModeFailingKeepsTheSource)
{
    kit::TempDir dir;
    auto bytes = randomBytes(3000);
    kit::writeFile(dir / "f.txt", bytes, 0640);
    auto r = kit::run({.argv = moveArgs(GetParam(), dir.path()),
                       .fault = kit::Fault{"fchmod", "EPERM", "2", dir / "f.md"}});
    expectFailed(r, "...", EPERM);
    EXPECT_TRUE(kit::readFile(dir / "f.txt") == bytes) << "source changed";
    EXPECT_TRUE(kit::readFile(dir / "f.md") == bytes);
    EXPECT_EQ(kit::modeOf(dir / "f.md"), 0600);
}

// Set before the old name goes, by descriptor: no call by name is left that
// a name swapped meanwhile (a symbolic link renamed over it) could redirect.
TEST_P(Moving, ModeGoesThroughTheDescriptorBeforeTheSource)
{
    kit::TempDir dir, traceDir;
    kit::writeFile(dir / "f.txt", "data", 04750);
    auto argv = moveArgs(GetParam(), dir.path());
    argv.insert(argv.begin(), {"strace", "-f", "-e", "trace=chmod,fchmod,fchmodat,unlink,unlinkat", "-o",
                               traceDir / "trace", "--"});
    expectMoved(kit::run({.argv = argv, .env = {"ASAN_OPTIONS=detect_leaks=0"}}), dir, "data", 04750);
    auto trace = kit::readFile(traceDir / "trace");
    auto at = trace.rfind("fchmod(");
    ASSERT_NE(at, std::string::npos) << trace;
    auto call = trace.substr(at, trace.find('\n', at) - at);
    EXPECT_NE(call.find(", 04750)"), std::string::npos) << call;
    EXPECT_TRUE(call.ends_with("= 0")) << call;
    // unlinkat: the runtime of a sanitizer may unlink files of its own.
    EXPECT_LT(at, trace.find("unlinkat(")) << "before the source's unlink: " << trace;
    // None by name.
    EXPECT_EQ(trace.find("chmod(\""), std::string::npos) << trace;
    EXPECT_EQ(trace.find("fchmodat("), std::string::npos) << trace;
}

// Only a regular file is moved, and the destination's name is replaced, never
// written through. Each of these is refused before anything is written or
// emptied; none of the opens waits (the deadline would catch it).
TEST_P(Moving, RefusesWhatIsNotAFileOfItsOwn)
{
    using Make = std::function<void(const kit::TempDir&)>;
    auto socketAt = [](const std::string& path) {
        int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        strcpy(address.sun_path, path.c_str());
        EXPECT_EQ(bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(fd);
    };
    const struct {
        const char* name;
        Make make;
        int error;
        bool root = false;
    } rows[] = {
        {"FIFO source", [](auto& d) { EXPECT_EQ(mkfifo((d / "f.txt").c_str(), 0644), 0); }, EINVAL},
        {"socket source", [&](auto& d) { socketAt(d / "f.txt"); }, EINVAL},
        {"FIFO destination", [](auto& d) { EXPECT_EQ(mkfifo((d / "f.md").c_str(), 0644), 0); }, EINVAL},
        {"socket destination", [&](auto& d) { socketAt(d / "f.md"); }, EINVAL},
        {"device destination", [](auto& d) {
             EXPECT_EQ(mknod((d / "f.md").c_str(), S_IFCHR | 0666, makedev(1, 3)), 0);
         }, EINVAL, true},
        {"symbolic link destination", [](auto& d) {
             kit::writeFile(d / "target", "not to be written through", 0666);
             EXPECT_EQ(symlink("target", (d / "f.md").c_str()), 0);
         }, ELOOP},
        {"another user's destination", [](auto& d) {
             kit::writeFile(d / "f.md", "theirs", 0644);
             EXPECT_EQ(chown((d / "f.md").c_str(), 65534, 65534), 0);
         }, EACCES, true},
    };
    for (const auto& row : rows) {
        if (row.root && geteuid() != 0)
            continue;  // a device node, another user's file: root's to make
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        row.make(dir);
        if (!kit::exists(dir / "f.txt"))
            kit::writeFile(dir / "f.txt", "source", 0640);
        // Type, owner, mode, device and contents of every name.
        auto snapshot = [&] {
            std::string state;
            for (const char* name : {"f.txt", "f.md", "target"}) {
                struct stat st {};
                lstat((dir / name).c_str(), &st);
                state += std::to_string(st.st_mode) + " " + std::to_string(st.st_uid) + " " +
                         std::to_string(st.st_rdev) + " " + (S_ISREG(st.st_mode) ? kit::readFile(dir / name) : "") + ";";
            }
            return state;
        };
        auto before = snapshot();
        expectFailed(kit::run({.argv = moveArgs(GetParam(), dir.path()), .deadline = 5s}), "...", row.error);
        EXPECT_EQ(snapshot(), before);
    }
}

// Each name is looked at before it is opened: a FIFO is refused unopened, and
// a process waiting at its other end goes on waiting, nothing read or written.
TEST_P(Moving, FifoRefusedUnopened)
{
    const struct {
        const char* fifo;
        std::vector<std::string> peer;
    } rows[] = {
        {"f.md", {"cat", "f.md"}},
        {"f.txt", {"sh", "-c", "echo written >f.txt"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fifo);
        kit::TempDir dir;
        ASSERT_EQ(mkfifo((dir / row.fifo).c_str(), 0644), 0);
        if (!kit::exists(dir / "f.txt"))
            kit::writeFile(dir / "f.txt", "source", 0640);
        kit::Process peer({.argv = row.peer, .cwd = dir.path()});
        ASSERT_TRUE(kit::waitFor([&] { return kit::waitsInOpen(peer.pid()); })) << "the peer never came to open";
        expectFailed(kit::run({.argv = moveArgs(GetParam(), dir.path()), .deadline = 5s}), "...", EINVAL);
        EXPECT_TRUE(kit::waitsInOpen(peer.pid())) << "the peer's open was answered";
    }
}

// A destination the move created is its own, whatever owner its file system
// reports: on vfat every file shows the mount's uid=. The source is there
// too, so that root's copy may be given its owner.
TEST_P(Moving, CreatedDestinationIsOwnWhateverOwnerShown)
{
    SKIP_UNLESS_ROOT("a loop mount in a private mount namespace");
    kit::TempDir dir;
    kit::makeDir(dir / "mnt");
    // 77: no vfat or no loop device here.
    std::string script =
        "truncate -s 2M img && mkfs.vfat img >log 2>&1 || { cat log >&2; exit 77; }; "
        "mount -o loop,uid=65534,gid=65534 img mnt || exit 77; "
        "printf moved >mnt/f.txt && \"$@\" && cat mnt/f.md && ! test -e mnt/f.txt";
    auto argv = moveArgs(GetParam(), "mnt");
    argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c", script, "sh"});
    auto r = kit::run({.argv = argv, .cwd = dir.path()});
    if (r.status == 77)
        GTEST_SKIP() << "no vfat loop mount here: " << r.err;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "moved");
    EXPECT_EQ(r.err, "");
}

// A move gives no one else's program a set-user-ID or set-group-ID bit:
// root's copy gets the source's owner and group, anyone else's keeps a bit
// only with them. A failing fchown keeps the source.
TEST_P(Moving, SetIdBitsOnlyWithTheirOwner)
{
    SKIP_UNLESS_ROOT("files of two users");
    const struct {
        const char* name;
        uid_t owner;  // and group, of the source
        bool unprivileged;
        std::optional<kit::Fault> fault;
        uid_t copyOwner;  // and group
        mode_t copyMode;
    } rows[] = {
        {"root moves 65534's", 65534, false, {}, 65534, 06755},
        {"65534 moves root's", 0, true, {}, 65534, 0755},
        {"65534 moves its own", 65534, true, {}, 65534, 06755},
        {"root's fchown fails", 65534, false, kit::Fault{"fchown", "EPERM"}, 0, 0600},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        std::string folder = dir / "w";
        kit::makeDir(folder);
        ASSERT_EQ(chown(folder.c_str(), 65534, 65534), 0);
        std::string source = folder + "/f.txt", copy = folder + "/f.md";
        kit::writeFile(source, "program", 0755);
        ASSERT_EQ(chown(source.c_str(), row.owner, row.owner), 0);
        ASSERT_EQ(chmod(source.c_str(), 06755), 0);  // after chown, which clears them
        auto r = kit::run({.argv = moveArgs(GetParam(), folder), .unprivileged = row.unprivileged, .fault = row.fault});
        if (row.fault)
            expectFailed(r, "...", EPERM);
        else
            EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(kit::exists(source), row.fault.has_value());
        EXPECT_EQ(kit::readFile(copy), "program");
        struct stat st {};
        ASSERT_EQ(stat(copy.c_str(), &st), 0);
        EXPECT_EQ(st.st_uid, row.copyOwner);
        EXPECT_EQ(st.st_gid, row.copyOwner);
        EXPECT_EQ(st.st_mode & 07777, row.copyMode);
    }
}

// The source's name is removed through its directory as opened at the start,
// and only while it is what it was then. uid 65534 owns the folders on the
// source's path and changes them while the move is held back: the folder
// swapped for a symbolic link to where root has a file of the same name
// leads the removal nowhere else, and the name swapped keeps both names.
TEST_P(Moving, SourceRemovedOnlyWhereItWasCopiedFrom)
{
    SKIP_UNLESS_ROOT("another user changes the source's path");
    SKIP_UNDER_EMULATOR("the calls held back are the emulator's");
    const struct {
        const char* name;
        kit::Fault hold;
        long heldIn;
        std::optional<unsigned long> second;
        const char* swapIn;
        const char* swap;
        int status;
        std::string err;
        const char* folderLeft;
        std::vector<std::string> entriesLeft;
    } rows[] = {
        // Held in the removal, as the old name's removal was.
        {"folder swapped", kit::Fault{.call = "unlinkat", .delay = "2000000"}, SYS_unlinkat, {}, "p",
         "mv s s.old && ln -s ../theirs s", 0, "", "p/s.old", {"f.md"}},
        // Held in the last fchmod, its mode the source's, before the name's last look.
        {"name swapped", kit::Fault{.call = "fchmod", .when = "2", .delay = "2000000"}, SYS_fchmod, 0640,
         "p/s", "mv f.txt f.old && ln -s ../../theirs/f.txt f.txt", 1, kit::perrorLine("...", ESTALE),
         "p/s", {"f.md", "f.old", "f.txt"}},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        for (const char* folder : {"p", "p/s"}) {
            kit::makeDir(dir / folder);
            ASSERT_EQ(chown((dir / folder).c_str(), 65534, 65534), 0);
        }
        kit::writeFile(dir / "p/s/f.txt", "root's source", 0640);
        kit::makeDir(dir / "theirs");
        kit::writeFile(dir / "theirs/f.txt", "root's other file", 0600);
        kit::Process move({.argv = moveArgs(GetParam(), dir / "p/s"), .fault = row.hold});
        ASSERT_TRUE(kit::waitFor([&] { return kit::heldIn(move.pid(), {row.heldIn}, row.second); })) << "never held";
        auto swap = kit::run({.argv = {"sh", "-c", row.swap}, .cwd = dir / row.swapIn, .unprivileged = true});
        ASSERT_EQ(swap.status, 0) << swap.err;
        auto r = move.finish();
        EXPECT_EQ(r.status, row.status);
        EXPECT_EQ(r.err, row.err);
        ASSERT_TRUE(kit::exists(dir / "theirs/f.txt")) << "root's other file removed";
        EXPECT_EQ(kit::readFile(dir / "theirs/f.txt"), "root's other file");
        EXPECT_EQ(entriesOf(dir / "theirs"), std::vector<std::string>{"f.txt"});
        EXPECT_EQ(entriesOf(dir / row.folderLeft), row.entriesLeft);
        EXPECT_EQ(kit::readFile(dir / row.folderLeft + "/f.md"), "root's source");
    }
}

// A second name of the source: a hard link, and for relocate and relocate2
// also other spellings of its path. Nothing may change.
TEST_P(Moving, SecondNameOfTheSourceRefused)
{
    bool resuffix = isResuffix(GetParam());
    std::vector<std::string> names = {"hard"};
    if (!resuffix)
        names.insert(names.end(), {"f.txt", "./f.txt", "d/../f.txt", "soft"});
    for (const auto& name : names) {
        SCOPED_TRACE(name);
        kit::TempDir dir;
        kit::writeFile(dir / "f.txt", "only copy", 0640);
        kit::makeDir(dir / "d");
        ASSERT_EQ(symlink("f.txt", (dir / "soft").c_str()), 0);
        ASSERT_EQ(link((dir / "f.txt").c_str(), (dir / "hard").c_str()), 0);
        if (resuffix) {
            ASSERT_EQ(link((dir / "f.txt").c_str(), (dir / "f.md").c_str()), 0);
        }
        auto argv = resuffix ? std::vector<std::string>{GetParam().program, "f.txt", "md"}
                             : std::vector<std::string>{GetParam().program, "f.txt", name};
        expectFailed(kit::run({.argv = argv, .cwd = dir.path()}), GetParam().samePath, 0);
        EXPECT_EQ(kit::readFile(dir / "f.txt"), "only copy");
        EXPECT_EQ(kit::modeOf(dir / "f.txt"), 0640);
        EXPECT_EQ(inodeOf(dir / "hard"), inodeOf(dir / "f.txt"));
        EXPECT_NE(inodeOf(dir / "soft"), inodeOf(dir / "f.txt"));
    }
}

// A bind mount shows the source under another canonical path.
TEST_P(Moving, BindMountOfTheSourceRefused)
{
    SKIP_UNLESS_ROOT("a bind mount in a private mount namespace");
    kit::TempDir dir;
    kit::makeDir(dir / "a");
    kit::makeDir(dir / "b");
    kit::writeFile(dir / "a/f.txt", "only copy", 0640);
    bool resuffix = isResuffix(GetParam());
    // resuffix meets the bind only through a second name in the same folder.
    if (resuffix)
        kit::writeFile(dir / "a/f.md", "", 0644);
    std::string move = resuffix ? "mount --bind a/f.txt a/f.md && exec \"$@\" a/f.txt md"
                                : "mount --bind a b && exec \"$@\" a/f.txt b/f.txt";
    auto argv = kit::command(GetParam().program);
    argv.insert(argv.begin(), {"unshare", "-m", "sh", "-c", move, "sh"});
    auto r = kit::run({.argv = argv, .cwd = dir.path()});
    expectFailed(r, GetParam().samePath, 0);
    EXPECT_EQ(kit::readFile(dir / "a/f.txt"), "only copy");
}

TEST(Resuffix, NameForms)
{
    const struct {
        const char* file;
        const char* suffix;
        const char* moved;
    } cases[] = {
        {"notes.txt", "md", "notes.md"},     {"archive.tar.gz", "zip", "archive.tar.zip"},
        {"file.", "txt", "file.txt"},        {".profile", "bak", ".bak"},
        {"a.txt", ".md", "a..md"},           {"a.txt", "", "a."},
        {"dir.d/file", "x", "dir.x"},        {"./file", "x", ".x"},
    };
    for (auto c : cases) {
        SCOPED_TRACE(c.file);
        kit::TempDir dir;
        kit::makeDir(dir / "dir.d");
        kit::writeFile(dir / c.file, c.file, 0640);
        auto r = kit::run({.argv = {RESUFFIX, c.file, c.suffix}, .cwd = dir.path()});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_FALSE(kit::exists(dir / c.file));
        EXPECT_EQ(kit::readFile(dir / c.moved), c.file);
        EXPECT_EQ(kit::modeOf(dir / c.moved), 0640);
    }
}

TEST(Resuffix, NameWithoutDotCreatesNothing)
{
    kit::TempDir dir;
    kit::writeFile(dir / "README", "stays", 0644);
    expectFailed(kit::run({.argv = {RESUFFIX, "README", "md"}, .cwd = dir.path()}), "...", 0);
    EXPECT_EQ(kit::readFile(dir / "README"), "stays");
    EXPECT_EQ(entriesOf(dir.path()), std::vector<std::string>{"README"});
}

// The suffix it already has: the file is left as it is.
TEST(Resuffix, SameSuffixChangesNothing)
{
    kit::TempDir dir;
    kit::writeFile(dir / "notes.txt", "kept whole", 0640);
    auto r = kit::run({.argv = {RESUFFIX, "notes.txt", "txt"}, .cwd = dir.path()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(kit::readFile(dir / "notes.txt"), "kept whole");
    EXPECT_EQ(kit::modeOf(dir / "notes.txt"), 0640);
    // Still opened first: a missing file is reported.
    auto gone = kit::run({.argv = {RESUFFIX, "gone.txt", "txt"}, .cwd = dir.path()});
    expectFailed(gone, "...", ENOENT);
}

}  // namespace

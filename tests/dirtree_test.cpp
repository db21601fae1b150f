// treeweight1 and treeweight: totals, treeweight1's pre-order listing, and every diagnostic.
#include "kit.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <thread>

namespace {

using kit::errorText;

// What sets the two walkers apart, as a user sees it.
struct Walker {
    const char* name;
    const char* program;
    const char* statMessage;
    const char* notDirMessage;
    const char* lstatMessage;
    const char* closedirMessage;
    const char* readdirMessage;
};

const Walker byChdir{"treeweight1", TREEWEIGHT1, "....", "not a dir", "lstat", "closedir", "readdir"};
const Walker byPath{"treeweight", TREEWEIGHT, "stat", "nije dir", "...", "...", "dir error"};

void PrintTo(const Walker& walker, std::ostream* os)
{
    *os << walker.name;
}

uint64_t lsize(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(lstat(path.c_str(), &st), 0) << path;
    return st.st_size;
}

uint64_t size(const std::string& path)
{
    struct stat st;
    EXPECT_EQ(stat(path.c_str(), &st), 0) << path;
    return st.st_size;
}

std::string canonical(const std::string& path)
{
    char* resolved = realpath(path.c_str(), nullptr);
    std::string result = resolved ? resolved : "";
    free(resolved);
    return result;
}

// The last line of a listing, with its line feed if it has one.
std::string lastLine(const std::string& out)
{
    auto before = out.find_last_of('\n', out.size() >= 2 ? out.size() - 2 : 0);
    return out.substr(before == std::string::npos ? 0 : before + 1);
}

std::string sizeLine(uint64_t total)
{
    return "Dir size: " + std::to_string(total) + "B\n";
}

// root/ holds a (5 bytes), link -> a, and sub/ holding b (10 bytes); beside
// root lies one more file. On tmpfs a directory's size grows with its
// entries, so the three directories differ and a walker that counts the wrong
// one as "." or ".." is caught.
struct Tree {
    kit::TempDir tmp;
    std::string root = tmp / "root";

    explicit Tree(std::string_view parent = "/dev/shm") : tmp(parent)
    {
        kit::makeDir(root);
        kit::makeDir(root + "/sub");
        kit::writeFile(root + "/a", "hello");
        kit::writeFile(root + "/sub/b", "0123456789");
        kit::writeFile(tmp / "beside", "");
        EXPECT_EQ(symlink("a", (root + "/link").c_str()), 0);
    }

    // Each directory counts by lstat when listed, by stat as its own "." and
    // as the ".." of each subdirectory; the start's parent counts once.
    uint64_t total()
    {
        std::string sub = root + "/sub";
        return lsize(root) + size(root) + size(tmp.path()) + lsize(root + "/a") +
               lsize(root + "/link") + lsize(sub) + size(sub) + size(root) + lsize(sub + "/b");
    }
};

class Walkers : public testing::TestWithParam<Walker> {};

TEST_P(Walkers, TotalsTheTree)
{
    Tree tree;
    ASSERT_NE(size(tree.root), size(tree.root + "/sub"));
    ASSERT_NE(size(tree.root), size(tree.tmp.path()));
    auto result = kit::run({.argv = {GetParam().program, tree.root}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    ASSERT_FALSE(result.out.empty());
    EXPECT_EQ(lastLine(result.out), sizeLine(tree.total()));
}

// ext4 (/tmp here) gives readdir 64-bit offsets, which a 32-bit program
// reads only through the large-file interface.
TEST_P(Walkers, TotalsATreeOnExt4)
{
    Tree tree("/tmp");
    auto result = kit::run({.argv = {GetParam().program, tree.root}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.err, "");
    EXPECT_EQ(lastLine(result.out), sizeLine(tree.total()));
}

TEST_P(Walkers, TrailingSlashChangesNothing)
{
    Tree tree;
    auto plain = kit::run({.argv = {GetParam().program, tree.root}});
    auto slashed = kit::run({.argv = {GetParam().program, tree.root + "/"}});
    EXPECT_EQ(slashed.status, 0);
    EXPECT_EQ(slashed.out, plain.out);
}

TEST_P(Walkers, LinkToDirectoryCountsTheLinkOnly)
{
    Tree tree;
    std::string link = tree.tmp / "shortcut";
    ASSERT_EQ(symlink(tree.root.c_str(), link.c_str()), 0);
    auto result = kit::run({.argv = {GetParam().program, link}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, sizeLine(lsize(link)));
}

TEST_P(Walkers, CountsPastFourGibibytes)
{
    Tree tree;
    std::string sparse = tree.root + "/sparse";
    kit::writeFile(sparse, "");
    ASSERT_EQ(truncate(sparse.c_str(), 5LL << 30), 0);
    auto result = kit::run({.argv = {GetParam().program, tree.root}});
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(lastLine(result.out), sizeLine(tree.total() + (5ULL << 30)));
}

TEST_P(Walkers, DiagnosticsBeforeTheWalk)
{
    const Walker& w = GetParam();
    kit::TempDir tmp;
    kit::writeFile(tmp / "file", "x");
    struct Case {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{}, std::string("argumenti: ") + errorText(0)},
        {{tmp.path(), tmp.path()}, std::string("argumenti: ") + errorText(0)},
        {{tmp / "missing"}, std::string(w.statMessage) + ": " + errorText(ENOENT)},
        {{tmp / "file"}, std::string(w.notDirMessage) + ": " + errorText(0)},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{w.program};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        auto result = kit::run({.argv = argv});
        EXPECT_EQ(result.status, 1) << c.err;
        EXPECT_EQ(result.err, c.err + "\n");
        EXPECT_EQ(result.out, "");
    }
}

TEST_P(Walkers, UnreadableDirectoryEndsTheWalk)
{
    SKIP_UNLESS_ROOT("walks as another user");
    Tree tree;
    // The tree itself is open to that user: the walk fails at the lock only.
    ASSERT_EQ(kit::run({.argv = {GetParam().program, tree.root}, .unprivileged = true}).status, 0);
    kit::makeDir(tree.root + "/locked", 0);
    auto result = kit::run({.argv = {GetParam().program, tree.root}, .unprivileged = true});
    EXPECT_EQ(result.status, 1);
    EXPECT_EQ(result.err, "opendir: " + errorText(EACCES) + "\n");
    EXPECT_EQ(result.out.find("Dir size"), std::string::npos);
}

// Failures that only a failing call reaches. strace's -P counts only calls
// on the start directory: its stat in main is the first, the walker's lstat
// the second (statx both, for a 32-bit program).
TEST_P(Walkers, FailingCallsEndTheWalkWithoutATotal)
{
    const Walker& w = GetParam();
    struct Case {
        kit::Fault fault;
        std::string err;
    } cases[] = {
        {{"newfstatat,statx", "EIO", "2"}, std::string(w.lstatMessage) + ": " + errorText(EIO)},
        {{"getdents64", "EIO", "1"}, std::string(w.readdirMessage) + ": " + errorText(EIO)},
        {{"close", "EIO", "1"}, std::string(w.closedirMessage) + ": " + errorText(EIO)},
    };
    for (auto& c : cases) {
        Tree tree;
        c.fault.path = tree.root;
        auto result = kit::run({.argv = {w.program, tree.root}, .fault = c.fault});
        EXPECT_EQ(result.status, 1) << c.fault.call;
        EXPECT_EQ(result.err, c.err + "\n");
        EXPECT_EQ(result.out.find("Dir size"), std::string::npos) << c.fault.call;
    }
}

INSTANTIATE_TEST_SUITE_P(Both, Walkers, testing::Values(byChdir, byPath),
                         [](const auto& row) { return std::string(row.param.name); });

// treeweight1 lists depth-first and pre-order: a subdirectory's block follows
// its entry's line at once. The stream's order within a directory is free.
TEST(Treeweight1, ListsEveryDirectoryAndEntryInPreOrder)
{
    Tree tree;
    auto result = kit::run({.argv = {TREEWEIGHT1, tree.root}});
    ASSERT_EQ(result.status, 0) << result.err;
    auto out = kit::lines(result.out);
    std::string root = canonical(tree.root), sub = root + "/sub", parent = canonical(tree.tmp.path());
    auto entry = [](const std::string& path, const std::string& name) {
        return "\tFile path: " + path + " : " + name;
    };
    std::vector<std::string> rootEntries{entry(root, "."), entry(parent, ".."), entry(root + "/a", "a"),
                                         entry(root + "/a", "link"), entry(sub, "sub")};
    std::vector<std::string> subEntries{entry(sub, "."), entry(root, ".."), entry(sub + "/b", "b")};

    ASSERT_EQ(out.size(), 1 + rootEntries.size() + 1 + subEntries.size() + 1);
    EXPECT_EQ(out.front(), "Dir path: " + root);
    EXPECT_EQ(out.back(), "Dir size: " + std::to_string(tree.total()) + "B");

    auto subLine = std::find(out.begin(), out.end(), entry(sub, "sub"));
    ASSERT_NE(subLine, out.end());
    ASSERT_EQ(*(subLine + 1), "Dir path: " + sub);
    std::vector<std::string> subBlock(subLine + 2, subLine + 2 + subEntries.size());
    std::vector<std::string> rootBlock(out.begin() + 1, subLine + 1);
    rootBlock.insert(rootBlock.end(), subLine + 2 + subEntries.size(), out.end() - 1);
    std::ranges::sort(subBlock);
    std::ranges::sort(subEntries);
    std::ranges::sort(rootBlock);
    std::ranges::sort(rootEntries);
    EXPECT_EQ(subBlock, subEntries);
    EXPECT_EQ(rootBlock, rootEntries);
}

TEST(Treeweight1, EmptyDirectoryListsDotAndDotDot)
{
    kit::TempDir tmp;
    std::string root = tmp / "empty";
    kit::makeDir(root);
    auto result = kit::run({.argv = {TREEWEIGHT1, root}});
    EXPECT_EQ(result.status, 0);
    auto out = kit::lines(result.out);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[3], "Dir size: " + std::to_string(lsize(root) + size(root) + size(tmp.path())) + "B");
}

// A dangling link cannot be resolved for treeweight1's listing; treeweight
// never resolves, so it counts the link like any other.
KIT_RUNS(DanglingLink, FailsTheListingButNotTheCount, "treeweight treeweight1");
TEST(DanglingLink, FailsTheListingButNotTheCount)
{
    Tree tree;
    ASSERT_EQ(symlink("nowhere", (tree.root + "/dangling").c_str()), 0);

    auto listed = kit::run({.argv = {TREEWEIGHT1, tree.root}});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.err, "...: " + errorText(ENOENT) + "\n");
    EXPECT_EQ(listed.out.find("Dir size"), std::string::npos);

    auto counted = kit::run({.argv = {TREEWEIGHT, tree.root}});
    EXPECT_EQ(counted.status, 0);
    EXPECT_EQ(counted.out, sizeLine(tree.total() + lsize(tree.root + "/dangling")));
}

// Read permission without search permission: treeweight1 cannot enter the
// directory, treeweight cannot stat what it lists.
KIT_RUNS(SearchDenied, EndsEachWalkerAtItsOwnStep, "treeweight treeweight1");
TEST(SearchDenied, EndsEachWalkerAtItsOwnStep)
{
    SKIP_UNLESS_ROOT("walks as another user");
    Tree tree;
    kit::makeDir(tree.root + "/listable", 0444);
    auto listed = kit::run({.argv = {TREEWEIGHT1, tree.root}, .unprivileged = true});
    EXPECT_EQ(listed.status, 1);
    EXPECT_EQ(listed.err, "chdir: " + errorText(EACCES) + "\n");

    auto counted = kit::run({.argv = {TREEWEIGHT, tree.root}, .unprivileged = true});
    EXPECT_EQ(counted.status, 1);
    EXPECT_EQ(counted.err, "...: " + errorText(EACCES) + "\n");
}

// Started in a directory that has been removed, "." can be opened and
// entered, but it has no path any more: realpath fails on it.
TEST(Treeweight1, RemovedWorkingDirectoryHasNoPath)
{
    kit::TempDir tmp;
    kit::makeDir(tmp / "gone");
    auto argv = kit::command(TREEWEIGHT1);
    argv.insert(argv.begin(), {"sh", "-c", "rmdir ../gone && exec \"$@\" .", "sh"});
    auto r = kit::run({.argv = argv, .cwd = tmp / "gone"});
    kit::expectFailure(r, "...: " + errorText(ENOENT) + "\n");
}

TEST(Treeweight1, FailingChdirOutOrInEndsTheWalk)
{
    for (const char* call : {"fchdir", "chdir"}) {
        kit::TempDir tmp;
        auto result = kit::run({.argv = {TREEWEIGHT1, tmp.path()}, .fault = kit::Fault{call, "EACCES"}});
        EXPECT_EQ(result.status, 1) << call;
        EXPECT_EQ(result.err, "chdir: " + errorText(EACCES) + "\n");
        EXPECT_EQ(result.out.find("Dir size"), std::string::npos);
    }
}

// The looks at "." and ".." that check the way back, failing. An empty
// start names "." as its own entry (1) and in the look after leaving (2);
// ".." first in the start's own look. strace may say on a line of its own
// how it resolves the path.
TEST(Treeweight1, FailingLookAtTheWayBackEndsTheWalk)
{
    for (auto [path, when] : {std::pair{"..", "1"}, std::pair{".", "2"}}) {
        SCOPED_TRACE(testing::Message() << path << " " << when);
        kit::TempDir tmp;
        auto r = kit::run({.argv = {TREEWEIGHT1, tmp.path()}, .fault = kit::Fault{"newfstatat,statx", "EIO", when, path}});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(("\n" + r.err).ends_with("\nchdir: " + errorText(EIO) + "\n")) << r.err;
        EXPECT_EQ(r.out.find("Dir size"), std::string::npos);
    }
}

// Waits up to 10 s until the program that `walk`'s strace runs sits in the
// system call `number` with `cwd` as its working directory.
bool heldIn(const kit::Process& walk, long number, const std::string& cwd)
{
    std::string tracer = std::to_string(walk.pid());
    auto until = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    for (; std::chrono::steady_clock::now() < until; std::this_thread::sleep_for(std::chrono::milliseconds(1))) {
        pid_t tracee;
        long call;
        if (!(std::ifstream("/proc/" + tracer + "/task/" + tracer + "/children") >> tracee))
            continue;
        std::string proc = "/proc/" + std::to_string(tracee);
        if (std::ifstream(proc + "/syscall") >> call && call == number && canonical(proc + "/cwd") == cwd)
            return true;
    }
    return false;
}

// A directory moved elsewhere while the walk is in it: its ".." then leads
// out of the tree, into a folder with a file of the start's names. The walk
// is held in its first chdir("..") (out of sub) while sub is moved.
TEST(Treeweight1, DirectoryMovedAwayMidWalkEndsIt)
{
    kit::TempDir tmp;
    std::string root = tmp / "root", outside = tmp / "outside";
    kit::makeDir(root);
    kit::makeDir(root + "/sub");
    kit::writeFile(root + "/sub/b", "0123456789");
    kit::writeFile(root + "/a", "hello");
    kit::makeDir(outside);
    kit::writeFile(outside + "/a", "not in the tree");
    kit::Process walk({.argv = {TREEWEIGHT1, root}, .fault = kit::Fault{"chdir", "", "1", "", "2000000"}});
    ASSERT_TRUE(heldIn(walk, SYS_chdir, canonical(root + "/sub"))) << "the walk never came to leave sub";
    ASSERT_EQ(rename((root + "/sub").c_str(), (outside + "/sub").c_str()), 0);
    auto r = walk.finish();
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "chdir: " + errorText(ENOENT) + "\n");
    EXPECT_EQ(r.out.find("Dir size"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find(canonical(outside)), std::string::npos) << r.out;
}

// uid 65534 owns home/ in root's tree and swaps home/dir while root's walk
// is held in the open of dir, after its lstat: for a symbolic link to a tree
// of root's, or for a directory of its own. Neither is listed: the walk ends
// right after dir's own entry line.
TEST(Treeweight1, DirectorySwappedBeforeItIsOpenedIsNotListed)
{
    SKIP_UNLESS_ROOT("another user swaps the directory");
    struct Case {
        const char* name;
        const char* swap;  // run by uid 65534 in home/
    } cases[] = {
        {"symbolic link", "mv dir dir.old && ln -s ../../elsewhere dir"},
        {"other directory", "mv dir dir.old && mv ../../attic/decoy dir"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        kit::TempDir tmp;
        std::string home = tmp / "root/home";
        kit::makeDir(tmp / "root");
        kit::makeDir(tmp / "elsewhere");
        kit::writeFile(tmp / "elsewhere/secret", "root's");
        for (auto dir : {home, home + "/dir", tmp / "attic", tmp / "attic/decoy"}) {
            kit::makeDir(dir);
            ASSERT_EQ(chown(dir.c_str(), 65534, 65534), 0);
        }
        kit::writeFile(tmp / "attic/decoy/secret", "its own");
        kit::Process walk({.argv = {TREEWEIGHT1, tmp / "root"},
                           .fault = kit::Fault{.call = "openat", .path = "dir", .delay = "2000000"}});
        ASSERT_TRUE(heldIn(walk, SYS_openat, canonical(home))) << "the walk never came to open dir";
        ASSERT_EQ(kit::run({.argv = {"sh", "-c", c.swap}, .cwd = home, .unprivileged = true}).status, 0);
        auto r = walk.finish();
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "opendir: " + errorText(ENOENT) + "\n");
        EXPECT_TRUE(r.out.ends_with("\tFile path: " + canonical(home) + "/dir : dir\n")) << r.out;
        EXPECT_EQ(r.out.find("secret"), std::string::npos) << r.out;
    }
}

}  // namespace

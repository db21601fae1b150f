// findsuffix, findrecent and findrecent2: which files a walk prints, and every diagnostic.
#include "kit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <ctime>
#include <iterator>
#include <set>

namespace {

using kit::perrorLine;

std::vector<std::string> sorted(std::string_view text)
{
    auto result = kit::lines(text);
    std::ranges::sort(result);
    return result;
}

struct Filter {
    const char* name;
    const char* program;
    std::vector<std::string> rest;  // the arguments after the directory
    std::string countMessage, statMessage, notDirMessage, walkMessage;
};

const Filter filters[] = {
    {"findsuffix", FINDSUFFIX, {"txt"}, "...", "....", "...", "..."},
    {"findrecent", FINDRECENT, {}, "argumenti", "stat", "nije dir", "nftw"},
    {"findrecent2", FINDRECENT2, {}, "...", "....", "...", "..."},
};

void PrintTo(const Filter& filter, std::ostream* os)
{
    *os << filter.name;
}

std::vector<std::string> command(const Filter& filter, const std::string& directory)
{
    std::vector<std::string> argv{filter.program, directory};
    argv.insert(argv.end(), filter.rest.begin(), filter.rest.end());
    return argv;
}

class Filters : public testing::TestWithParam<Filter> {};

INSTANTIATE_TEST_SUITE_P(All, Filters, testing::ValuesIn(filters),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_P(Filters, EveryMessageWithItsError)
{
    const Filter& f = GetParam();
    kit::TempDir tmp;
    kit::writeFile(tmp / "file.txt", "x");
    kit::makeDir(tmp / "loop");
    ASSERT_EQ(symlink("self", (tmp / "loop/self").c_str()), 0);
    kit::makeDir(tmp / "tree");
    kit::writeFile(tmp / "tree/a.txt", "x");

    auto tooMany = command(f, tmp.path());
    tooMany.push_back("extra");
    struct Case {
        std::vector<std::string> argv;
        std::optional<kit::Fault> fault;
        std::string err;
    } cases[] = {
        {{f.program}, {}, perrorLine(f.countMessage, 0)},
        {tooMany, {}, perrorLine(f.countMessage, 0)},
        {command(f, tmp / "missing"), {}, perrorLine(f.statMessage, ENOENT)},
        {command(f, tmp / "file.txt"), {}, perrorLine(f.notDirMessage, 0)},
        {command(f, tmp / "loop"), {}, perrorLine(f.walkMessage, ELOOP)},
        // Out of descriptors at the first directory the walk opens.
        {command(f, tmp / "tree"), kit::Fault{"openat", "EMFILE", "1", tmp / "tree"},
         perrorLine(f.walkMessage, EMFILE)},
    };
    for (const auto& c : cases)
        kit::expectFailure(kit::run({.argv = c.argv, .fault = c.fault}), c.err);
}

// A chain of one-letter directories under a fresh folder, deeper than
// PATH_MAX as a path, with a file at the bottom; made and removed through
// descriptors, since no path reaches its bottom.
struct DeepTree {
    static constexpr int levels = PATH_MAX / 2 + 64;
    kit::TempDir tmp;
    int bottom = open(tmp.path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);

    DeepTree()
    {
        for (int level = 0; level < levels; ++level) {
            EXPECT_EQ(mkdirat(bottom, "d", 0755), 0);
            int below = openat(bottom, "d", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(bottom);
            bottom = below;
        }
        close(openat(bottom, "deep.txt", O_WRONLY | O_CREAT | O_CLOEXEC, 0644));
    }
    ~DeepTree()
    {
        unlinkat(bottom, "deep.txt", 0);
        for (int level = 0; level < levels; ++level) {
            int above = openat(bottom, "..", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            close(bottom);
            bottom = above;
            unlinkat(bottom, "d", AT_REMOVEDIR);
        }
        close(bottom);
    }
};

// However deep the tree, the walk ends with a diagnostic, not by a signal
// when its stack runs out: it stops where the path passes PATH_MAX.
TEST_P(Filters, TreeDeeperThanPathMaxFailsTheWalk)
{
    DeepTree tree;
    kit::expectFailure(kit::run({.argv = command(GetParam(), tree.tmp.path())}),
                       perrorLine(GetParam().walkMessage, ENAMETOOLONG));
}

// What cannot be read is passed over without a word; the rest is listed.
TEST_P(Filters, UnreadablePartsAreSkipped)
{
    SKIP_UNLESS_ROOT("permissions are refused only to another user");
    kit::TempDir tmp;
    std::string root = tmp / "root";
    kit::makeDir(root);
    kit::writeFile(root + "/a.txt", "x");
    kit::makeDir(root + "/locked");
    kit::writeFile(root + "/locked/hidden.txt", "x");
    kit::makeDir(root + "/unsearchable");
    kit::writeFile(root + "/unsearchable/listed-only.txt", "x");
    ASSERT_EQ(chmod((root + "/locked").c_str(), 0), 0);
    ASSERT_EQ(chmod((root + "/unsearchable").c_str(), 0444), 0);

    for (auto [start, out] : {std::pair{root, "a.txt\n"}, std::pair{root + "/locked", ""}}) {
        auto result = kit::run({.argv = command(GetParam(), start), .unprivileged = true});
        EXPECT_EQ(result.status, 0) << start;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(result.out, out) << start;
    }
}

TEST(Findsuffix, SuffixRules)
{
    kit::TempDir tmp;
    std::string root = tmp / "root";
    kit::makeDir(root);
    kit::makeDir(root + "/x.txt");
    kit::makeDir(root + "/dir.d");
    for (const char* name :
         {"a.txt", "b.tar.txt", "a.TXT", "txt", ".txt", "end.", "two..", "x.txt/in.txt", "x.txt/plain", "dir.d/c.md"})
        kit::writeFile(root + "/" + name, "x");
    ASSERT_EQ(symlink("a.TXT", (root + "/link.txt").c_str()), 0);
    ASSERT_EQ(symlink("nowhere", (root + "/dangling.txt").c_str()), 0);
    ASSERT_EQ(mkfifo((root + "/fifo.txt").c_str(), 0644), 0);
    ASSERT_EQ(symlink(root.c_str(), (tmp / "shortcut").c_str()), 0);
    kit::makeDir(tmp / "empty");

    const std::vector<std::string> txt{".txt", "a.txt", "b.tar.txt", "fifo.txt", "in.txt", "link.txt"};
    struct Case {
        std::string start, suffix;
        std::vector<std::string> out;
    } cases[] = {
        // A link is judged by its own name, a FIFO like any file, a directory
        // named x.txt not at all (but its files are).
        {root, "txt", txt},
        {root, "TXT", {"a.TXT"}},
        {root, "", {"end.", "two.."}},
        {root, ".txt", {}},
        {root, "md", {"c.md"}},
        {tmp / "shortcut", "txt", txt},
        {tmp / "empty", "txt", {}},
    };
    for (const auto& c : cases) {
        auto result = kit::run({.argv = {FINDSUFFIX, c.start, c.suffix}});
        EXPECT_EQ(result.status, 0) << c.start << " " << c.suffix;
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(sorted(result.out), c.out) << c.start << " " << c.suffix;
    }
}

struct Aged {
    const char* name;
    __int128 offset;  // seconds from the start of the run to the modification time
    bool byFindrecent, byFindrecent2;
};

constexpr __int128 day = 86400;
// The fewest whole days whose seconds no longer fit a signed 64-bit difference.
constexpr __int128 pastInt64 = ((__int128(1) << 63) + day - 1) / day;

const Aged aged[] = {
    {"edge", -604799, true, true},
    {"week", -604800, false, false},
    {"ahead", 3600, true, true},
    // The low 32 bits of 2^32 + 3 days are 3; those of -(2^31 + 1) are 2^31 - 1.
    {"eons-ago", -((__int128(1) << 32) + 3) * day, false, true},
    {"eons-ahead", ((__int128(1) << 31) + 1) * day, true, false},
    {"dawn", -pastInt64 * day, false, static_cast<int32_t>(pastInt64) <= 6},
};

class Recent : public testing::TestWithParam<Filter> {};

INSTANTIATE_TEST_SUITE_P(Both, Recent, testing::Values(filters[1], filters[2]),
                         [](const auto& row) { return std::string(row.param.name); });

// Ages exact to the second: the program's clock must read the second the
// times were set from, so a run that straddles two seconds is repeated.
TEST_P(Recent, SevenDaysToTheSecond)
{
    bool narrowed = GetParam().program == std::string(FINDRECENT2);
    for (int attempt = 0; attempt < 10; ++attempt) {
        kit::TempDir tmp("/dev/shm");  // tmpfs keeps every 64-bit time
        time_t start = time(nullptr);
        std::vector<std::string> expected;
        for (const Aged& a : aged) {
            kit::writeFile(tmp / a.name, "x");
            struct timespec times[2] = {{0, UTIME_OMIT}, {static_cast<time_t>(start + a.offset), 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (tmp / a.name).c_str(), times, 0), 0) << a.name;
            if (narrowed ? a.byFindrecent2 : a.byFindrecent)
                expected.push_back(a.name);
        }
        // The extremes of a 64-bit time, judged by the exact whole days.
        for (auto [name, at] : {std::pair{"first", INT64_MIN}, std::pair{"last", INT64_MAX}}) {
            kit::writeFile(tmp / name, "x");
            struct timespec times[2] = {{0, UTIME_OMIT}, {at, 0}};
            ASSERT_EQ(utimensat(AT_FDCWD, (tmp / name).c_str(), times, 0), 0) << name;
            auto days = static_cast<int64_t>((start - __int128(at)) / day);
            if (narrowed ? static_cast<int32_t>(days) <= 6 : days <= 6)
                expected.push_back(name);
        }
        // A fresh link is judged by the old file it points to.
        ASSERT_EQ(symlink("week", (tmp / "link-to-week").c_str()), 0);
        std::ranges::sort(expected);

        auto result = kit::run({.argv = {GetParam().program, tmp.path()}});
        if (time(nullptr) != start)
            continue;
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.err, "");
        EXPECT_EQ(sorted(result.out), expected);
        return;
    }
    FAIL() << "no run kept within one second";
}

// Where find -L and nftw differ by design, the comparison makes room:
// - find lists a file under every path that reaches it; nftw enters each
//   directory once, whatever links lead to it again. find's lines are kept
//   only for the first path of each directory (by device and inode).
// - A dangling link is a file to find -L and nothing to nftw: `! -type l`.
// - What cannot be read or vanishes meanwhile, find reports (and exits 1)
//   where nftw passes it over: only the lines are compared. (A loop of links
//   would end findsuffix's walk; these trees hold none.)
// - find's -name takes a pattern where findsuffix compares bytes: the
//   suffixes hold no *, ? or [, and LC_ALL=C keeps the pattern to bytes.
TEST(Findsuffix, AgreesWithFindOnRealTrees)
{
    const struct {
        const char* tree;
        std::vector<std::string> suffixes;
    } cases[] = {
        {"/usr/include", {"h", "hpp", "def"}},
        {"/usr/share/doc", {"gz", "html", "txt"}},
    };
    int compared = 0;
    for (const auto& c : cases) {
        if (!kit::exists(c.tree))
            continue;
        auto dirs = kit::run(
            {.argv = {"find", "-L", c.tree, "-type", "d", "-printf", "%D:%i %p\\n"}, .env = {"LC_ALL=C"}});
        std::set<std::string> identities, firstPaths;
        for (const auto& line : kit::lines(dirs.out)) {
            auto blank = line.find(' ');
            if (identities.insert(line.substr(0, blank)).second)
                firstPaths.insert(line.substr(blank + 1));
        }
        for (const auto& suffix : c.suffixes) {
            auto found = kit::run({.argv = {"find", "-L", c.tree, "!", "-type", "d", "!", "-type", "l", "-name",
                                            "*." + suffix, "-printf", "%h/%f\\n"},
                                   .env = {"LC_ALL=C"}});
            std::vector<std::string> expected;
            for (const auto& path : kit::lines(found.out)) {
                auto slash = path.rfind('/');
                if (firstPaths.contains(path.substr(0, slash)))
                    expected.push_back(path.substr(slash + 1));
            }
            std::ranges::sort(expected);

            auto result = kit::run({.argv = {FINDSUFFIX, c.tree, suffix}});
            EXPECT_EQ(result.status, 0) << c.tree << " " << suffix;
            EXPECT_EQ(result.err, "");
            auto printed = sorted(result.out);
            std::vector<std::string> onlyPrinted, onlyFound;
            std::ranges::set_difference(printed, expected, std::back_inserter(onlyPrinted));
            std::ranges::set_difference(expected, printed, std::back_inserter(onlyFound));
            EXPECT_EQ(onlyPrinted, std::vector<std::string>{}) << c.tree << " " << suffix;
            EXPECT_EQ(onlyFound, std::vector<std::string>{}) << c.tree << " " << suffix;
            compared += !expected.empty();
        }
    }
    if (compared == 0)
        GTEST_SKIP() << "no tree here holds files with these suffixes";
}

}  // namespace

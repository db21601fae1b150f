// charcount and charcount2: per-file counts from one thread each, then the total.
#include "kit.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ostream>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;

struct Program {
    const char* name;
    const char* path;
    const char* lineFormat;  // fileNo, then the count
};

const Program programs[] = {
    {"charcount", CHARCOUNT, "Nit: %d. Karakteri: %lld"},
    {"charcount2", CHARCOUNT2, "%d. Karaktera u fajlu: %lld"},
};

// Names the program in test names and messages.
void PrintTo(const Program& program, std::ostream* os)
{
    *os << program.name;
}

std::string fileLine(const Program& program, int fileNo, long long count)
{
    char line[80];
    snprintf(line, sizeof line, program.lineFormat, fileNo, count);
    return line;
}

std::string totalLine(long long total)
{
    return "Ukupno karaktera: " + std::to_string(total);
}

std::vector<std::string> sorted(std::vector<std::string> lines)
{
    std::ranges::sort(lines);
    return lines;
}

// A successful run over files of the given sizes (in argument order): one
// line per file in any order, then the total line.
void expectCounts(const Program& program, const kit::Result& r,
                  const std::vector<long long>& sizes)
{
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    std::vector<std::string> expected;
    long long total = 0;
    for (size_t i = 0; i < sizes.size(); i++) {
        expected.push_back(fileLine(program, static_cast<int>(i + 1), sizes[i]));
        total += sizes[i];
    }
    auto lines = kit::lines(r.out);
    ASSERT_EQ(lines.size(), sizes.size() + 1) << r.out;
    EXPECT_EQ(lines.back(), totalLine(total));
    lines.pop_back();
    EXPECT_EQ(sorted(lines), sorted(expected));
}

// For runs that fail on purpose: a thread that has finished but is never
// joined, because another one ended the process, is no leak worth reporting.
std::string quietThreadSanitizer()
{
    const char* options = getenv("TSAN_OPTIONS");
    return std::string("TSAN_OPTIONS=") + (options ? options : "") + ":report_thread_leaks=0";
}

// A failed run: the one message, status 1, no total; any per-file lines
// printed before the end belong to the good files.
void expectFailure(const Program& program, const kit::Result& r, const std::string& message,
                   const std::vector<std::pair<int, long long>>& goodFiles)
{
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, message);
    for (const auto& line : kit::lines(r.out)) {
        bool known = std::ranges::any_of(goodFiles, [&](const auto& file) {
            return line == fileLine(program, file.first, file.second);
        });
        EXPECT_TRUE(known) << line;
    }
}

// A file of `size` bytes, all of it a hole, in tmpfs: it takes no memory, and
// reading it costs no page cache.
class SparseFile {
public:
    explicit SparseFile(off_t size) : path_("/dev/shm/" + kit::uniqueName("charcount-holes"))
    {
        int fd = open(path_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd == -1 || ftruncate(fd, size) == -1)
            throw std::runtime_error("sparse file " + path_);
        close(fd);
    }
    ~SparseFile() { unlink(path_.c_str()); }
    SparseFile(const SparseFile&) = delete;
    SparseFile& operator=(const SparseFile&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class Charcount : public testing::TestWithParam<Program> {};

INSTANTIATE_TEST_SUITE_P(Threads, Charcount, testing::ValuesIn(programs),
                         [](const auto& row) { return std::string(row.param.name); });

TEST_P(Charcount, CountsBytesOfEveryFile)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    // Bytes as they are: CR LF is two, a two-byte letter is two, and a 0xFF
    // byte must not pass for the end of the file.
    kit::writeFile(dir / "crlf.txt", "one\r\ntwo\r\n");
    kit::writeFile(dir / "utf8.txt", "\xc4\x8d\xc4\x87\xc5\xa1\xc5\xbe\xc4\x91\n");
    kit::writeFile(dir / "binary", std::string("\xff\x00\xff\x1a\x00", 5));
    kit::writeFile(dir / "text", std::string(30000, 'x'));
    kit::writeFile(dir / "empty", "");
    auto r = kit::run({.argv = {p.path, "crlf.txt", "utf8.txt", "binary", "text", "empty"},
                       .cwd = dir.path()});
    expectCounts(p, r, {10, 11, 5, 30000, 0});
}

TEST_P(Charcount, OnePath)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    kit::writeFile(dir / "a", "hello\n");
    expectCounts(p, kit::run({.argv = {p.path, dir / "a"}}), {6});
}

TEST_P(Charcount, EmptyFile)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    kit::writeFile(dir / "empty", "");
    auto r = kit::run({.argv = {p.path, dir / "empty"}});
    EXPECT_EQ(r.out, fileLine(p, 1, 0) + "\n" + totalLine(0) + "\n");
    EXPECT_EQ(r.status, 0);
}

TEST_P(Charcount, SamePathTwiceCountsTwice)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    kit::writeFile(dir / "a", std::string(120, 'a'));
    expectCounts(p, kit::run({.argv = {p.path, dir / "a", dir / "a"}}), {120, 120});
}

TEST_P(Charcount, ManyFilesAddUpUnderTheLock)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    std::vector<std::string> argv{p.path};
    std::vector<long long> sizes;
    for (int i = 0; i < 64; i++) {
        sizes.push_back(i * 4099);
        argv.push_back(dir / ("f" + std::to_string(i)));
        kit::writeFile(argv.back(), std::string(sizes.back(), 'z'));
    }
    expectCounts(p, kit::run({.argv = argv}), sizes);
}

TEST_P(Charcount, NoPathIsRefused)
{
    const Program& p = GetParam();
    auto r = kit::run({.argv = {p.path}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "...: Success\n");
    EXPECT_EQ(r.out, "");
}

TEST_P(Charcount, MissingPathEndsEverything)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    kit::writeFile(dir / "a", std::string(1000, 'a'));
    kit::writeFile(dir / "b", std::string(2000, 'b'));
    auto r = kit::run({.argv = {p.path, "a", "missing", "b"},
                       .cwd = dir.path(),
                       .env = {quietThreadSanitizer()}});
    expectFailure(p, r, "...: No such file or directory\n", {{1, 1000}, {3, 2000}});
}

TEST_P(Charcount, LinesPrintedBeforeAFailureStay)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    kit::writeFile(dir / "a", "abc");
    // The open of "missing" is held back for a second, long enough for
    // file 1 to be counted and printed into the output buffer of the pipe.
    auto r = kit::run({.argv = {p.path, "a", "missing"},
                       .cwd = dir.path(),
                       .env = {quietThreadSanitizer()},
                       .fault = kit::Fault{"openat", "ENOENT", "1", "missing", "1000000"}});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "...: No such file or directory\n");
    EXPECT_EQ(r.out, fileLine(p, 1, 3) + "\n");
}

TEST_P(Charcount, DirectoryIsAReadError)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    kit::writeFile(dir / "a", "abc");
    auto r = kit::run({.argv = {p.path, "a", "."},
                       .cwd = dir.path(),
                       .env = {quietThreadSanitizer()}});
    expectFailure(p, r, "...: Is a directory\n", {{1, 3}});
}

TEST_P(Charcount, ReadErrorInTheMiddleIsAFailure)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    // Large enough for several reads: the second one fails.
    kit::writeFile(dir / "big", std::string(1 << 20, 'b'));
    kit::writeFile(dir / "small", "small");
    auto r = kit::run({.argv = {p.path, "small", "big"},
                       .cwd = dir.path(),
                       .env = {quietThreadSanitizer()},
                       .fault = kit::Fault{"read", "EIO", "2", dir / "big"}});
    expectFailure(p, r, "...: Input/output error\n", {{1, 5}});
}

TEST_P(Charcount, FailedThreadCreationNamesTheCause)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    for (const char* name : {"a", "b", "c"})
        kit::writeFile(dir / name, "abc");
    // Every thread creation after the first fails (a sanitizer runtime may
    // start a thread of its own first, which then counts as the first).
    auto r = kit::run({.argv = {p.path, "a", "b", "c"},
                       .cwd = dir.path(),
                       .env = {quietThreadSanitizer()},
                       .fault = kit::Fault{"clone3", "EAGAIN", "2+"}});
    expectFailure(p, r, "...: " + kit::errorText(EAGAIN) + "\n", {{1, 3}});
}

// Threads that fail at the same moment print one line between them: the
// first one's exit is held back, long enough for every other to fail too.
TEST_P(Charcount, SimultaneousFailuresPrintOneLine)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    auto r = kit::run({.argv = {p.path, "missing", "missing", "missing", "missing"},
                       .cwd = dir.path(),
                       .env = {quietThreadSanitizer()},
                       .fault = kit::Fault{"exit_group", "", "1", "", "300000"}});
    kit::expectFailure(r, kit::perrorLine("...", ENOENT));
}

// Every thread is started before the first join and keeps its stream open
// while it counts, so more files than descriptors, counted at once, fail.
// Each file is a FIFO that the test holds open and never writes: no count
// ends and no stream is closed, so some open fails whatever the scheduling,
// and no line is printed.
TEST_P(Charcount, MoreFilesThanDescriptors)
{
    const Program& p = GetParam();
    kit::TempDir dir;
    struct Held {
        std::vector<int> fds;
        ~Held()
        {
            for (int fd : fds)
                close(fd);
        }
    } held;
    auto argv = kit::command(p.path);
    argv.insert(argv.begin(), {"prlimit", "--nofile=32", "--"});
    for (int i = 0; i < 40; i++) {
        argv.push_back(dir / ("fifo" + std::to_string(i)));
        ASSERT_EQ(mkfifo(argv.back().c_str(), 0600), 0) << strerror(errno);
        // Read and write: the open does not wait, and with a writer there a
        // read waits for bytes instead of finding the end.
        held.fds.push_back(open(argv.back().c_str(), O_RDWR | O_CLOEXEC));
        ASSERT_NE(held.fds.back(), -1) << strerror(errno);
    }
    auto r = kit::run({.argv = argv, .env = {quietThreadSanitizer()}});
    kit::expectFailure(r, kit::perrorLine("...", EMFILE));
}

TEST_P(Charcount, CountsPastThirtyTwoBits)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "reading 4 GiB under a sanitizer takes minutes";
#endif
    const Program& p = GetParam();
    // Past the largest signed 32-bit count; given twice, past every 32-bit total.
    constexpr long long size = (1LL << 31) + 7;
    SparseFile holes(size);
    auto r = kit::run({.argv = {p.path, holes.path(), holes.path()}, .deadline = 100s});
    expectCounts(p, r, {size, size});
}

}  // namespace

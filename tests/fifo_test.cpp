// numbersend, numberrecv and endprobe: whole records through a FIFO, in
// order, and a probe that answers without taking anything out of it.
#include "kit.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <fstream>
#include <functional>
#include <optional>
#include <thread>

#include <gtest/gtest.h>

namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

const std::string prompt = "Send another number: (yes|no)";

// One end of a FIFO held by the test, opened without ever blocking: a read
// end at once (retried while the path does not exist yet), a write end as
// soon as some reader has the FIFO open.
class End {
public:
    End(const std::string& path, int flags)
    {
        kit::waitFor([&] { return (fd_ = open(path.c_str(), flags | O_NONBLOCK | O_CLOEXEC)) != -1; });
        EXPECT_NE(fd_, -1) << path << ": " << kit::errorText(errno);
    }
    ~End() { close(fd_); }
    End(const End&) = delete;
    End& operator=(const End&) = delete;
    // Bytes waiting in the FIFO.
    int waiting() const
    {
        int count = -1;
        ioctl(fd_, FIONREAD, &count);
        return count;
    }
    // What arrives until every writer has gone or `size` bytes are in.
    std::string read(size_t size = SIZE_MAX, kit::Millis deadline = 10s)
    {
        std::string bytes;
        for (auto until = Clock::now() + deadline; bytes.size() < size;) {
            pollfd ready{fd_, POLLIN, 0};
            auto left = std::chrono::duration_cast<kit::Millis>(until - Clock::now()).count();
            if (left <= 0 || poll(&ready, 1, static_cast<int>(left)) != 1)
                break;
            char buffer[4096];
            ssize_t got = ::read(fd_, buffer, std::min(sizeof buffer, size - bytes.size()));
            if (got == -1 && errno == EAGAIN)
                continue;
            if (got <= 0)
                break;
            bytes.append(buffer, got);
        }
        return bytes;
    }
    // Writes `bytes` with one call (they fit: the FIFO is nearly empty).
    void write(std::string_view bytes)
    {
        EXPECT_EQ(::write(fd_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    // Waits until the reader has taken every byte.
    void drain() { EXPECT_TRUE(kit::waitFor([&] { return waiting() == 0; })); }
    // Whether some writer has opened the FIFO and gone since this read end
    // was opened: until one has, the end never polls POLLHUP.
    bool writerCameAndWent() const
    {
        pollfd end{fd_, POLLIN, 0};
        return poll(&end, 1, 0) == 1 && (end.revents & POLLHUP) != 0;
    }

private:
    int fd_ = -1;
};

void makeFifo(const std::string& path, mode_t mode)
{
    ASSERT_EQ(mkfifo(path.c_str(), mode), 0);
    ASSERT_EQ(chmod(path.c_str(), mode), 0);
}

// The records `program` sends or takes for `numbers`: each a 32-bit int, in
// that program's byte order (the test may be its peer from another machine's).
std::string recordsOf(const std::vector<int>& numbers, const std::string& program)
{
    bool big = kit::byteOrder(program) == std::endian::big;
    std::string bytes;
    for (int number : numbers) {
        auto value = static_cast<uint32_t>(number);
        for (int byte = 0; byte < 4; ++byte)
            bytes += static_cast<char>(value >> (big ? 24 - 8 * byte : 8 * byte));
    }
    return bytes;
}

std::string received(const std::vector<int>& numbers)
{
    std::string out;
    for (int number : numbers)
        out += "Number received: " + std::to_string(number) + "\n";
    return out;
}

// The numbers numbersend printed; each line but the last of a failed run
// must be followed by the prompt.
std::vector<int> sent(const std::string& out)
{
    std::vector<int> numbers;
    auto lines = kit::lines(out);
    for (size_t i = 0; i < lines.size(); i += 2) {
        int number;
        char rest;
        EXPECT_EQ(sscanf(lines[i].c_str(), "Number sent: %d%c", &number, &rest), 1) << lines[i];
        numbers.push_back(number);
        if (i + 1 < lines.size()) {
            EXPECT_EQ(lines[i + 1], prompt);
        }
    }
    return numbers;
}

std::string probeLine(const std::string& option, const char* answer)
{
    return std::string(option == "-r" ? "Otvoren za citanje: " : "Otvoren za pisanje: ") + answer + "\n";
}

// endprobe's answer about `path`: the whole line, after checking it succeeded.
std::string probe(const std::string& option, const std::string& path)
{
    auto r = kit::run({.argv = {ENDPROBE, option, path}, .deadline = 5s});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    return r.out;
}

KIT_RUNS(Fifo, NumbersArriveInOrderAndNoInAnyCaseEndsBoth, "numberrecv numbersend");
TEST(Fifo, NumbersArriveInOrderAndNoInAnyCaseEndsBoth)
{
    int round = 0;
    for (const char* ending : {"no", "NO", "No", "nO"}) {
        SCOPED_TRACE(ending);
        kit::TempDir dir;
        std::string fifo = dir / "numbers";
        // Half the rounds reuse a FIFO that is there already, unchanged.
        bool existing = round++ % 2 == 1;
        if (existing)
            makeFifo(fifo, 0600);
        kit::Process sender({.argv = {NUMBERSEND, fifo},
                             .input = std::string("yes n\n\nnoo  none\t") + ending + "\nyes\n"});
        ASSERT_TRUE(kit::waitFor([&] { return kit::exists(fifo); }));
        EXPECT_EQ(kit::modeOf(fifo), existing ? 0600u : 0640u);
        kit::Process receiver({.argv = {NUMBERRECV, fifo}});
        auto s = sender.finish();
        auto r = receiver.finish();
        auto numbers = sent(s.out);
        EXPECT_EQ(numbers.size(), 5u);
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.status, 0);
        EXPECT_EQ(r.out, received(numbers));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
        EXPECT_FALSE(kit::exists(fifo));
    }
}

KIT_RUNS(Fifo, SeveralWordsOnALineEndWithoutWaitingForMoreInput, "numberrecv numbersend");
TEST(Fifo, SeveralWordsOnALineEndWithoutWaitingForMoreInput)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    kit::Process sender({.argv = {NUMBERSEND, fifo}});
    ASSERT_TRUE(kit::waitFor([&] { return kit::exists(fifo); }));
    kit::Process receiver({.argv = {NUMBERRECV, fifo}});
    ASSERT_TRUE(sender.readLine().has_value());
    ASSERT_EQ(sender.readLine(), prompt) << "each prompt is out before the answer is read";
    sender.send("\n\n  yes No\n");
    ASSERT_TRUE(sender.readLine().has_value());
    EXPECT_EQ(sender.readLine(), prompt);
    // Standard input stays open: the second word alone ends the sending.
    EXPECT_TRUE(kit::waitFor([&] { return sender.exited(); }));
    EXPECT_EQ(sender.finish().status, 0);
    auto r = receiver.finish();
    EXPECT_EQ(kit::lines(r.out).size(), 2u);
    EXPECT_EQ(r.status, 0);
}

// A reader of the test's own sees the bytes themselves: one record per
// number printed, and none for an answer that was never read (end of input
// ends the sending as "no" does). A word longer than 255 bytes is read as
// several answers.
KIT_RUNS(Fifo, RecordsOnTheWireAreTheNumbersPrinted, "numbersend");
TEST(Fifo, RecordsOnTheWireAreTheNumbersPrinted)
{
    const struct {
        std::string input;
        size_t numbers;
    } rows[] = {
        {"", 1},
        {"yes", 2},
        {"yes\n \n\t", 2},
        {"yes yes no yes", 3},
        {std::string(255, 'x') + "no", 2},
        {std::string(600, 'y') + " no", 4},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.input.substr(0, 20));
        kit::TempDir dir;
        std::string fifo = dir / "numbers";
        kit::Process sender({.argv = {NUMBERSEND, fifo}, .input = row.input});
        sender.closeInput();
        End reader(fifo, O_RDONLY);
        std::string bytes = reader.read();
        auto s = sender.finish();
        auto numbers = sent(s.out);
        EXPECT_EQ(numbers.size(), row.numbers);
        EXPECT_TRUE(bytes == recordsOf(numbers, NUMBERSEND)) << bytes.size() << " bytes";
        for (int number : numbers)
            EXPECT_GE(number, 0);
        EXPECT_EQ(s.err, "");
        EXPECT_EQ(s.status, 0);
        EXPECT_FALSE(kit::exists(fifo));
    }
}

// Records whole, in one burst, or split across writes at every offset, the
// reader taking each piece before the next is written; a trailing fragment
// is reported and never printed as a number.
KIT_RUNS(Fifo, ReceiverPrintsOnlyWholeRecords, "numberrecv");
TEST(Fifo, ReceiverPrintsOnlyWholeRecords)
{
    const std::vector<int> numbers{0, 1, -1, INT_MIN, INT_MAX, 0x01020304, 12345};
    const struct {
        size_t piece;
        size_t tail;
    } rows[] = {{28, 0}, {4, 0}, {1, 0}, {2, 0}, {3, 0}, {5, 0}, {7, 0}, {4, 1}, {1, 2}, {3, 3}};
    for (auto [piece, tail] : rows) {
        SCOPED_TRACE(testing::Message() << "pieces of " << piece << ", tail " << tail);
        kit::TempDir dir;
        std::string fifo = dir / "numbers";
        makeFifo(fifo, 0600);
        kit::Process receiver({.argv = {NUMBERRECV, fifo}});
        std::string bytes = recordsOf(numbers, NUMBERRECV) + std::string(tail, '\x7f');
        {
            End writer(fifo, O_WRONLY);
            for (size_t at = 0; at < bytes.size(); at += piece) {
                writer.write(std::string_view(bytes).substr(at, piece));
                writer.drain();
            }
        }
        auto r = receiver.finish();
        EXPECT_EQ(r.out, received(numbers));
        EXPECT_EQ(r.err, tail ? kit::perrorLine("...", EIO) : "");
        EXPECT_EQ(r.status, tail ? 1 : 0);
        EXPECT_TRUE(kit::exists(fifo)) << "the receiver never removes the FIFO";
    }
}

KIT_RUNS(Fifo, ReaderGoneMidStreamFailsTheWriteAndKeepsTheFifo, "numbersend");
TEST(Fifo, ReaderGoneMidStreamFailsTheWriteAndKeepsTheFifo)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    kit::Process sender({.argv = {NUMBERSEND, fifo}});
    {
        End reader(fifo, O_RDONLY);
        EXPECT_EQ(reader.read(4).size(), 4u);
    }
    sender.send("yes\n");
    auto s = sender.finish();
    EXPECT_EQ(sent(s.out).size(), 2u);
    // Nothing after the number whose record could not be written.
    EXPECT_TRUE(kit::lines(s.out).back().starts_with("Number sent: ")) << s.out;
    EXPECT_EQ(s.err, kit::perrorLine("....", EPIPE));
    EXPECT_EQ(s.status, 1);
    EXPECT_EQ(s.signal, 0);
    EXPECT_TRUE(kit::exists(fifo));
}

// The number line is out, even into a pipe, before its record is written:
// here the record's write is held back, and the line comes all the same.
KIT_RUNS(Fifo, NumberLineGoesOutBeforeItsRecord, "numbersend");
TEST(Fifo, NumberLineGoesOutBeforeItsRecord)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    makeFifo(fifo, 0600);
    kit::Process sender({.argv = {NUMBERSEND, fifo}, .fault = kit::Fault{"write", "", "1", fifo, "10000000"}});
    End reader(fifo, O_RDONLY);
    auto line = sender.readLine(5s);
    ASSERT_TRUE(line);
    EXPECT_TRUE(line->starts_with("Number sent: ")) << *line;
    EXPECT_EQ(reader.waiting(), 0);
}

// Anything but a FIFO under the name is refused and left as it was.
KIT_RUNS(Fifo, SenderPaths, "numbersend");
TEST(Fifo, SenderPaths)
{
    using Make = std::function<void(const std::string&)>;
    const struct {
        const char* name;
        Make make;
        int error;
    } rows[] = {
        {"missing/fifo", [](const std::string&) {}, ENOENT},
        {"directory", [](const std::string& p) { kit::makeDir(p, 0755); }, EEXIST},
        {"file", [](const std::string& p) { kit::writeFile(p, "kept\n", 0640); }, EEXIST},
        {"link-to-file", [](const std::string& p) {
             kit::writeFile(p + ".target", "kept\n", 0600);
             EXPECT_EQ(symlink((p + ".target").c_str(), p.c_str()), 0);
         }, EEXIST},
        {"dangling-link", [](const std::string& p) { EXPECT_EQ(symlink("nowhere", p.c_str()), 0); }, ENOENT},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        std::string path = dir / row.name;
        row.make(path);
        // Type, mode, time and contents of the name and of what a link names.
        auto snapshot = [&] {
            std::string state;
            for (const std::string& p : {path, path + ".target"}) {
                struct stat st {};
                lstat(p.c_str(), &st);
                state += std::to_string(st.st_mode) + " " + std::to_string(st.st_mtim.tv_nsec) + " " +
                         (S_ISREG(st.st_mode) ? kit::readFile(p) : "") + ";";
            }
            return state;
        };
        auto before = snapshot();
        kit::expectFailure(kit::run({.argv = {NUMBERSEND, path}, .input = "no\n"}),
                           kit::perrorLine("....", row.error));
        EXPECT_EQ(snapshot(), before);
    }
}

KIT_RUNS(Fifo, FailuresAtThePath, "endprobe numberrecv");
TEST(Fifo, FailuresAtThePath)
{
    kit::TempDir dir;
    const std::string missing = dir / "missing";
    const struct {
        std::vector<std::string> argv;
        std::string line;
    } rows[] = {
        {{NUMBERRECV, missing}, kit::perrorLine("...", ENOENT)},
        {{NUMBERRECV, dir.path()}, kit::perrorLine("...", EISDIR)},
        {{ENDPROBE, "-r", missing}, kit::perrorLine("...", ENOENT)},
        {{ENDPROBE, "-w", missing}, kit::perrorLine("...", ENOENT)},
        {{ENDPROBE, "-r", dir.path()}, kit::perrorLine("...", EISDIR)},
        {{ENDPROBE, "-w", dir.path()}, kit::perrorLine("....", EISDIR)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.argv[1]);
        kit::expectFailure(kit::run({.argv = row.argv}), row.line);
    }
}

KIT_RUNS(Fifo, ArgumentCounts, "endprobe numberrecv numbersend");
TEST(Fifo, ArgumentCounts)
{
    const std::vector<std::vector<std::string>> commands{
        {NUMBERSEND}, {NUMBERSEND, "a", "b"}, {NUMBERRECV}, {NUMBERRECV, "a", "b"},
        {ENDPROBE}, {ENDPROBE, "-r"}, {ENDPROBE, "-w", "a", "b"},
        // The option exactly, and before the path.
        {ENDPROBE, "-R", "a"}, {ENDPROBE, "-x", "a"}, {ENDPROBE, "-rw", "a"}, {ENDPROBE, "a", "-r"},
    };
    for (const auto& argv : commands) {
        SCOPED_TRACE(argv.size() > 1 ? argv[1] : "");
        kit::expectFailure(kit::run({.argv = argv}), kit::perrorLine("...", 0));
    }
}

KIT_RUNS(Fifo, SenderFailuresLeaveTheFifo, "numbersend");
TEST(Fifo, SenderFailuresLeaveTheFifo)
{
    const struct {
        kit::Fault fault;
        std::string line;
    } rows[] = {
        // glibc's fstat is newfstatat (statx for a 32-bit program); ThreadSanitizer's makes the fstat call itself.
        {{"fstat,newfstatat,statx", "EIO"}, kit::perrorLine("...", EIO)},
        {{"unlink,unlinkat", "EACCES"}, kit::perrorLine("...", EACCES)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault.call);
        kit::TempDir dir;
        std::string fifo = dir / "numbers";
        kit::Fault fault = row.fault;
        fault.path = fifo;
        kit::Process sender({.argv = {NUMBERSEND, fifo}, .input = "no\n", .fault = fault});
        sender.closeInput();
        End reader(fifo, O_RDONLY);
        reader.read();
        auto s = sender.finish();
        EXPECT_EQ(s.err, row.line);
        EXPECT_EQ(s.status, 1);
        EXPECT_TRUE(kit::exists(fifo));
    }
}

// What lies under `path`, as lstat sees it.
std::string kindOf(const std::string& path)
{
    struct stat st;
    if (lstat(path.c_str(), &st) == -1)
        return "nothing";
    if (S_ISFIFO(st.st_mode))
        return "a FIFO";
    if (S_ISLNK(st.st_mode))
        return "a link";
    return "a file: " + kit::readFile(path);
}

// The name goes only while it is the FIFO that was opened: whatever took it
// during the session stays, and so does a symbolic link given as the name.
// A name that cannot be looked at (its folder made a loop of links) is a
// failure, and the FIFO stays.
KIT_RUNS(Fifo, SenderRemovesOnlyTheFifoItOpened, "numbersend");
TEST(Fifo, SenderRemovesOnlyTheFifoItOpened)
{
    using Change = std::function<void(const std::string&)>;
    const struct {
        const char* name;
        bool link;
        Change change;
        std::string leftAtName;
        const char* fifoLeft;  // where the FIFO must still be, if anywhere
        std::string err;
    } rows[] = {
        {"replaced by a file", false, [](const std::string& p) {
             EXPECT_EQ(unlink(p.c_str()), 0);
             kit::writeFile(p, "someone's file", 0644);
         }, "a file: someone's file", nullptr, ""},
        {"removed", false, [](const std::string& p) { EXPECT_EQ(unlink(p.c_str()), 0); }, "nothing", nullptr, ""},
        {"a link to the FIFO", true, [](const std::string&) {}, "a link", "sub/numbers", ""},
        {"in a loop of links", false, [](const std::string& p) {
             std::string folder = p.substr(0, p.rfind('/'));
             EXPECT_EQ(rename(folder.c_str(), (folder + ".away").c_str()), 0);
             EXPECT_EQ(symlink("sub", folder.c_str()), 0);
         }, "nothing", "sub.away/numbers", kit::perrorLine("...", ELOOP)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        kit::makeDir(dir / "sub");
        std::string fifo = dir / "sub/numbers", name = row.link ? dir / "sub/link" : fifo;
        if (row.link) {
            makeFifo(fifo, 0600);
            ASSERT_EQ(symlink("numbers", name.c_str()), 0);
        }
        kit::Process sender({.argv = {NUMBERSEND, name}});
        End reader(fifo, O_RDONLY);
        ASSERT_TRUE(sender.readLine().has_value());
        ASSERT_EQ(sender.readLine(), prompt);
        row.change(name);  // while the session waits at its prompt
        sender.send("no\n");
        auto s = sender.finish();
        EXPECT_EQ(s.err, row.err);
        EXPECT_EQ(s.status, row.err.empty() ? 0 : 1);
        EXPECT_EQ(kindOf(name), row.leftAtName);
        if (row.fifoLeft) {
            EXPECT_EQ(kindOf(dir / row.fifoLeft), "a FIFO");
        }
    }
}

// In a folder where anyone may put a FIFO (sticky, writable by all), one
// that uid 65534 put there leads to that user's reader: even root leaves it
// alone, unopened, and it stays. That user's own FIFO that it may not write
// fails in the open.
KIT_RUNS(Fifo, SenderRefusedAFifo, "numbersend");
TEST(Fifo, SenderRefusedAFifo)
{
    SKIP_UNLESS_ROOT("a FIFO that another user owns");
    const struct {
        const char* name;
        mode_t mode;
        bool unprivileged;
        std::string err;
    } rows[] = {
        {"another user's", 0666, false, kit::perrorLine("....", EACCES)},
        {"its own, read-only", 0400, true, kit::perrorLine("...", EACCES)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        std::string shared = dir / "shared", fifo = shared + "/numbers";
        kit::makeDir(shared, 01777);
        makeFifo(fifo, row.mode);
        ASSERT_EQ(chown(fifo.c_str(), 65534, 65534), 0);
        std::optional<End> reader;
        if (row.mode & 0004)
            reader.emplace(fifo, O_RDONLY);
        kit::expectFailure(kit::run({.argv = {NUMBERSEND, fifo}, .input = "no\n", .unprivileged = row.unprivileged}),
                           row.err);
        if (reader) {
            EXPECT_FALSE(reader->writerCameAndWent());
            EXPECT_EQ(reader->waiting(), 0);
        }
        EXPECT_EQ(kindOf(fifo), "a FIFO");
    }
}

// The system calls that look at a name or a descriptor, as this machine numbers them.
const std::vector<long> statCalls = {
#ifdef SYS_lstat
    SYS_lstat,
#endif
#ifdef SYS_fstat
    SYS_fstat,
#endif
#ifdef SYS_newfstatat
    SYS_newfstatat,
#endif
    SYS_statx,
};

// The name is compared with the FIFO while the FIFO is still open, so that
// its inode cannot have been given to a file that took the name. Here the
// comparison is held back, the reader gone, while the name is replaced by
// a new file: it stays, and the run ends as for any name given away.
KIT_RUNS(Fifo, SenderComparesWhileTheFifoIsOpen, "numbersend");
TEST(Fifo, SenderComparesWhileTheFifoIsOpen)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    // The first look at the FIFO is the fstat after the open, the second
    // the lstat at the end. ThreadSanitizer's fstat makes the fstat call
    // itself, and strace counts each call apart: there the lstat is the
    // first of its kind.
#ifdef __SANITIZE_THREAD__
    kit::Fault heldLook{"newfstatat,statx,lstat", "", "1", fifo, "2000000"};
#else
    kit::Fault heldLook{"fstat,newfstatat,statx,lstat", "", "2", fifo, "2000000"};
#endif
    kit::Process sender({.argv = {NUMBERSEND, fifo}, .fault = heldLook});
    {
        End reader(fifo, O_RDONLY);
        EXPECT_EQ(reader.read(4).size(), 4u);
    }
    sender.send("no\n");
    ASSERT_TRUE(kit::waitFor([&] { return kit::heldIn(sender.pid(), statCalls); }));
    ASSERT_EQ(unlink(fifo.c_str()), 0);
    kit::writeFile(fifo, "someone's file", 0644);
    auto s = sender.finish();
    EXPECT_EQ(s.err, "");
    EXPECT_EQ(s.status, 0);
    EXPECT_EQ(kindOf(fifo), "a file: someone's file");
}

KIT_RUNS(Fifo, ReceiverFailedRead, "numberrecv");
TEST(Fifo, ReceiverFailedRead)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    makeFifo(fifo, 0600);
    kit::Process receiver({.argv = {NUMBERRECV, fifo}, .fault = kit::Fault{"read", "EIO", "1", fifo}});
    End writer(fifo, O_WRONLY);
    kit::expectFailure(receiver.finish(), kit::perrorLine("...", EIO));
}

// The test's own ends as holders. Bytes waiting stay where they are, and
// with them the probe still tells whether a writer holds the FIFO.
KIT_RUNS(Fifo, ProbeAnswersForEveryHolding, "endprobe");
TEST(Fifo, ProbeAnswersForEveryHolding)
{
    const struct {
        const char* name;
        bool reader, writer;
        std::string bytes;
        const char *readAnswer, *writeAnswer;
    } rows[] = {
        {"nobody", false, false, "", "no", "no"},
        {"a reader", true, false, "", "yes", "no"},
        {"a reader and a writer", true, true, "", "yes", "yes"},
        {"both, bytes waiting", true, true, std::string("\0\1\2\3\4\5", 6), "yes", "yes"},
        {"a reader, bytes waiting", true, false, "\7\10\11", "yes", "no"},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        kit::TempDir dir;
        std::string fifo = dir / "fifo";
        makeFifo(fifo, 0600);
        std::optional<End> reader, writer;
        if (row.reader)
            reader.emplace(fifo, O_RDONLY);
        if (row.writer || !row.bytes.empty()) {
            writer.emplace(fifo, O_WRONLY);
            writer->write(row.bytes);
            if (!row.writer)
                writer.reset();
        }
        for (int twice = 0; twice < 2; ++twice) {
            EXPECT_EQ(probe("-r", fifo), probeLine("-r", row.readAnswer));
            EXPECT_EQ(probe("-w", fifo), probeLine("-w", row.writeAnswer));
        }
        if (reader) {
            EXPECT_EQ(reader->waiting(), static_cast<int>(row.bytes.size()));
            EXPECT_EQ(reader->read(row.bytes.size()), row.bytes);
        }
    }
}

KIT_RUNS(Fifo, ProbeWhileTheNumbersFlowAndAfter, "endprobe numberrecv numbersend");
TEST(Fifo, ProbeWhileTheNumbersFlowAndAfter)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    kit::Process sender({.argv = {NUMBERSEND, fifo}});
    ASSERT_TRUE(kit::waitFor([&] { return kit::exists(fifo); }));
    kit::Process receiver({.argv = {NUMBERRECV, fifo}});
    auto number = sender.readLine();
    ASSERT_EQ(sender.readLine(), prompt);
    // The sender waits at its prompt, the receiver holds its end.
    EXPECT_EQ(probe("-r", fifo), probeLine("-r", "yes"));
    EXPECT_EQ(probe("-w", fifo), probeLine("-w", "yes"));
    sender.send("no\n");
    EXPECT_EQ(sender.finish().status, 0);
    auto r = receiver.finish();
    EXPECT_EQ(r.out, received(sent(*number + "\n")));
    EXPECT_EQ(r.status, 0);
    for (const char* option : {"-r", "-w"})
        kit::expectFailure(kit::run({.argv = {ENDPROBE, option, fifo}}), kit::perrorLine("...", ENOENT));
}

// A process waiting in a blocking open already holds its end. A probe of the
// other end releases it: the receiver then finds no writer and ends at
// once; the sender finds no reader and its write fails.
KIT_RUNS(Fifo, ProbeCountsAndReleasesAWaitingOpen, "endprobe numberrecv numbersend");
TEST(Fifo, ProbeCountsAndReleasesAWaitingOpen)
{
    kit::TempDir dir;
    std::string fifo = dir / "numbers";
    makeFifo(fifo, 0600);
    {
        kit::Process receiver({.argv = {NUMBERRECV, fifo}});
        ASSERT_TRUE(kit::waitFor([&] { return kit::waitsInOpen(receiver.pid()); }));
        EXPECT_EQ(probe("-w", fifo), probeLine("-w", "no"));
        // The probe's close wakes the waiting open for an instant; it sleeps again.
        EXPECT_TRUE(kit::waitFor([&] { return kit::waitsInOpen(receiver.pid()); }, 2s))
            << "a probe of its own end leaves it waiting";
        EXPECT_EQ(probe("-r", fifo), probeLine("-r", "yes"));
        auto r = receiver.finish(5s);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
    kit::Process sender({.argv = {NUMBERSEND, fifo}, .input = "yes\n"});
    ASSERT_TRUE(kit::waitFor([&] { return kit::waitsInOpen(sender.pid()); }));
    EXPECT_EQ(probe("-r", fifo), probeLine("-r", "no"));
    EXPECT_TRUE(kit::waitFor([&] { return kit::waitsInOpen(sender.pid()); }, 2s));
    EXPECT_EQ(probe("-w", fifo), probeLine("-w", "yes"));
    auto s = sender.finish(5s);
    EXPECT_EQ(s.err, kit::perrorLine("....", EPIPE));
    EXPECT_EQ(s.status, 1);
    EXPECT_TRUE(kit::exists(fifo));
}

KIT_RUNS(Fifo, ProbeOfARegularFileChangesNothing, "endprobe");
TEST(Fifo, ProbeOfARegularFileChangesNothing)
{
    kit::TempDir dir;
    kit::writeFile(dir / "file", "contents", 0600);
    EXPECT_EQ(probe("-r", dir / "file"), probeLine("-r", "yes"));
    EXPECT_EQ(probe("-w", dir / "file"), probeLine("-w", "no"));
    EXPECT_EQ(kit::readFile(dir / "file"), "contents");
}

// A read of a terminal or a socket would take what its own reader waits
// for: -w refuses them, having read nothing. The terminal is the test's own
// pseudo-terminal, holding a typed line.
KIT_RUNS(Fifo, ProbeTakesNothingFromATerminalOrASocket, "endprobe");
TEST(Fifo, ProbeTakesNothingFromATerminalOrASocket)
{
    int master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    ASSERT_NE(master, -1);
    ASSERT_EQ(grantpt(master), 0);
    ASSERT_EQ(unlockpt(master), 0);
    std::string terminal = ptsname(master);
    int slave = open(terminal.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_NE(slave, -1);
    ASSERT_EQ(write(master, "XY\n", 3), 3);
    pollfd typed{slave, POLLIN, 0};
    ASSERT_EQ(poll(&typed, 1, 5000), 1) << "the line is there to be taken";

    kit::TempDir dir;
    std::string socketPath = dir / "socket";
    int listening = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    socketPath.copy(address.sun_path, sizeof address.sun_path - 1);
    ASSERT_EQ(bind(listening, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);

    for (const auto& path : {terminal, socketPath}) {
        SCOPED_TRACE(path);
        kit::expectFailure(kit::run({.argv = {ENDPROBE, "-w", path}, .deadline = 5s}),
                           kit::perrorLine("....", EINVAL));
    }
    char line[8];
    EXPECT_EQ(read(slave, line, sizeof line), 3);
    EXPECT_EQ(std::string(line, 2), "XY");
    close(listening);
    close(slave);
    close(master);
}

// With bytes waiting the probe looks through tee and a write end of its own.
KIT_RUNS(Fifo, ProbeFailuresWithBytesWaiting, "endprobe");
TEST(Fifo, ProbeFailuresWithBytesWaiting)
{
    kit::TempDir dir;
    std::string fifo = dir / "fifo";
    makeFifo(fifo, 0644);
    End reader(fifo, O_RDONLY);
    End writer(fifo, O_WRONLY);
    writer.write("bytes");
    const struct {
        kit::Fault fault;
        int error;
    } rows[] = {
        {{"fstat,newfstatat,statx", "EIO", "1", fifo}, EIO},
        {{"pipe,pipe2", "EMFILE"}, EMFILE},
        {{"tee", "EIO"}, EIO},
        {{"openat", "EACCES", "2", fifo}, EACCES},
        {{"poll,ppoll", "EINVAL"}, EINVAL},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault.call);
        kit::expectFailure(kit::run({.argv = {ENDPROBE, "-w", fifo}, .fault = row.fault}),
                           kit::perrorLine("....", row.error));
    }
    if (geteuid() == 0) {
        // Another user may read this FIFO but not open it for writing.
        kit::expectFailure(kit::run({.argv = {ENDPROBE, "-w", fifo}, .unprivileged = true}),
                           kit::perrorLine("....", EACCES));
    }
    EXPECT_EQ(reader.read(5), "bytes");
}

}  // namespace

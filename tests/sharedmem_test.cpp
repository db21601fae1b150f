// The word channel: shmtalk or shmtalk2 writing, shmlisten reading, one
// shared-memory object between them.
#include "kit.h"

#include <elf.h>
#include <fcntl.h>
#include <semaphore.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <optional>
#include <stdexcept>

using namespace std::chrono_literals;

namespace {

// A shared-memory name for one test, removed when the test ends, however it ends.
class ShmName {
public:
    ShmName() : name_("/" + kit::uniqueName("sharedmem")) {}
    ~ShmName() { shm_unlink(name_.c_str()); }
    ShmName(const ShmName&) = delete;
    ShmName& operator=(const ShmName&) = delete;

    const std::string& name() const { return name_; }
    // Where the object shows in the file system.
    std::string path() const { return "/dev/shm" + name_; }
    bool exists() const { return kit::exists(path()); }
    off_t size() const
    {
        struct stat st;
        return stat(path().c_str(), &st) == 0 ? st.st_size : -1;
    }

private:
    std::string name_;
};

// The test's semaphores are this machine's. A program built for another
// word size or byte order, run under its emulator, keeps its count in
// another form within the same 32-byte slot, so a test that shares a
// semaphore with it means nothing. The reason to skip, told from shmlisten's
// ELF header; empty for programs built as the test is, or no ELF file.
std::string otherSemaphores()
{
    std::string header = kit::readFile(SHMLISTEN).substr(0, EI_NIDENT);
    if (header.size() < EI_NIDENT || !header.starts_with(ELFMAG))
        return "";
    auto form = [](int elfClass, int data) {
        return std::string(elfClass == ELFCLASS32 ? "32-bit" : "64-bit") + ", " +
               (data == ELFDATA2MSB ? "big-endian" : "little-endian");
    };
    std::string theirs = form(header[EI_CLASS], header[EI_DATA]);
    std::string ours = form(sizeof(void*) == 4 ? ELFCLASS32 : ELFCLASS64,
                            std::endian::native == std::endian::big ? ELFDATA2MSB : ELFDATA2LSB);
    if (theirs == ours)
        return "";
    std::string under = kit::emulator().empty() ? "" : "under " + kit::emulator().front() + ": ";
    return under + "the program's sem_t (" + theirs + ") is not the test's (" + ours + ")";
}

#define SKIP_UNLESS_SAME_SEMAPHORES()                          \
    do {                                                       \
        if (std::string why = otherSemaphores(); !why.empty()) \
            GTEST_SKIP() << why;                               \
    } while (0)

[[noreturn]] void fail(const std::string& what)
{
    throw std::runtime_error(what + ": " + kit::errorText(errno));
}

// The test's own mapping of an object, addressed by the offsets the programs
// agree on: canWrite at 0, canRead at 32, text at 64.
class Block {
public:
    // Maps the object whole; with `create`, first makes it with that many bytes.
    explicit Block(const ShmName& shm, std::optional<off_t> create = std::nullopt)
    {
        int fd = shm_open(shm.name().c_str(), O_RDWR | (create ? O_CREAT | O_EXCL : 0), 0600);
        if (fd == -1)
            fail("shm_open " + shm.name());
        struct stat st;
        if ((create && ftruncate(fd, *create) == -1) || fstat(fd, &st) == -1)
            fail("sizing " + shm.name());
        size_ = st.st_size;
        base_ = static_cast<char*>(mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0));
        close(fd);
        if (base_ == MAP_FAILED)
            fail("mmap " + shm.name());
    }
    ~Block() { munmap(base_, size_); }
    Block(const Block&) = delete;
    Block& operator=(const Block&) = delete;

    sem_t* canWrite() { return reinterpret_cast<sem_t*>(base_); }
    sem_t* canRead() { return reinterpret_cast<sem_t*>(base_ + 32); }
    char* text() { return base_ + 64; }
    size_t textSize() const { return size_ - 64; }

    static int value(sem_t* semaphore)
    {
        int value = -1;
        sem_getvalue(semaphore, &value);
        return value;
    }
    // Sets the semaphores up as a writer would, with the values given.
    void setUp(unsigned writeValue, unsigned readValue)
    {
        if (sem_init(canWrite(), 1, writeValue) == -1 || sem_init(canRead(), 1, readValue) == -1)
            fail("sem_init");
    }
    // Hands a word to the reader as a writer does; false if the text area
    // did not come free within the deadline.
    bool send(std::string_view word)
    {
        if (word.size() >= textSize())
            return false;
        timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        until.tv_sec += 10;
        while (sem_timedwait(canWrite(), &until) == -1)
            if (errno != EINTR)
                return false;
        word.copy(text(), word.size());
        text()[word.size()] = '\0';
        return sem_post(canRead()) == 0;
    }

private:
    char* base_ = nullptr;
    size_t size_ = 0;
};

std::string heard(const std::vector<std::string>& words)
{
    std::string lines;
    for (const auto& word : words)
        lines += "Message from writer: " + word + "\n";
    return lines;
}

std::string repeated(const std::string& line, size_t times)
{
    std::string lines;
    while (times--)
        lines += line + "\n";
    return lines;
}

// A word of `length` letters that shows where any piece of it came from.
std::string letters(size_t length)
{
    std::string word;
    for (size_t i = 0; i < length; ++i)
        word += static_cast<char>('a' + i % 26);
    return word;
}

// How long a test waits to be sure that a program does not go on.
constexpr auto stillness = 300ms;

// Everything in which the two writers differ.
struct Writer {
    const char* program;
    off_t blockSize;
    std::string prompt;
    size_t longest;  // the longest word that goes whole
    std::string openFailure, waitFailure, unlinkFailure;
};

const Writer writers[] = {
    {SHMTALK, 320, "Message to send or quit:", 255, "....", "...", "...."},
    {SHMTALK2, 1088, "Message for reader: ", 1023, "...", "....", "..."},
};

// Shown by the program's name in test listings and failure messages.
void PrintTo(const Writer& w, std::ostream* out)
{
    *out << strrchr(w.program, '/') + 1;
}

class Writers : public ::testing::TestWithParam<Writer> {
protected:
    const Writer& w = GetParam();
    ShmName shm;

    std::string prompts(size_t count) const { return repeated(w.prompt, count); }

    struct Exchange {
        kit::Result writer, reader;
    };
    // The writer gets `input`; the reader starts after the first prompt, as
    // it must: the semaphores are set up then.
    Exchange exchange(const std::string& input)
    {
        kit::Process writer({.argv = {w.program, shm.name()}});
        auto first = writer.readLine();
        EXPECT_EQ(first, w.prompt);
        kit::Process reader({.argv = {SHMLISTEN, shm.name()}});
        writer.send(input);
        Exchange done{writer.finish(), reader.finish(10s)};
        if (first)
            done.writer.out.insert(0, *first + "\n");
        return done;
    }
};

INSTANTIATE_TEST_SUITE_P(Sharedmem, Writers, ::testing::ValuesIn(writers),
                         [](const auto& row) { return ::testing::PrintToString(row.param); });

KIT_RUNS(Writers, LongestWordsComeThroughWhole, "shmlisten");
TEST_P(Writers, LongestWordsComeThroughWhole)
{
    kit::Process writer({.argv = {w.program, shm.name()}});
    ASSERT_EQ(writer.readLine(), w.prompt);
    // Created with mode 0600 and sized before the first prompt.
    EXPECT_EQ(shm.size(), w.blockSize);
    EXPECT_EQ(kit::modeOf(shm.path()), 0600u);

    kit::Process reader({.argv = {SHMLISTEN, shm.name()}});
    std::string longest = letters(w.longest);
    writer.send(longest + "\nhello\tshared \n memory\nquit\n");
    auto wrote = writer.finish();
    auto read = reader.finish(10s);
    EXPECT_EQ(wrote.out, prompts(4));
    EXPECT_EQ(wrote.err, "");
    EXPECT_EQ(wrote.status, 0);
    EXPECT_EQ(read.out, heard({longest, "hello", "shared", "memory", "quit"}));
    EXPECT_EQ(read.err, "");
    EXPECT_EQ(read.status, 0);
    EXPECT_FALSE(shm.exists()) << "the writer removes the name";
}

KIT_RUNS(Writers, QuitInAnyCaseEndsBothAndLookalikesDoNot, "shmlisten");
TEST_P(Writers, QuitInAnyCaseEndsBothAndLookalikesDoNot)
{
    for (std::string ending : {"quit", "Quit", "QUIT", "qUiT"}) {
        SCOPED_TRACE(ending);
        auto [wrote, read] = exchange("quitter quit. QUITE xquit " + ending + " after\n");
        EXPECT_EQ(wrote.out, prompts(5));
        EXPECT_EQ(wrote.status, 0);
        // The ending word is printed as typed; nothing after it is sent.
        EXPECT_EQ(read.out, heard({"quitter", "quit.", "QUITE", "xquit", ending}));
        EXPECT_EQ(read.status, 0);
        EXPECT_FALSE(shm.exists());
    }
}

KIT_RUNS(Writers, NoReaderYet, "shmlisten");
TEST_P(Writers, NoReaderYet)
{
    SKIP_UNLESS_SAME_SEMAPHORES();
    kit::Process writer({.argv = {w.program, shm.name()}});
    ASSERT_EQ(writer.readLine(), w.prompt);
    writer.send("first second\n");
    // The first word is stored at once and the next prompt comes...
    ASSERT_EQ(writer.readLine(), w.prompt);
    // ...then the writer, holding the second word, waits for the block.
    EXPECT_EQ(writer.readLine(stillness), std::nullopt);
    EXPECT_FALSE(writer.exited());
    {
        Block block(shm);
        EXPECT_STREQ(block.text(), "first");
        EXPECT_EQ(Block::value(block.canWrite()), 0);
        EXPECT_EQ(Block::value(block.canRead()), 1);
    }

    kit::Process reader({.argv = {SHMLISTEN, shm.name()}});
    ASSERT_EQ(writer.readLine(), w.prompt);
    writer.send("quit\n");
    auto wrote = writer.finish();
    EXPECT_EQ(wrote.out, "");
    EXPECT_EQ(wrote.status, 0);
    auto read = reader.finish(10s);
    EXPECT_EQ(read.out, heard({"first", "second", "quit"}));
    EXPECT_EQ(read.status, 0);
}

KIT_RUNS(Writers, SeveralWordsOnOneLineOnePromptBeforeEachRead, "shmlisten");
TEST_P(Writers, SeveralWordsOnOneLineOnePromptBeforeEachRead)
{
    kit::Process writer({.argv = {w.program, shm.name()}});
    ASSERT_EQ(writer.readLine(), w.prompt);
    kit::Process reader({.argv = {SHMLISTEN, shm.name()}});
    writer.send("one two three\n");
    for (int i = 0; i < 3; ++i)
        ASSERT_EQ(writer.readLine(), w.prompt);
    // Three words read, the fourth prompt out: now it waits for input.
    EXPECT_EQ(writer.readLine(stillness), std::nullopt);
    writer.send("quit\n");
    auto wrote = writer.finish();
    EXPECT_EQ(wrote.out, "");
    EXPECT_EQ(wrote.status, 0);
    auto read = reader.finish(10s);
    EXPECT_EQ(read.out, heard({"one", "two", "three", "quit"}));
    EXPECT_EQ(read.status, 0);
}

KIT_RUNS(Writers, ReusesAnObjectOfTheSameName, "shmlisten");
TEST_P(Writers, ReusesAnObjectOfTheSameName)
{
    SKIP_UNLESS_SAME_SEMAPHORES();
    {
        // Left by an earlier run: larger, and a stale word still waiting.
        Block stale(shm, 4096);
        memset(stale.text(), 'z', stale.textSize());
        stale.setUp(0, 1);
    }
    kit::Process writer({.argv = {w.program, shm.name()}});
    ASSERT_EQ(writer.readLine(), w.prompt);
    EXPECT_EQ(shm.size(), w.blockSize);
    {
        Block block(shm);
        EXPECT_EQ(Block::value(block.canWrite()), 1);
        EXPECT_EQ(Block::value(block.canRead()), 0);
    }
    kit::Process reader({.argv = {SHMLISTEN, shm.name()}});
    writer.send("fresh quit\n");
    EXPECT_EQ(writer.finish().status, 0);
    auto read = reader.finish(10s);
    EXPECT_EQ(read.out, heard({"fresh", "quit"}));
    EXPECT_EQ(read.status, 0);
}

KIT_RUNS(Writers, ReaderBeforeAnyWriterLeavesAnEmptyObjectThatTheWriterReuses, "shmlisten");
TEST_P(Writers, ReaderBeforeAnyWriterLeavesAnEmptyObjectThatTheWriterReuses)
{
    auto early = kit::run({.argv = {SHMLISTEN, shm.name()}});
    EXPECT_EQ(early.out, "");
    EXPECT_EQ(early.err, "...: " + kit::errorText(EINVAL) + "\n");
    EXPECT_EQ(early.status, 1);
    ASSERT_TRUE(shm.exists());
    EXPECT_EQ(shm.size(), 0);
    EXPECT_EQ(kit::modeOf(shm.path()), 0600u);

    auto [wrote, read] = exchange("hello quit\n");
    EXPECT_EQ(wrote.status, 0);
    EXPECT_EQ(read.out, heard({"hello", "quit"}));
    EXPECT_EQ(read.status, 0);
    EXPECT_FALSE(shm.exists());
}

KIT_RUNS(Writers, ReaderAfterTheWritersQuitFindsNoBlock, "shmlisten");
TEST_P(Writers, ReaderAfterTheWritersQuitFindsNoBlock)
{
    // With no reader the writer stores "quit" and leaves without waiting.
    auto wrote = kit::run({.argv = {w.program, shm.name()}, .input = "quit\n"});
    EXPECT_EQ(wrote.out, prompts(1));
    EXPECT_EQ(wrote.status, 0);
    EXPECT_FALSE(shm.exists());

    auto late = kit::run({.argv = {SHMLISTEN, shm.name()}});
    EXPECT_EQ(late.err, "...: " + kit::errorText(EINVAL) + "\n");
    EXPECT_EQ(late.status, 1);
    EXPECT_EQ(shm.size(), 0) << "an empty object stays";
}

KIT_RUNS(Writers, OverlongWordArrivesInPieces, "shmlisten");
TEST_P(Writers, OverlongWordArrivesInPieces)
{
    std::string word = letters(2 * w.longest + 7);
    auto [wrote, read] = exchange(word + " quit\n");
    EXPECT_EQ(wrote.out, prompts(4));
    EXPECT_EQ(wrote.status, 0);
    EXPECT_EQ(read.out, heard({word.substr(0, w.longest), word.substr(w.longest, w.longest),
                               word.substr(2 * w.longest), "quit"}));
    EXPECT_EQ(read.status, 0);
}

KIT_RUNS(Writers, EndOfInputSendsQuit, "shmlisten");
TEST_P(Writers, EndOfInputSendsQuit)
{
    auto [wrote, read] = exchange("one two");
    EXPECT_EQ(wrote.out, prompts(3));  // the third read met the end
    EXPECT_EQ(wrote.err, "");
    EXPECT_EQ(wrote.status, 0);
    // The reader ends on the word the writer sent in its place.
    EXPECT_EQ(read.out, heard({"one", "two", "quit"}));
    EXPECT_EQ(read.status, 0);
    EXPECT_FALSE(shm.exists());
}

KIT_RUNS(Writers, EndOfInputWithNoReader, "shmlisten");
TEST_P(Writers, EndOfInputWithNoReader)
{
    {
        // The block is free: "quit" goes in at once and the writer ends.
        kit::Process writer({.argv = {w.program, shm.name()}});
        ASSERT_EQ(writer.readLine(), w.prompt);
        Block block(shm);  // outlives the name, as a reader's mapping does
        auto wrote = writer.finish();
        EXPECT_EQ(wrote.out, "");
        EXPECT_EQ(wrote.status, 0);
        EXPECT_FALSE(shm.exists());
        EXPECT_STREQ(block.text(), "quit");
    }
    // Behind a word still waiting, "quit" waits for a reader: no word is lost.
    kit::Process writer({.argv = {w.program, shm.name()}, .input = "only"});
    writer.closeInput();
    EXPECT_EQ(writer.readLine(), w.prompt);
    EXPECT_EQ(writer.readLine(), w.prompt);
    EXPECT_EQ(writer.readLine(stillness), std::nullopt);
    EXPECT_FALSE(writer.exited());
    auto read = kit::run({.argv = {SHMLISTEN, shm.name()}, .deadline = 10s});
    EXPECT_EQ(read.out, heard({"only", "quit"}));
    EXPECT_EQ(writer.finish().status, 0);
}

TEST_P(Writers, FailedOpen)
{
    SKIP_UNLESS_ROOT("opens as another user an object it may not open");
    Block(shm, 64);  // root's, mode 0600
    auto r = kit::run({.argv = {w.program, shm.name()}, .unprivileged = true});
    kit::expectFailure(r, kit::perrorLine(w.openFailure, EACCES));
    EXPECT_EQ(shm.size(), 64) << "the object is left alone";
}

TEST_P(Writers, FailedCallsAfterTheOpenLeaveTheObject)
{
    struct Row {
        const char* call;
        const char* error;
        std::string message;
    } rows[] = {
        {"ftruncate", "EFBIG", "...: " + kit::errorText(EFBIG)},
        {"mmap", "ENOMEM", "...: " + kit::errorText(ENOMEM)},
        // The look at the owner and mode; glibc's fstat is newfstatat (statx
        // for a 32-bit program), ThreadSanitizer's makes the fstat call itself.
        {"fstat,newfstatat,statx", "EIO", w.openFailure + ": " + kit::errorText(EIO)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.call);
        auto r = kit::run({.argv = {w.program, shm.name()},
                           .input = "quit\n",
                           .fault = kit::Fault{row.call, row.error, "1", shm.path()}});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.message + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(shm.exists());
        shm_unlink(shm.name().c_str());
    }
}

TEST_P(Writers, FailedUnlinkLeavesTheName)
{
    auto r = kit::run({.argv = {w.program, shm.name()},
                       .input = "quit\n",
                       .fault = kit::Fault{"unlink,unlinkat", "EACCES", "1", shm.path()}});
    EXPECT_EQ(r.out, prompts(1));
    EXPECT_EQ(r.err, w.unlinkFailure + ": " + kit::errorText(EACCES) + "\n");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(shm.exists());
}

TEST_P(Writers, FailedWait)
{
    // The second word waits for a reader that never comes; the wait is interrupted.
    auto r = kit::run({.argv = {w.program, shm.name()},
                       .input = "one two\n",
                       .fault = kit::Fault{"futex", "EINTR", "1+"}});
    EXPECT_EQ(r.out, prompts(2));
    EXPECT_EQ(r.err, w.waitFailure + ": " + kit::errorText(EINTR) + "\n");
    EXPECT_EQ(r.status, 1);
}

TEST_P(Writers, FailedPost)
{
    SKIP_UNLESS_SAME_SEMAPHORES();
    kit::Process writer({.argv = {w.program, shm.name()}});
    ASSERT_EQ(writer.readLine(), w.prompt);
    Block(shm).setUp(1, SEM_VALUE_MAX);  // no more words fit in canRead
    writer.send("word\n");
    auto r = writer.finish();
    EXPECT_EQ(r.err, "...: " + kit::errorText(EOVERFLOW) + "\n");
    EXPECT_EQ(r.status, 1);
}

KIT_RUNS(Sharedmem, ArgumentCount, "shmlisten shmtalk shmtalk2");
TEST(Sharedmem, ArgumentCount)
{
    for (const char* program : {SHMTALK, SHMTALK2, SHMLISTEN}) {
        for (std::vector<std::string> argv : {std::vector<std::string>{program},
                                              std::vector<std::string>{program, "/a", "/b"}}) {
            SCOPED_TRACE(argv.back());
            auto r = kit::run({.argv = argv});
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "....: " + kit::errorText(0) + "\n");
            EXPECT_EQ(r.status, 1);
        }
    }
}

// An object that another user owns, or that another user may open, could
// carry the words to someone else: each program refuses it at once, and it
// is left as it was (no size, semaphores or word of theirs).
KIT_RUNS(Sharedmem, ObjectsOthersMayOpenAreRefused, "shmtalk shmtalk2 shmlisten");
TEST(Sharedmem, ObjectsOthersMayOpenAreRefused)
{
    const struct {
        const char* program;
        std::string message;  // the open's
    } programs[] = {{SHMTALK, "...."}, {SHMTALK2, "..."}, {SHMLISTEN, "..."}};
    const struct {
        mode_t mode;
        bool ours;
    } objects[] = {{0640, true}, {0604, true}, {0600, false}, {0666, false}};
    for (auto [mode, ours] : objects) {
        if (!ours && !kit::rootFor("an object of another user"))
            continue;
        for (const auto& p : programs) {
            SCOPED_TRACE(testing::Message() << p.program << std::oct << " mode " << mode << " ours " << ours);
            ShmName shm;
            {
                Block block(shm, 1088);
                block.setUp(0, 1);
                strcpy(block.text(), "secret");
            }
            uid_t owner = ours ? geteuid() : 65534;
            ASSERT_EQ(chown(shm.path().c_str(), owner, ours ? getegid() : 65534), 0);
            ASSERT_EQ(chmod(shm.path().c_str(), mode), 0);
            std::string bytes = kit::readFile(shm.path());
            auto r = kit::run({.argv = {p.program, shm.name()}, .input = "hello quit\n", .deadline = 10s});
            kit::expectFailure(r, kit::perrorLine(p.message, EACCES));
            struct stat st;
            ASSERT_EQ(stat(shm.path().c_str(), &st), 0);
            EXPECT_EQ(st.st_uid, owner);
            EXPECT_EQ(st.st_mode & 07777, mode);
            EXPECT_EQ(kit::readFile(shm.path()), bytes);
        }
    }
}

KIT_RUNS(Sharedmem, ReaderRefusesABlockTooSmall, "shmlisten");
TEST(Sharedmem, ReaderRefusesABlockTooSmall)
{
    for (off_t size : {1, 32, 63, 64}) {
        SCOPED_TRACE(size);
        ShmName shm;
        Block(shm, size);
        auto r = kit::run({.argv = {SHMLISTEN, shm.name()}});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "...: " + kit::errorText(EINVAL) + "\n");
        EXPECT_EQ(r.status, 1);
    }
}

KIT_RUNS(Sharedmem, ReaderBoundsAWordWithNoTerminator, "shmlisten");
TEST(Sharedmem, ReaderBoundsAWordWithNoTerminator)
{
    SKIP_UNLESS_SAME_SEMAPHORES();
    // The copy stops at the end of the text area or of the reader's buffer.
    struct Row {
        off_t size;
        size_t shown;
    } rows[] = {{320, 255}, {1088, 1023}, {4096, 1023}, {65, 0}};
    for (auto [size, shown] : rows) {
        SCOPED_TRACE(size);
        ShmName shm;
        Block block(shm, size);
        std::string forged = letters(block.textSize());
        forged.copy(block.text(), forged.size());
        block.setUp(0, 1);
        kit::Process reader({.argv = {SHMLISTEN, shm.name()}});
        if (size == 65) {
            // Room for nothing but an empty word, so "quit" cannot be sent:
            // the reader only shows that it takes word after word unharmed.
            EXPECT_TRUE(block.send(""));
            EXPECT_TRUE(block.send(""));
            EXPECT_FALSE(reader.exited());
            continue;
        }
        ASSERT_TRUE(block.send("quit"));
        auto r = reader.finish(10s);
        EXPECT_EQ(r.out, heard({forged.substr(0, shown), "quit"}));
        EXPECT_EQ(r.err, "");
        EXPECT_EQ(r.status, 0);
    }
}

KIT_RUNS(Sharedmem, ReaderFailures, "shmlisten");
TEST(Sharedmem, ReaderFailures)
{
    ShmName shm;
    Block block(shm, 320);
    block.setUp(1, 0);
    struct Row {
        kit::Fault fault;
        std::string message;
    } rows[] = {
        // glibc's fstat is newfstatat (statx for a 32-bit program);
        // ThreadSanitizer's makes the fstat call itself.
        {{"fstat,newfstatat,statx", "EIO", "1", shm.path()}, "...: " + kit::errorText(EIO)},
        {{"mmap", "ENOMEM", "1", shm.path()}, "...: " + kit::errorText(ENOMEM)},
        // Nothing is posted, so the reader sleeps in its wait, on the test's
        // semaphore: the last row, as it is skipped where that means nothing.
        {{"futex", "EINTR", "1+"}, "....: " + kit::errorText(EINTR)},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.fault.call);
        if (row.fault.call == "futex")
            SKIP_UNLESS_SAME_SEMAPHORES();
        auto r = kit::run({.argv = {SHMLISTEN, shm.name()}, .fault = row.fault, .deadline = 10s});
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, row.message + "\n");
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(shm.exists()) << "the reader never removes the name";
    }
}

KIT_RUNS(Sharedmem, ReaderFailedOpen, "shmlisten");
TEST(Sharedmem, ReaderFailedOpen)
{
    SKIP_UNLESS_ROOT("opens as another user an object it may not open");
    ShmName shm;
    Block(shm, 320);  // root's, mode 0600
    auto r = kit::run({.argv = {SHMLISTEN, shm.name()}, .unprivileged = true});
    kit::expectFailure(r, kit::perrorLine("...", EACCES));
}

KIT_RUNS(Sharedmem, ReaderFailedPost, "shmlisten");
TEST(Sharedmem, ReaderFailedPost)
{
    SKIP_UNLESS_SAME_SEMAPHORES();
    ShmName shm;
    Block block(shm, 320);
    block.setUp(SEM_VALUE_MAX, 1);  // canWrite can count no higher
    strcpy(block.text(), "word");
    auto r = kit::run({.argv = {SHMLISTEN, shm.name()}});
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "...: " + kit::errorText(EOVERFLOW) + "\n");
    EXPECT_EQ(r.status, 1);
}

}  // namespace

// shmtalk2: sends the words it reads to a reader, one at a time, through a
// shared-memory block guarded by two process-shared semaphores.
#include <fcntl.h>
#include <semaphore.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr uint32_t blockSize = 1088;

// The reader addresses these fields by their offsets alone: the layout is a
// contract between programs that share no code, so a drift must not compile.
// Each semaphore has a 32-byte slot, however big sem_t is here (16 bytes on
// 32-bit ARM and x86), so that the offsets hold on every ABI.
struct MemBlock {
    union { sem_t canWrite; char canWriteSlot[32]; };  // free text areas, 0 or 1
    union { sem_t canRead; char canReadSlot[32]; };    // words waiting in text, 0 or 1
    char text[blockSize - 64];
};
static_assert(sizeof(sem_t) <= 32, "a semaphore must fit its 32-byte slot");
static_assert(offsetof(MemBlock, canWrite) == 0);
static_assert(offsetof(MemBlock, canRead) == 32);
static_assert(offsetof(MemBlock, text) == 64);
static_assert(sizeof(MemBlock) == blockSize);

[[noreturn]] static void die(const char* message)
{
    perror(message);
    exit(1);
}

// A standard descriptor left closed would be the next one opened: here the
// object, open for reading and writing, and the message that refuses it would
// be written into it. /dev/null takes its place, opened the other way
// (write-only for input, read-only for output), so that it fails as the closed
// one did.
static void keepStandardDescriptors()
{
    for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; fd++) {
        // F_GETFD fails only where no descriptor is open.
        if (fcntl(fd, F_GETFD) != -1)
            continue;
        // Neither waits, were a FIFO put in its place, nor makes a terminal
        // ours; only the null device itself may stand in.
        int flags = (fd == STDIN_FILENO ? O_WRONLY : O_RDONLY) | O_NONBLOCK | O_NOCTTY;
        if (open("/dev/null", flags) != fd)
            die("....");
        struct stat opened;
        if (fstat(fd, &opened) == -1)
            die("....");
        if (!S_ISCHR(opened.st_mode)) {
            errno = ENODEV;
            die("....");
        }
    }
}

// Opens or creates the object, gives it the block's size and maps it whole.
static MemBlock* createMemBlock(const char* name, uint32_t size)
{
    int fd = shm_open(name, O_RDWR | O_CREAT, 0600);
    if (fd == -1)
        die("...");
    // Without O_EXCL the open also takes an object that someone else made
    // first, whatever its mode: the words go only into one of the caller's
    // own that nobody else may open. Another's is left as it was.
    struct stat st;
    if (fstat(fd, &st) == -1)
        die("...");
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        errno = EACCES;
        die("...");
    }
    if (ftruncate(fd, size) == -1)
        die("...");
    void* block = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (block == MAP_FAILED)
        die("...");
    // The mapping outlives the descriptor.
    close(fd);
    return static_cast<MemBlock*>(block);
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 2)
        die("....");
    // Every prompt goes out as it is printed, also into a pipe.
    // With a valid mode and no buffer of ours, setvbuf cannot fail.
    setvbuf(stdout, nullptr, _IOLBF, 0);
    MemBlock* block = createMemBlock(argv[1], blockSize);

    // Set up afresh on every start, also over an object left by an earlier run.
    if (sem_init(&block->canWrite, 1, 1) == -1)
        die("...");
    if (sem_init(&block->canRead, 1, 0) == -1)
        die("...");

    char word[sizeof block->text];
    // The field width keeps a word and its zero byte inside `word` (and so
    // inside `text`): the rest of a longer word is read as the next word.
    static_assert(sizeof word == 1024, "the width in the read is sizeof word - 1");
    for (;;) {
        puts("Message for reader: ");
        // A prompt that could not be written leaves its mark on the stream.
        if (fflush(stdout) == EOF || ferror(stdout))
            die("...");
        // The end of input ends the writer as "quit" would, and that word
        // ends its reader too; input that cannot be read is a failure, and
        // the name stays.
        if (scanf("%1023s", word) != 1) {
            if (ferror(stdin))
                die("...");
            strcpy(word, "quit");
        }
        if (sem_wait(&block->canWrite) == -1)
            die("....");
        strcpy(block->text, word);
        if (sem_post(&block->canRead) == -1)
            die("...");
        if (strcasecmp(word, "quit") == 0)
            break;
    }

    // A reader still holding the block keeps it; only the name goes.
    if (munmap(block, blockSize) == -1)
        die("...");
    if (shm_unlink(argv[1]) == -1)
        die("...");
    return 0;
}

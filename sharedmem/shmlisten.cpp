// shmlisten: prints the words a writer sends through a shared-memory block
// guarded by two process-shared semaphores.
#include <fcntl.h>
#include <semaphore.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

constexpr size_t wordSize = 1024;  // the larger writer's text area

// The writers' layout, stated again here since the programs share no code.
// Their blocks are 320 or 1088 bytes: this type covers the larger one, and
// only the part that the object really has is ever read. Each semaphore has
// a 32-byte slot, however big sem_t is here.
struct MemBlock {
    union { sem_t canWrite; char canWriteSlot[32]; };
    union { sem_t canRead; char canReadSlot[32]; };
    char text[wordSize];
};
static_assert(sizeof(sem_t) <= 32, "a semaphore must fit its 32-byte slot");
static_assert(offsetof(MemBlock, canWrite) == 0);
static_assert(offsetof(MemBlock, canRead) == 32);
static_assert(offsetof(MemBlock, text) == 64);
static_assert(sizeof(MemBlock) == 1088);

// The two semaphores and at least the zero byte of an empty word.
constexpr uint32_t smallestBlock = offsetof(MemBlock, text) + 1;

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

// Opens (or creates) the object and maps it at the size it already has.
static MemBlock* getMemBlock(const char* name, uint32_t* size)
{
    int fd = shm_open(name, O_RDWR | O_CREAT, 0600);
    if (fd == -1)
        die("...");
    struct stat st;
    if (fstat(fd, &st) == -1)
        die("...");
    // Without O_EXCL the open also takes an object that someone else made
    // first: words are taken only from one of the caller's own that nobody
    // else may open.
    if (st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
        errno = EACCES;
        die("...");
    }
    *size = static_cast<uint32_t>(st.st_size);
    // No writer makes a block too small for its semaphores and a word. An
    // object just created here has size 0, which the map itself refuses.
    if (*size > 0 && *size < smallestBlock) {
        errno = EINVAL;
        die("...");
    }
    void* block = mmap(nullptr, *size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (block == MAP_FAILED)
        die("...");
    close(fd);
    return static_cast<MemBlock*>(block);
}

int main(int argc, char* argv[])
{
    keepStandardDescriptors();
    if (argc != 2)
        die("....");
    uint32_t size = 0;
    MemBlock* block = getMemBlock(argv[1], &size);
    // A word is taken from the text area the object really has, and never
    // more of it than `word` holds with a zero byte.
    size_t limit = std::min<size_t>(size - offsetof(MemBlock, text), wordSize);

    char word[wordSize];
    for (;;) {
        if (sem_wait(&block->canRead) == -1)
            die("....");
        // Whatever the block holds, the copy stays inside the mapping and
        // inside `word`, and it is terminated.
        size_t length = strnlen(block->text, limit - 1);
        memcpy(word, block->text, length);
        word[length] = '\0';
        // The writer may store its next word while this one is printed.
        if (sem_post(&block->canWrite) == -1)
            die("...");
        printf("Message from writer: %s\n", word);
        if (strcasecmp(word, "quit") == 0)
            break;
    }

    // The name and the semaphores belong to the writer.
    if (munmap(block, size) == -1)
        die("...");
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    return 0;
}

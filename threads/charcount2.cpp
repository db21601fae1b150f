// charcount2: one thread per file counts its bytes and adds them to a total guarded by a mutex,
// trusting the mutex calls on a default mutex to succeed.
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>

static int64_t globalSum;
static pthread_mutex_t globalLock = PTHREAD_MUTEX_INITIALIZER;

struct ThreadArg {
    int fileNo;        // position among the paths, from 1
    const char* path;  // the argument itself, alive as long as the process
};

// Ends the whole process from whichever thread fails. exit() would reset the
// buffers of every open stream, also of those that other threads are still
// reading, and can crash them; so only standard output is flushed, to keep
// the lines already printed, and _exit ends the rest. Two threads may fail
// at once: the first one prints and ends the process, and any other waits
// for that end without a word, so a failure is always one line.
[[noreturn]] static void die(const char* message)
{
    static std::atomic_flag failing;  // clear until the first failure
    if (failing.test_and_set())
        for (;;)
            pause();
    perror(message);
    fflush(stdout);
    _exit(1);
}

// Thread calls return their error number instead of setting errno.
[[noreturn]] static void dieWith(int error, const char* message)
{
    errno = error;
    die(message);
}

static void* threadFunc(void* argument)
{
    const ThreadArg* arg = static_cast<const ThreadArg*>(argument);

    FILE* file = fopen(arg->path, "r");
    if (file == nullptr)
        die("...");

    // The stream is this thread's alone: take its lock once for the whole
    // loop instead of once per character.
    flockfile(file);
    int64_t count = 0;
    while (getc_unlocked(file) != EOF)
        count++;
    funlockfile(file);
    // EOF also ends the loop on a read error; the failed read left its errno.
    if (ferror(file))
        die("...");

    // A default mutex locked and unlocked by the same thread cannot fail here.
    pthread_mutex_lock(&globalLock);
    globalSum += count;
    pthread_mutex_unlock(&globalLock);

    fclose(file);
    printf("%d. Karaktera u fajlu: %" PRId64 "\n", arg->fileNo, count);
    return nullptr;
}

int main(int argc, char* argv[])
{
    if (argc <= 1)
        die("...");
    int fileCount = argc - 1;

    auto* threads = static_cast<pthread_t*>(malloc(fileCount * sizeof(pthread_t)));
    if (threads == nullptr)
        die("...");
    auto* args = static_cast<ThreadArg*>(malloc(fileCount * sizeof(ThreadArg)));
    if (args == nullptr)
        die("....");

    globalSum = 0;
    // Every thread is started before the first join, so all files are counted at once.
    for (int i = 0; i < fileCount; i++) {
        args[i] = {i + 1, argv[i + 1]};
        int error = pthread_create(&threads[i], nullptr, threadFunc, &args[i]);
        if (error != 0)
            dieWith(error, "...");
    }
    for (int i = 0; i < fileCount; i++) {
        int error = pthread_join(threads[i], nullptr);
        if (error != 0)
            dieWith(error, "...");
    }

    // The joins order every thread's addition before this read.
    printf("Ukupno karaktera: %" PRId64 "\n", globalSum);

    free(threads);
    free(args);
    // No thread holds the lock any more, so destroying it cannot fail.
    pthread_mutex_destroy(&globalLock);
    // A result that never reached standard output is no success: the last
    // buffered bytes go out here, and an earlier failed write left its mark.
    if (fflush(stdout) == EOF || ferror(stdout))
        die("...");
    exit(0);
}

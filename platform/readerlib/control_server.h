// The simulated reader's control socket: a Unix-domain stream socket served by
// one thread of its own, carrying line-oriented commands with one reply line
// each. The server only frames lines; what a line means is up to the executor.
#ifndef KORVANE_PLATFORM_READERLIB_CONTROL_SERVER_H
#define KORVANE_PLATFORM_READERLIB_CONTROL_SERVER_H

#include <pthread.h>
#include <sys/types.h>

#include <atomic>
#include <string>

namespace readersim {

class CControlServer {
public:
    // Runs one command line (without its newline) and returns the reply line
    // (without its newline). Called on the server's thread only.
    typedef std::string (*Executor)(void *context, const std::string &line);

    // Longest accepted command line; a longer one is answered with ERR and
    // skipped up to its newline, so a controller cannot make us buffer more.
    static constexpr size_t kMaxLineBytes = 64 * 1024;
    // Controllers connected at once; more are told so and closed.
    static constexpr size_t kMaxControllers = 16;

    ~CControlServer() { Stop(); }

    // Listens at `path` (replacing a stale socket there, never another kind of
    // file) and starts the serving thread. On failure returns false with the
    // reason in *error and leaves nothing behind.
    bool Start(const std::string &path, Executor executor, void *context, std::string *error);
    // Stops and joins the thread, closes every connection and removes the
    // socket file, if it is still the one we created. Safe to call twice.
    void Stop();

private:
    void Serve();

    Executor executor_ = nullptr;
    void *context_ = nullptr;
    std::string path_;
    dev_t socketDevice_ = 0;
    ino_t socketInode_ = 0;
    int listenFd_ = -1;
    int wakeRead_ = -1;
    int wakeWrite_ = -1;
    pthread_t thread_{};
    bool threadStarted_ = false;
    std::atomic<bool> stopping_{false};
};

// True on the library's own threads: calls that would have to join a library
// thread refuse to run on one.
inline thread_local bool gOnLibraryThread = false;
// Starts a library thread that runs (self->*Run)(); returns what
// pthread_create returned.
template <typename T, void (T::*Run)()>
int StartLibraryThread(pthread_t *thread, T *self) {
    return pthread_create(
        thread, nullptr,
        [](void *context) -> void * {
            gOnLibraryThread = true;
            (static_cast<T *>(context)->*Run)();
            return nullptr;
        },
        self);
}

}  // namespace readersim

#endif  // KORVANE_PLATFORM_READERLIB_CONTROL_SERVER_H

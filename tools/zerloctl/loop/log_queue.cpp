#include "loop/log_queue.h"

#include <algorithm>
#include <deque>

#if defined(_WIN32)
#include <windows.h>
#else
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <mutex>
#include <pthread.h>
#include <system_error>
#include <thread>
#endif

namespace zerloctl {

namespace {

// The few threading pieces the queue needs. MinGW's win32 thread model has
// no std::thread, and libstdc++'s condition variable would import Vista's
// SleepConditionVariableCS: on Windows they are a critical section and
// auto-reset events, which XP has.
#if defined(_WIN32)
class Mutex {
  public:
    Mutex() { InitializeCriticalSection(&section_); }
    ~Mutex() { DeleteCriticalSection(&section_); }
    void lock() { EnterCriticalSection(&section_); }
    void unlock() { LeaveCriticalSection(&section_); }

  private:
    CRITICAL_SECTION section_;
};

// An event stays set until a wait takes it, so a notify between the check
// and the wait is not lost.
class Signal {
  public:
    Signal() : event_(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}
    ~Signal()
    {
        if (event_) CloseHandle(event_);
    }
    void notify() { SetEvent(event_); }
    // Called and returns with `mutex` held.
    void wait(Mutex& mutex, uint32_t ms)
    {
        mutex.unlock();
        WaitForSingleObject(event_, ms);
        mutex.lock();
    }

  private:
    HANDLE event_;
};

uint32_t NowMs()
{
    return GetTickCount();
}
#else
using Mutex = std::mutex;

class Signal {
  public:
    void notify() { condition_.notify_all(); }
    void wait(Mutex& mutex, uint32_t ms)
    {
        std::unique_lock lock(mutex, std::adopt_lock);
        condition_.wait_for(lock, std::chrono::milliseconds(ms));
        lock.release();
    }

  private:
    std::condition_variable condition_;
};

uint32_t NowMs()
{
    return static_cast<uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
            .count());
}
#endif

constexpr uint32_t kForever = 0xFFFFFFFF;

class Hold {
  public:
    explicit Hold(Mutex& mutex) : mutex_(mutex) { mutex_.lock(); }
    ~Hold() { mutex_.unlock(); }
    Hold(const Hold&) = delete;
    Hold& operator=(const Hold&) = delete;

  private:
    Mutex& mutex_;
};

} // namespace

struct LogQueue::Shared {
    Writer writer;
    size_t capacity = 0;
    Mutex mutex;
    Signal work, finished;
    std::deque<LoopEvent> events;
    uint64_t dropped = 0, droppedSinceWritten = 0;
    bool closing = false, done = false, failed = false;

    void run() noexcept;
};

namespace {

#if defined(_WIN32)
// The thread holds its own reference: it may outlive the queue.
DWORD WINAPI Run(void* argument)
{
    const std::unique_ptr<std::shared_ptr<LogQueue::Shared>> shared(
        static_cast<std::shared_ptr<LogQueue::Shared>*>(argument));
    (*shared)->run();
    return 0;
}
#else
void Run(const std::shared_ptr<LogQueue::Shared>& shared) noexcept
{
    shared->run();
}
#endif

} // namespace

void LogQueue::Shared::run() noexcept
{
    for (;;) {
        LoopEvent event;
        {
            Hold hold(mutex);
            while (events.empty() && !closing)
                work.wait(mutex, kForever);
            if (events.empty()) {
                done = true;
                finished.notify();
                return;
            }
            event = std::move(events.front());
            events.pop_front();
        }
        bool written = false;
        try {
            written = writer(event);
        } catch (...) {
        }
        if (!written) {
            Hold hold(mutex);
            failed = true;
            events.clear();
        }
    }
}

LogQueue::LogQueue(Writer writer, size_t capacity) : shared_(std::make_shared<Shared>())
{
    shared_->writer = std::move(writer);
    shared_->capacity = capacity;
#if defined(_WIN32)
    auto* reference = new std::shared_ptr<Shared>(shared_);
    const HANDLE thread = CreateThread(nullptr, 0, Run, reference, 0, nullptr);
    if (!thread) {
        delete reference;
        shared_->failed = true; // no writer: every line is lost, the loop runs
        return;
    }
    CloseHandle(thread); // finished is what close() waits for
#else
    // The stop signals go to the loop's thread, whose waits watch for them;
    // the writer only writes.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int signal : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&blocked, signal);
    pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    try {
        std::thread(Run, shared_).detach();
    } catch (const std::system_error&) {
        shared_->failed = true; // no writer: every line is lost, the loop runs
    }
    pthread_sigmask(SIG_SETMASK, &previous, nullptr);
#endif
}

LogQueue::~LogQueue()
{
    close(0);
}

void LogQueue::push(const LoopEvent& event) noexcept
{
    Shared& shared = *shared_;
    Hold hold(shared.mutex);
    if (shared.failed || shared.closing) return;
    if (shared.events.size() >= shared.capacity) {
        ++shared.dropped;
        ++shared.droppedSinceWritten;
        return;
    }
    try {
        shared.events.push_back(event);
    } catch (...) {
        ++shared.dropped;
        ++shared.droppedSinceWritten;
        return;
    }
    shared.events.back().droppedBefore = shared.droppedSinceWritten;
    shared.droppedSinceWritten = 0;
    shared.work.notify();
}

bool LogQueue::close(double seconds) noexcept
{
    Shared& shared = *shared_;
    Hold hold(shared.mutex);
    if (!closed_) {
        closed_ = true;
        shared.closing = true;
        shared.work.notify();
    }
    const uint32_t start = NowMs(), limit = static_cast<uint32_t>(std::max(0.0, seconds) * 1000);
    while (!shared.done) {
        const uint32_t spent = NowMs() - start;
        if (spent >= limit) break;
        shared.finished.wait(shared.mutex, limit - spent);
    }
    return shared.done;
}

uint64_t LogQueue::dropped() const
{
    Hold hold(shared_->mutex);
    return shared_->dropped;
}

bool LogQueue::failed() const
{
    Hold hold(shared_->mutex);
    return shared_->failed;
}

} // namespace zerloctl

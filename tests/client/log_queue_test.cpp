// The loop's log queue: a writer held for as long as it likes never holds
// the one who pushes, a full queue drops and counts, and a failed write
// ends the logging alone.
#include "loop/log_queue.h"

#include <chrono>
#include <condition_variable>
#include <gtest/gtest.h>
#include <memory>
#include <mutex>
#include <thread>

namespace {

using zerloctl::LogQueue;
using zerloctl::LoopEvent;

LoopEvent Line(const std::string& name)
{
    LoopEvent event;
    event.kind = LoopEvent::kStopping;
    event.time = "t";
    event.reason = name;
    return event;
}

// A writer that takes each line only when the test lets it, and keeps what
// it took; shared, since a writer left behind by close() outlives the test's
// own frame.
struct Output {
    std::mutex mutex;
    std::condition_variable changed;
    bool open = false;
    int taken = 0;
    std::string text;

    LogQueue::Writer writer(int failAt = -1)
    {
        return [this, failAt](const LoopEvent& event) {
            std::unique_lock lock(mutex);
            ++taken;
            changed.notify_all();
            changed.wait(lock, [&] { return open; });
            if (taken == failAt) return false;
            text += zerloctl::FormatLoopEvent(event) + "\n";
            return true;
        };
    }
    void waitTaken(int count)
    {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return taken >= count; });
    }
    void release()
    {
        std::lock_guard lock(mutex);
        open = true;
        changed.notify_all();
    }
};

TEST(LogQueue, AHeldOutputHoldsNoPushAndTheNextLineCountsTheDrops)
{
    const auto output = std::make_shared<Output>();
    LogQueue queue(output->writer(), 3);
    queue.push(Line("held"));
    output->waitTaken(1); // the writer is in its write, which does not return
    const auto start = std::chrono::steady_clock::now();
    for (int i = 1; i <= 8; ++i)
        queue.push(Line("line " + std::to_string(i)));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    EXPECT_EQ(queue.dropped(), 5u);
    output->release();
    output->waitTaken(4);
    queue.push(Line("after"));
    queue.push(Line("next"));
    EXPECT_TRUE(queue.close(10));
    EXPECT_EQ(output->text, "t stopping: held\n"
                            "t stopping: line 1\n"
                            "t stopping: line 2\n"
                            "t stopping: line 3\n"
                            "t (5 lines dropped: the output did not keep up) stopping: after\n"
                            "t stopping: next\n");
    EXPECT_FALSE(queue.failed());
}

TEST(LogQueue, AFailedWriteEndsTheLoggingAndNothingElse)
{
    const auto output = std::make_shared<Output>();
    output->release();
    LogQueue queue(output->writer(2));
    for (int i = 1; i <= 5; ++i) {
        queue.push(Line("line " + std::to_string(i)));
        output->waitTaken(std::min(i, 2));
    }
    EXPECT_TRUE(queue.close(10));
    EXPECT_TRUE(queue.failed());
    EXPECT_EQ(output->taken, 2) << "a write after the failed one";
    EXPECT_EQ(output->text, "t stopping: line 1\n");
}

TEST(LogQueue, CloseGivesUpOnAnOutputThatNeverTakesItsLine)
{
    const auto output = std::make_shared<Output>();
    {
        LogQueue queue(output->writer(), 3);
        queue.push(Line("held"));
        queue.push(Line("queued"));
        output->waitTaken(1);
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(queue.close(0.2));
        const auto waited = std::chrono::steady_clock::now() - start;
        // The queue counts whole milliseconds, so its 200 may be 199 and a bit.
        EXPECT_GE(waited, std::chrono::milliseconds(190));
        EXPECT_LT(waited, std::chrono::seconds(5));
        queue.push(Line("after the close"));
    }
    // The writer left behind still has its output, and writes what was
    // queued before the close, nothing after it.
    output->release();
    const std::string expected = "t stopping: held\nt stopping: queued\n";
    for (int i = 0; i < 250; ++i) {
        {
            std::lock_guard lock(output->mutex);
            if (output->text == expected) break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    std::lock_guard lock(output->mutex);
    EXPECT_EQ(output->text, expected);
}

} // namespace

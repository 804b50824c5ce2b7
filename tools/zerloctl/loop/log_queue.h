// Where the fan loop's lines leave the control path. An output that is not
// read (a pipe nobody drains, `| more`, an XP console held in QuickEdit by
// one click) blocks whoever writes to it, for as long as it likes: the loop
// only puts its events in a bounded queue, and a thread of its own writes
// them. A queue that is full drops the event and counts it; the next event
// written carries the count. A write that fails (the reader went away) ends
// the logging, never the loop.
#pragma once

#include "loop/fan_loop.h"

#include <cstdint>
#include <functional>
#include <memory>

namespace zerloctl {

class LogQueue {
  public:
    // Enough for a long failure's lines with the output held for minutes.
    static constexpr size_t kDefaultCapacity = 1024;
    // Runs on the writer thread, one event at a time; false when the write
    // failed, after which nothing more is written.
    using Writer = std::function<bool(const LoopEvent& event)>;

    explicit LogQueue(Writer writer, size_t capacity = kDefaultCapacity);
    // close(0): what the writer has not taken yet is not waited for.
    ~LogQueue();
    LogQueue(const LogQueue&) = delete;
    LogQueue& operator=(const LogQueue&) = delete;

    // Never waits for the output, and never throws: a full queue, or no
    // memory for the copy, drops the event and counts it.
    void push(const LoopEvent& event) noexcept;
    // Lets the writer write what is queued, for at most `seconds`; false
    // when it did not finish (an output still blocked). A writer that has
    // not finished is left behind, holding what it needs, so that the
    // program can end without waiting for a reader that never comes.
    bool close(double seconds) noexcept;

    uint64_t dropped() const; // events lost to a full queue, so far
    bool failed() const;      // a write failed: logging has ended

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
    bool closed_ = false;
};

} // namespace zerloctl

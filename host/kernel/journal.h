// What the kernel saw the driver do: its DbgPrint lines, and the calls of the
// services that acquire or release something, in order. Guarded by the
// kernel's lock.
#pragma once

#include <string>
#include <vector>

namespace zhost {

class Journal {
  public:
    // Bounded: a driver in a loop keeps the oldest entries, which say how
    // the loop began.
    static constexpr size_t kLimit = 1u << 16;

    void note(std::string entry)
    {
        if (entries_.size() < kLimit) entries_.push_back(std::move(entry));
    }
    void print(std::string line) { debugLog_.push_back(std::move(line)); }
    const std::vector<std::string>& entries() const { return entries_; }
    const std::vector<std::string>& debugLog() const { return debugLog_; }
    void clear() { entries_.clear(); }
    bool operator==(const Journal&) const = default;

  private:
    std::vector<std::string> entries_;
    std::vector<std::string> debugLog_;
};

} // namespace zhost

// A critical section and its scoped hold: what the monitor's threads share
// their queues under (XP has no SRW locks).
#pragma once

#include <windows.h>

namespace zerlomon {

class CriticalSection {
  public:
    CriticalSection() { InitializeCriticalSection(&section_); }
    ~CriticalSection() { DeleteCriticalSection(&section_); }
    CriticalSection(const CriticalSection&) = delete;
    CriticalSection& operator=(const CriticalSection&) = delete;

  private:
    friend class Lock;
    CRITICAL_SECTION section_;
};

class Lock {
  public:
    explicit Lock(CriticalSection& section) : section_(section.section_) { EnterCriticalSection(&section_); }
    ~Lock() { LeaveCriticalSection(&section_); }
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

  private:
    CRITICAL_SECTION& section_;
};

} // namespace zerlomon

// Live samples: the driver polled on a thread of its own through zerloctl's
// own requests, so a slow or failing request never stalls the window.
#pragma once

#include "recording.h"
#include "service_view.h"

#include <memory>
#include <string>
#include <windows.h>

namespace zerlomon {

// Posted to the window: lParam is a MonitorSample* the window takes over.
constexpr UINT kSampleMessage = WM_APP + 1;
// Posted after a fan was set: wParam the fan, lParam nonzero when it failed.
constexpr UINT kFanSetMessage = WM_APP + 2;

class LiveSource {
  public:
    virtual ~LiveSource() = default;
    virtual void setPlan(const PollPlan& plan) = 0; // takes effect at the next poll
    virtual void setSensors(unsigned sensors) = 0;  // so does this: how many are read
    virtual void setFanState(unsigned fan, unsigned state) = 0;
};

std::unique_ptr<LiveSource> StartLiveSource(HWND window, PollPlan plan, unsigned sensors);

} // namespace zerlomon

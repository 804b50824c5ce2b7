// ZerloAuto's actions and the reads of its state, on a thread of their own:
// the service manager may take minutes to answer (a service slow to stop, a
// manager that hangs), and the Run As dialog waits for the owner, while the
// window goes on painting and answering.
#pragma once

#include "service_control.h"

#include <memory>
#include <string>
#include <windows.h>

namespace zerlomon {

// LPARAM: a ServiceReport the window takes and deletes.
constexpr UINT kServiceReportMessage = WM_APP + 5;

struct ServiceReport {
    std::string action; // "" after a look only
    ServiceResult result;
    ServiceState state; // read after the action, whatever it reported
};

class ServiceWorker {
  public:
    explicit ServiceWorker(HWND window);
    // Does not wait for an action under way: the process is ending, and
    // the service manager finishes what it was asked without us.
    ~ServiceWorker();
    ServiceWorker(const ServiceWorker&) = delete;
    ServiceWorker& operator=(const ServiceWorker&) = delete;

    // Queued in order; each is reported once done.
    void act(const std::string& action);
    // A look already queued is not queued again.
    void look();

    struct Shared;

  private:
    std::shared_ptr<Shared> shared_;
};

} // namespace zerlomon

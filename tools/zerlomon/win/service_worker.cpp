#include "service_worker.h"

#include "critical_section.h"

#include <algorithm>
#include <deque>
#include <objbase.h>

namespace zerlomon {

// What the window's thread and the worker share; the worker holds it as
// long as it runs, so that it outlives a window that closed meanwhile.
struct ServiceWorker::Shared {
    HWND window;
    CriticalSection lock;
    HANDLE wake = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    std::deque<std::string> jobs; // actions, and "" for a look
    bool closing = false;

    explicit Shared(HWND w) : window(w) {}
    ~Shared() { CloseHandle(wake); }

    // The next job, or false once the window is gone.
    bool next(std::string& job)
    {
        for (;;) {
            bool closed = false, found = false;
            {
                Lock hold(lock);
                closed = closing;
                found = !closing && !jobs.empty();
                if (found) {
                    job = jobs.front();
                    jobs.pop_front();
                }
            }
            if (closed) return false;
            if (found) return true;
            WaitForSingleObject(wake, INFINITE);
        }
    }

    void post(ServiceReport* report)
    {
        bool posted = false;
        {
            Lock hold(lock);
            posted = !closing && PostMessageA(window, kServiceReportMessage, 0, reinterpret_cast<LPARAM>(report));
        }
        if (!posted) delete report;
    }
};

namespace {

DWORD WINAPI Work(void* parameter)
{
    const std::unique_ptr<std::shared_ptr<ServiceWorker::Shared>> held(
        static_cast<std::shared_ptr<ServiceWorker::Shared>*>(parameter));
    ServiceWorker::Shared& shared = **held;
    // The Run As dialog comes through the shell, which wants COM.
    const HRESULT com = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED | COINIT_DISABLE_OLE1DDE);
    const std::unique_ptr<ServiceControl> control = MakeServiceControl();
    for (std::string job; shared.next(job);) {
        auto report = std::make_unique<ServiceReport>();
        report->action = job;
        if (!job.empty()) {
            report->result = CarryOut(*control, job);
            if (report->result.needsAdministrator) report->result = RunAsAdministrator(job);
        }
        report->state = control->query();
        shared.post(report.release());
    }
    if (SUCCEEDED(com)) CoUninitialize();
    return 0;
}

} // namespace

ServiceWorker::ServiceWorker(HWND window) : shared_(std::make_shared<Shared>(window))
{
    auto* held = new std::shared_ptr<Shared>(shared_);
    const HANDLE thread = CreateThread(nullptr, 0, Work, held, 0, nullptr);
    if (thread) {
        CloseHandle(thread);
    } else {
        // No thread, no service manager calls: the window must not wait
        // on them itself, and shows ZerloAuto as never read.
        delete held;
        shared_->closing = true;
    }
}

ServiceWorker::~ServiceWorker()
{
    {
        Lock hold(shared_->lock);
        shared_->closing = true;
    }
    SetEvent(shared_->wake);
}

void ServiceWorker::act(const std::string& action)
{
    {
        Lock hold(shared_->lock);
        shared_->jobs.push_back(action);
    }
    SetEvent(shared_->wake);
}

void ServiceWorker::look()
{
    {
        Lock hold(shared_->lock);
        if (std::find(shared_->jobs.begin(), shared_->jobs.end(), "") == shared_->jobs.end())
            shared_->jobs.push_back("");
    }
    SetEvent(shared_->wake);
}

} // namespace zerlomon

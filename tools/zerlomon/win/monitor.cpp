#include "monitor.h"

#include "sample/fan_states.h"
#include "self_check.h"
#include "service_view.h"
#include "settings.h"

#include "loop/presets.h"

#include <algorithm>
#include <commctrl.h>
#include <fstream>
#include <sstream>

namespace zerlomon {

namespace {

// The service rotates its log by moving it while the monitor may be
// reading it: the monitor shares reading, writing and deleting, so that
// the move never fails for its sake.
std::string ReadLogTail(const std::string& path)
{
    constexpr DWORD kTailBytes = 16384;
    const HANDLE file = CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) return "";
    std::string text;
    const DWORD size = GetFileSize(file, nullptr);
    if (size != INVALID_FILE_SIZE) {
        SetFilePointer(file, static_cast<LONG>(size > kTailBytes ? size - kTailBytes : 0), nullptr, FILE_BEGIN);
        text.resize(std::min(size, kTailBytes));
        DWORD read = 0;
        if (!ReadFile(file, text.data(), static_cast<DWORD>(text.size()), &read, nullptr)) read = 0;
        text.resize(read);
    }
    CloseHandle(file);
    return text;
}

std::wstring Wide(const std::string& utf8)
{
    const int length = MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, nullptr, 0);
    std::wstring wide(static_cast<size_t>(length > 0 ? length : 1), L'\0');
    if (length > 0) MultiByteToWideChar(CP_UTF8, 0, utf8.c_str(), -1, wide.data(), length);
    wide.resize(wide.size() - 1);
    return wide;
}

} // namespace

void Monitor::loadConfig(const std::string& path)
{
    if (path == loadedConfig_) return;
    loadedConfig_ = path;
    try {
        config_ = zerloctl::LoadAutoConfig(path);
    } catch (const std::exception& error) {
        config_.reset();
        status_ = std::string("configuration not shown: ") + error.what();
    }
    // The icon shows the hottest followed sensor, wherever it is.
    if (live_) live_->setSensors(SensorsToRead(options_.sensors, config_ ? &*config_ : nullptr));
}

void Monitor::addSample(MonitorSample sample)
{
    history_.push_back(std::move(sample));
    size_t old = 0;
    while (old < history_.size() && history_[old].seconds < history_.back().seconds - kHistorySeconds)
        ++old;
    history_.erase(history_.begin(), history_.begin() + static_cast<std::ptrdiff_t>(old));
    refresh();
}

std::string Monitor::automaticText() const
{
    if (options_.replay) return events_.empty() ? "not in the recording" : "in the recording";
    return serviceState_.state;
}

void Monitor::refresh()
{
    const MonitorSample latest = history_.empty() ? MonitorSample{} : history_.back();
    for (unsigned fan = 0; fan < kFans; ++fan) {
        std::string text = "fan " + std::to_string(fan) + ": ";
        if (!latest.failure.empty())
            text += latest.failure;
        else if (fan < latest.fans.size())
            text += FanText(latest.fans[fan]);
        else
            text += "no sample yet";
        if (!fanErrors_[fan].empty()) text += " (" + fanErrors_[fan] + ")";
        setText(kFanLabelId + static_cast<int>(fan), text);
    }
    std::string sio;
    if (!latest.failure.empty()) {
        sio = latest.failure;
    } else if (latest.sioLevels.empty()) {
        sio = history_.empty() ? "no sample yet" : "not read";
    } else {
        bool detected = false;
        for (const Reading& level : latest.sioLevels)
            detected = detected || level.value.has_value();
        for (size_t fan = 0; fan < latest.sioLevels.size(); ++fan) {
            if (detected)
                sio += "fan " + std::to_string(fan) + ": " +
                       (latest.sioLevels[fan].value ? "level " + std::to_string(*latest.sioLevels[fan].value)
                                                    : latest.sioLevels[fan].error) +
                       "   ";
        }
        if (!detected) sio = latest.sioLevels[0].error; // watch's "no Super-I/O chip"
    }
    setText(kSioLabelId, sio);
    std::string status = latest.failure.empty() ? status_ : latest.failure;
    if (!latest.time.empty()) status = latest.time + (status.empty() ? "" : ": " + status);
    setText(kStatusId, status);
    InvalidateRect(GetDlgItem(window_, kGraphId), nullptr, FALSE);
    const Hottest hottest = HottestFollowed(latest, config_ ? &*config_ : nullptr);
    tray_->show(MakeIconFace(hottest), TooltipText(latest, hottest, automaticText()));
}

// Every choice there is, in the order of the window's buttons.
const std::vector<std::string>& FanControlChoices()
{
    static const std::vector<std::string> choices = [] {
        std::vector<std::string> all = zerloctl::PresetNames();
        all.insert(all.end(), {"custom", "off"});
        return all;
    }();
    return choices;
}

void Monitor::showService()
{
    const std::string config = ConfigOfServiceCommand(serviceState_.command);
    if (options_.configPath.empty() && !config.empty()) loadConfig(config);
    const bool installed = serviceState_.state != "not installed" && serviceState_.state != "unknown";
    installed_ = installed ? ReadInstalledConfig(config) : UnreadableConfig("");
    std::string label = ServiceLabel(serviceState_.state, serviceState_.failure, serviceState_.logPath);
    if (!pending_.empty()) {
        label = PendingLabel(pending_);
    } else if (installed && !installed_.problem.empty()) {
        label += "\nconfiguration: " + installed_.problem;
    }
    SetWindowTextW(GetDlgItem(window_, kServiceLabelId), Wide(label).c_str());
    const std::vector<FanControlItem> items = FanControlItems(serviceState_.state, installed_, !pending_.empty());
    const std::vector<std::string>& choices = FanControlChoices();
    bool relayout = false;
    for (size_t slot = 0; slot < choices.size(); ++slot) {
        const HWND button = GetDlgItem(window_, kFanControlId + static_cast<int>(slot));
        const auto item = std::find_if(items.begin(), items.end(),
                                       [&](const FanControlItem& i) { return i.choice == choices[slot]; });
        const bool show = item != items.end();
        relayout = relayout || show != ((GetWindowLongA(button, GWL_STYLE) & WS_VISIBLE) != 0);
        ShowWindow(button, show ? SW_SHOWNA : SW_HIDE);
        EnableWindow(button, item != items.end() && item->enabled);
        SendMessageA(button, BM_SETCHECK, item != items.end() && item->checked ? BST_CHECKED : BST_UNCHECKED, 0);
    }
    if (relayout) layout();
    const HWND log = GetDlgItem(window_, kLogId);
    std::vector<std::string> lines;
    if (!serviceState_.logPath.empty()) lines = LastLines(ReadLogTail(serviceState_.logPath), kLogLines);
    SendMessageA(log, WM_SETREDRAW, FALSE, 0);
    SendMessageA(log, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : lines)
        SendMessageA(log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageA(log, LB_SETTOPINDEX, lines.empty() ? 0 : lines.size() - 1, 0);
    SendMessageA(log, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(log, nullptr, TRUE);
    if (const auto text = news_.lookAtLog(lines)) tray_->balloon(*text);
    std::string shown = label + "\nchosen:";
    for (const FanControlItem& item : items)
        if (item.checked) shown += " " + item.label;
    if (!options_.selfCheckPath.empty() && shown != shownService_)
        AppendSelfCheckLine(options_.selfCheckPath + ".service", shown);
    shownService_ = shown;
}

void Monitor::serviceReported(const ServiceReport& report)
{
    serviceState_ = report.state;
    serviceRead_ = true;
    if (!report.action.empty()) {
        pending_.clear();
        status_ = ActionOutcome(report.action, report.result.ok, report.result.message, report.state.state);
    }
    showService();
    refresh();
}

void Monitor::choose(const std::string& choice)
{
    if (!service_ || !pending_.empty()) return;
    // Read again now: the owner may have edited the file since the last look.
    installed_ = ReadInstalledConfig(ConfigOfServiceCommand(serviceState_.command));
    const FanControlPlan plan = PlanFanControl(choice, serviceState_.state, installed_);
    if (plan.action.empty()) {
        showService();
        return;
    }
    if (!plan.question.empty() && MessageBoxA(window_, plan.question.c_str(), "Zerlo Monitor",
                                              MB_YESNO | MB_ICONQUESTION | MB_DEFBUTTON2) != IDYES) {
        showService();
        return;
    }
    pending_ = plan.action;
    service_->act(plan.action);
    showService();
}

void Monitor::command(int id)
{
    if (id >= kFanButtonId && id < kFanButtonId + static_cast<int>(kFans) * 3 && live_) {
        const unsigned fan = static_cast<unsigned>(id - kFanButtonId) / 3;
        fanErrors_[fan].clear();
        live_->setFanState(fan, static_cast<unsigned>(id - kFanButtonId) % 3);
    } else if (id >= kMenuFan && id < kMenuFan + static_cast<int>(kFans) * 3) {
        command(kFanButtonId + id - kMenuFan);
    } else if (id >= kFanControlId && id < kFanControlId + static_cast<int>(FanControlChoices().size())) {
        choose(FanControlChoices()[static_cast<size_t>(id - kFanControlId)]);
    } else if (id >= kMenuFanControl && id < kMenuFanControl + static_cast<int>(FanControlChoices().size())) {
        choose(FanControlChoices()[static_cast<size_t>(id - kMenuFanControl)]);
    } else if (id == kMenuOpen) {
        open();
    } else if (id == kMenuExit) {
        exit();
    }
}

void Monitor::showMenu()
{
    const HMENU menu = CreatePopupMenu();
    const MonitorSample latest = history_.empty() ? MonitorSample{} : history_.back();
    for (unsigned fan = 0; fan < kFans; ++fan) {
        for (unsigned state = 0; state < 3; ++state) {
            const bool current = fan < latest.fans.size() && latest.fans[fan].state == state;
            const std::string text = "Fan " + std::to_string(fan) + " " + zerloctl::FanStateName(state);
            AppendMenuA(menu, MF_STRING | (current ? MF_CHECKED : 0u) | (live_ ? 0u : MF_GRAYED),
                        static_cast<UINT_PTR>(kMenuFan + fan * 3 + state), text.c_str());
        }
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    }
    if (service_) {
        const std::vector<std::string>& choices = FanControlChoices();
        for (const FanControlItem& item : FanControlItems(serviceState_.state, installed_, !pending_.empty())) {
            const auto slot = std::find(choices.begin(), choices.end(), item.choice) - choices.begin();
            const std::string text = "Automatic: " + item.label;
            AppendMenuA(menu, MF_STRING | (item.checked ? MF_CHECKED : 0u) | (item.enabled ? 0u : MF_GRAYED),
                        static_cast<UINT_PTR>(kMenuFanControl + slot), text.c_str());
        }
    }
    AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    AppendMenuA(menu, MF_STRING | MF_DEFAULT, kMenuOpen, "Open");
    AppendMenuA(menu, MF_STRING, kMenuExit, "Exit");
    POINT at;
    GetCursorPos(&at);
    // Without the foreground the menu would not close when clicked away.
    SetForegroundWindow(window_);
    TrackPopupMenu(menu, TPM_RIGHTBUTTON, at.x, at.y, 0, window_, nullptr);
    PostMessageA(window_, WM_NULL, 0, 0);
    DestroyMenu(menu);
}

void Monitor::updatePlan()
{
    if (live_) live_->setPlan(PlanPoll(options_.interval, shown()));
}

void Monitor::open()
{
    ShowWindow(window_, IsIconic(window_) ? SW_RESTORE : SW_SHOW);
    SetForegroundWindow(window_);
    updatePlan();
}

void Monitor::hide()
{
    SavePlacement(window_);
    ShowWindow(window_, SW_HIDE);
    updatePlan();
}

void Monitor::exit()
{
    if (IsWindowVisible(window_)) SavePlacement(window_);
    live_.reset();
    DestroyWindow(window_);
}

LRESULT Monitor::handle(UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE: create(); return 0;
    case WM_SIZE:
        layout();
        updatePlan();
        return 0;
    case WM_GETMINMAXINFO: reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = {560, 460}; return 0;
    case WM_COMMAND:
        if (LOWORD(wParam) == kSpanId && HIWORD(wParam) == CBN_SELCHANGE) {
            const LRESULT at = SendMessageA(GetDlgItem(window_, kSpanId), CB_GETCURSEL, 0, 0);
            if (at >= 0 && at < static_cast<LRESULT>(std::size(kSpans))) span_ = kSpans[at];
            SaveSpan(span_);
            InvalidateRect(GetDlgItem(window_, kGraphId), nullptr, FALSE);
        } else {
            command(LOWORD(wParam));
        }
        return 0;
    case kSampleMessage: {
        std::unique_ptr<MonitorSample> sample(reinterpret_cast<MonitorSample*>(lParam));
        addSample(std::move(*sample));
        return 0;
    }
    case WM_MOUSEWHEEL:
        // Sent to the control with the focus, and from it to here: the
        // graphs never take the focus.
        scrollGraphs(graphScroll_ - GET_WHEEL_DELTA_WPARAM(wParam) * 3 * kScrollLine / WHEEL_DELTA);
        return 0;
    case kServiceReportMessage: {
        const std::unique_ptr<ServiceReport> report(reinterpret_cast<ServiceReport*>(lParam));
        serviceReported(*report);
        return 0;
    }
    case kFanSetMessage:
        if (wParam < kFans) {
            fanErrors_[wParam] = lParam ? "setting it failed" : "";
            refresh();
        }
        return 0;
    case kTrayMessage:
        if (lParam == WM_LBUTTONUP) open();
        if (lParam == WM_RBUTTONUP) showMenu();
        return 0;
    case WM_TIMER:
        if (wParam == kServiceTimer) {
            service_->look();
        } else if (wParam == kSelfCheckTimer) {
            // What the window shows of the service is part of the report.
            if (service_ && !serviceRead_) return 0;
            KillTimer(window_, kSelfCheckTimer);
            WriteSelfCheck(options_.selfCheckPath, window_, tray_->added(), tray_->tip());
        }
        return 0;
    case WM_CLOSE: hide(); return 0;
    case WM_DESTROY:
        KillTimer(window_, kServiceTimer);
        service_.reset();
        tray_.reset();
        PostQuitMessage(0);
        return 0;
    default:
        if (message == taskbarCreated_ && taskbarCreated_ != 0) {
            tray_->readd();
            refresh();
            return 0;
        }
        return DefWindowProcA(window_, message, wParam, lParam);
    }
}

} // namespace zerlomon

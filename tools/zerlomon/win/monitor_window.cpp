#include "monitor_window.h"

#include "graph_painter.h"
#include "self_check.h"
#include "service_control.h"
#include "settings.h"
#include "sources.h"
#include "tray_icon.h"

#include "loop/auto_config.h"

#include <commctrl.h>
#include <fstream>
#include <memory>
#include <sstream>

namespace zerlomon {

namespace {

const char kWindowClass[] = "ZerloMonitor";
const char kGraphClass[] = "ZerloGraphs";
constexpr unsigned kFans = 2;
constexpr int kSpanId = 100, kSourceId = 101, kGraphId = 102, kStatusId = 103;
constexpr int kFanLabelId = 110, kFanButtonId = 200; // + fan * 3 + state
constexpr int kFansGroupId = 120, kSioGroupId = 121, kSioLabelId = 122, kServiceGroupId = 123;
constexpr int kServiceLabelId = 124, kServiceButtonId = 300, kLogId = 301;
constexpr int kMenuFan = 400, kMenuAutomatic = 450, kMenuOpen = 451, kMenuExit = 452;
constexpr UINT_PTR kServiceTimer = 1, kSelfCheckTimer = 2;
constexpr double kHistorySeconds = 3600;
constexpr size_t kLogLines = 40;

class Monitor {
  public:
    Monitor(HINSTANCE instance, const MonitorOptions& options) : instance_(instance), options_(options) {}

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK GraphProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  private:
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void create();
    HWND control(const char* type, const char* text, DWORD style, int id);
    void layout();
    void place(int id, int x, int y, int w, int h) { MoveWindow(GetDlgItem(window_, id), x, y, w, h, TRUE); }
    void loadConfig(const std::string& path);
    void addSample(MonitorSample sample);
    void refresh();
    void refreshService();
    void command(int id);
    void toggleAutomatic();
    void showMenu();
    void open();
    void hide();
    void exit();
    void updatePlan();
    bool shown() const { return IsWindowVisible(window_) && !IsIconic(window_); }
    std::string automaticText() const;
    void setText(int id, const std::string& text) { SetWindowTextA(GetDlgItem(window_, id), text.c_str()); }

    HINSTANCE instance_;
    MonitorOptions options_;
    HWND window_ = nullptr;
    HFONT font_ = nullptr;
    std::unique_ptr<TrayIcon> tray_;
    std::unique_ptr<LiveSource> live_;
    std::unique_ptr<ServiceControl> service_;
    ServiceState serviceState_;
    std::string loadedConfig_;
    std::optional<zerloctl::AutoConfig> config_;
    std::vector<MonitorSample> history_;
    std::vector<LoopEventView> events_;
    std::string fanErrors_[kFans];
    std::string status_;
    double span_ = kDefaultSpan;
    FailSafeNews news_;
    UINT taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
    bool checked_ = false;

    friend int zerlomon::RunMonitor(HINSTANCE, const MonitorOptions&, int);
};

LRESULT CALLBACK Monitor::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_NCCREATE) {
        auto* self = static_cast<Monitor*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Monitor*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    return self ? self->handle(message, wParam, lParam) : DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK Monitor::GraphProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_ERASEBKGND) return 1;
    if (message != WM_PAINT) return DefWindowProcA(window, message, wParam, lParam);
    auto* self = reinterpret_cast<Monitor*>(GetWindowLongPtrA(GetParent(window), GWLP_USERDATA));
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(window, &paint);
    RECT area;
    GetClientRect(window, &area);
    // Drawn off screen first, so that a poll does not flicker the graphs.
    const HDC memory = CreateCompatibleDC(dc);
    const HBITMAP bitmap = CreateCompatibleBitmap(dc, area.right, area.bottom);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    PaintGraphs(memory, area, self->history_, self->span_, self->config_ ? &*self->config_ : nullptr, self->font_);
    BitBlt(dc, 0, 0, area.right, area.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    EndPaint(window, &paint);
    return 0;
}

HWND Monitor::control(const char* type, const char* text, DWORD style, int id)
{
    const HWND child = CreateWindowExA(0, type, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10, window_,
                                       reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)), instance_, nullptr);
    SendMessageA(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return child;
}

void Monitor::create()
{
    NONCLIENTMETRICSA metrics{};
    metrics.cbSize = sizeof metrics;
    SystemParametersInfoA(SPI_GETNONCLIENTMETRICS, sizeof metrics, &metrics, 0);
    font_ = CreateFontIndirectA(&metrics.lfMessageFont);

    const HWND spans = control("COMBOBOX", "", CBS_DROPDOWNLIST | WS_TABSTOP | WS_VSCROLL, kSpanId);
    for (double span : kSpans) {
        const LRESULT at = SendMessageA(spans, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(SpanLabel(span).c_str()));
        if (span == span_) SendMessageA(spans, CB_SETCURSEL, at, 0);
    }
    const bool replay = options_.replay.has_value();
    control("STATIC", replay ? ("replay of " + options_.replayName).c_str() : "live: \\\\.\\ZerloDev",
            SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, kSourceId);
    control(kGraphClass, "", WS_BORDER, kGraphId);
    control("BUTTON", "Fans", BS_GROUPBOX, kFansGroupId);
    static const char* const states[] = {"Off", "Low", "High"};
    for (unsigned fan = 0; fan < kFans; ++fan) {
        control("STATIC", "", SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, kFanLabelId + static_cast<int>(fan));
        for (int state = 0; state < 3; ++state) {
            const HWND button = control("BUTTON", states[state], BS_PUSHBUTTON | WS_TABSTOP,
                                        kFanButtonId + static_cast<int>(fan) * 3 + state);
            EnableWindow(button, !replay);
        }
    }
    control("BUTTON", "Super-I/O levels", BS_GROUPBOX, kSioGroupId);
    control("STATIC", "", SS_LEFT | SS_ENDELLIPSIS, kSioLabelId);
    control("BUTTON", "Automatic control (ZerloAuto)", BS_GROUPBOX, kServiceGroupId);
    control("STATIC", "", SS_LEFT | SS_ENDELLIPSIS, kServiceLabelId);
    control("BUTTON", "Start", BS_PUSHBUTTON | WS_TABSTOP | WS_DISABLED, kServiceButtonId);
    control("LISTBOX", "", WS_BORDER | WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL, kLogId);
    control("STATIC", "", SS_LEFTNOWORDWRAP | SS_ENDELLIPSIS, kStatusId);
    layout();

    tray_ = std::make_unique<TrayIcon>(window_);
    if (!options_.configPath.empty()) loadConfig(options_.configPath);
    if (replay) {
        history_ = options_.replay->samples;
        events_ = options_.replay->events;
        const HWND log = GetDlgItem(window_, kLogId);
        for (const LoopEventView& event : events_)
            SendMessageA(log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>((event.time + " " + EventText(event)).c_str()));
        setText(kServiceLabelId, events_.empty() ? "The recording holds no fan loop events."
                                                 : "The fan loop's events in the recording:");
        refresh();
        if (const auto text = news_.lookAtEvents(events_)) tray_->balloon(*text);
    } else {
        service_ = MakeServiceControl();
        refreshService();
        SetTimer(window_, kServiceTimer, 2000, nullptr);
        live_ = StartLiveSource(window_, PlanPoll(options_.interval, true), options_.sensors);
        refresh();
    }
}

void Monitor::layout()
{
    RECT client;
    GetClientRect(window_, &client);
    const int w = client.right, h = client.bottom, m = 8, right = 300, row = 24;
    const int column = w - m - right;
    place(kSpanId, m, m, 90, 200);
    place(kSourceId, m + 100, m + 4, w - 2 * m - 100, 18);
    place(kGraphId, m, m + row + 8, column - 2 * m, h - 3 * m - 2 * row - 8);
    place(kStatusId, m, h - m - 18, w - 2 * m, 18);
    int y = m + row + 8;
    const int fansHeight = 22 + static_cast<int>(kFans) * 50;
    place(kFansGroupId, column, y, right, fansHeight);
    for (unsigned fan = 0; fan < kFans; ++fan) {
        const int top = y + 20 + static_cast<int>(fan) * 50;
        place(kFanLabelId + static_cast<int>(fan), column + 10, top, right - 20, 18);
        for (int state = 0; state < 3; ++state)
            place(kFanButtonId + static_cast<int>(fan) * 3 + state, column + 10 + state * 70, top + 20, 64, 24);
    }
    y += fansHeight + m;
    place(kSioGroupId, column, y, right, 58);
    place(kSioLabelId, column + 10, y + 20, right - 20, 32);
    y += 58 + m;
    const int serviceHeight = std::max(120, h - m - 18 - m - y);
    place(kServiceGroupId, column, y, right, serviceHeight);
    place(kServiceLabelId, column + 10, y + 20, right - 20, 32);
    place(kServiceButtonId, column + 10, y + 54, 80, 24);
    place(kLogId, column + 10, y + 84, right - 20, serviceHeight - 92);
    InvalidateRect(GetDlgItem(window_, kGraphId), nullptr, FALSE);
}

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

void Monitor::refreshService()
{
    serviceState_ = service_->query();
    const std::string config = ConfigOfServiceCommand(serviceState_.command);
    if (options_.configPath.empty() && !config.empty()) loadConfig(config);
    const bool installed = serviceState_.state != "not installed";
    setText(kServiceLabelId, "ZerloAuto: " + serviceState_.state +
                                 (serviceState_.logPath.empty() ? "" : "\nlog: " + serviceState_.logPath));
    const HWND button = GetDlgItem(window_, kServiceButtonId);
    SetWindowTextA(button, serviceState_.state == "running" ? "Stop" : "Start");
    EnableWindow(button, installed);
    const HWND log = GetDlgItem(window_, kLogId);
    std::vector<std::string> lines;
    if (!serviceState_.logPath.empty()) {
        std::ifstream in(serviceState_.logPath, std::ios::binary);
        in.seekg(0, std::ios::end);
        const std::streamoff size = in.tellg();
        in.seekg(std::max<std::streamoff>(0, size - 16384));
        std::ostringstream text;
        text << in.rdbuf();
        lines = LastLines(text.str(), kLogLines);
    }
    SendMessageA(log, WM_SETREDRAW, FALSE, 0);
    SendMessageA(log, LB_RESETCONTENT, 0, 0);
    for (const std::string& line : lines)
        SendMessageA(log, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(line.c_str()));
    SendMessageA(log, LB_SETTOPINDEX, lines.empty() ? 0 : lines.size() - 1, 0);
    SendMessageA(log, WM_SETREDRAW, TRUE, 0);
    InvalidateRect(log, nullptr, TRUE);
    if (const auto text = news_.lookAtLog(lines)) tray_->balloon(*text);
}

void Monitor::toggleAutomatic()
{
    if (!service_) return;
    const std::string action = serviceState_.state == "running" ? "stop" : "start";
    ServiceResult result = action == "stop" ? service_->stop() : service_->start();
    if (result.needsAdministrator) result = RunAsAdministrator(action);
    status_ = result.message;
    refreshService();
    refresh();
}

void Monitor::command(int id)
{
    if (id >= kFanButtonId && id < kFanButtonId + static_cast<int>(kFans) * 3 && live_) {
        const unsigned fan = static_cast<unsigned>(id - kFanButtonId) / 3;
        fanErrors_[fan].clear();
        live_->setFanState(fan, static_cast<unsigned>(id - kFanButtonId) % 3);
    } else if (id >= kMenuFan && id < kMenuFan + static_cast<int>(kFans) * 3) {
        command(kFanButtonId + id - kMenuFan);
    } else if (id == kServiceButtonId || id == kMenuAutomatic) {
        toggleAutomatic();
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
    static const char* const states[] = {"off", "low", "high"};
    for (unsigned fan = 0; fan < kFans; ++fan) {
        for (unsigned state = 0; state < 3; ++state) {
            const bool current = fan < latest.fans.size() && latest.fans[fan].state == state;
            const std::string text = "Fan " + std::to_string(fan) + " " + states[state];
            AppendMenuA(menu, MF_STRING | (current ? MF_CHECKED : 0u) | (live_ ? 0u : MF_GRAYED),
                        static_cast<UINT_PTR>(kMenuFan + fan * 3 + state), text.c_str());
        }
        AppendMenuA(menu, MF_SEPARATOR, 0, nullptr);
    }
    const bool installed = service_ && serviceState_.state != "not installed";
    AppendMenuA(menu, MF_STRING | (serviceState_.state == "running" ? MF_CHECKED : 0u) | (installed ? 0u : MF_GRAYED),
                kMenuAutomatic, "Automatic control");
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
            refreshService();
        } else if (wParam == kSelfCheckTimer) {
            KillTimer(window_, kSelfCheckTimer);
            WriteSelfCheck(options_.selfCheckPath, window_, tray_->added(), tray_->tip());
        }
        return 0;
    case WM_CLOSE: hide(); return 0;
    case WM_DESTROY:
        KillTimer(window_, kServiceTimer);
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

} // namespace

int RunMonitor(HINSTANCE instance, const MonitorOptions& options, int show)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    WNDCLASSEXA type{};
    type.cbSize = sizeof type;
    type.lpfnWndProc = Monitor::WindowProc;
    type.hInstance = instance;
    type.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    type.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    type.lpszClassName = kWindowClass;
    type.hIcon = LoadIconA(instance, MAKEINTRESOURCEA(1));
    RegisterClassExA(&type);
    WNDCLASSEXA graphs{};
    graphs.cbSize = sizeof graphs;
    graphs.lpfnWndProc = Monitor::GraphProc;
    graphs.hInstance = instance;
    graphs.hCursor = LoadCursorA(nullptr, IDC_ARROW);
    graphs.lpszClassName = kGraphClass;
    RegisterClassExA(&graphs);

    Monitor monitor(instance, options);
    const Settings settings = LoadSettings();
    for (double span : kSpans) {
        if (span == settings.span) monitor.span_ = span;
    }
    const std::string title =
        "Zerlo Monitor - " + (options.replay ? "replay of " + options.replayName : std::string("\\\\.\\ZerloDev"));
    const HWND window = CreateWindowExA(0, kWindowClass, title.c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                                        CW_USEDEFAULT, 900, 640, nullptr, nullptr, instance, &monitor);
    if (!window) return 1;
    if (settings.hasPlacement) {
        WINDOWPLACEMENT placement = settings.placement;
        // Hidden to the tray last time is shown now: the owner started it.
        placement.showCmd = placement.showCmd == SW_SHOWMINIMIZED ? SW_SHOWMINNOACTIVE : SW_SHOWNORMAL;
        SetWindowPlacement(window, &placement);
    } else {
        ShowWindow(window, show);
    }
    UpdateWindow(window);
    if (!options.selfCheckPath.empty()) SetTimer(window, kSelfCheckTimer, 1500, nullptr);
    MSG message;
    while (GetMessageA(&message, nullptr, 0, 0) > 0) {
        if (IsDialogMessageA(window, &message)) continue;
        TranslateMessage(&message);
        DispatchMessageA(&message);
    }
    return 0;
}

} // namespace zerlomon

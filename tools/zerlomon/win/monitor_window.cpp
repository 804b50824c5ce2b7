#include "monitor_window.h"

#include "graph_painter.h"
#include "monitor.h"
#include "settings.h"

#include <algorithm>
#include <commctrl.h>

namespace zerlomon {

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
    auto* self = reinterpret_cast<Monitor*>(GetWindowLongPtrA(GetParent(window), GWLP_USERDATA));
    if (message == WM_ERASEBKGND) return 1;
    if (message == WM_VSCROLL) {
        SCROLLINFO info{sizeof info, SIF_ALL, 0, 0, 0, 0, 0};
        GetScrollInfo(window, SB_VERT, &info);
        const int page = static_cast<int>(info.nPage);
        switch (LOWORD(wParam)) {
        case SB_LINEUP: self->scrollGraphs(info.nPos - kScrollLine); break;
        case SB_LINEDOWN: self->scrollGraphs(info.nPos + kScrollLine); break;
        case SB_PAGEUP: self->scrollGraphs(info.nPos - page); break;
        case SB_PAGEDOWN: self->scrollGraphs(info.nPos + page); break;
        case SB_THUMBTRACK:
        case SB_THUMBPOSITION: self->scrollGraphs(info.nTrackPos); break;
        case SB_TOP: self->scrollGraphs(0); break;
        case SB_BOTTOM: self->scrollGraphs(info.nMax); break;
        default: break;
        }
        return 0;
    }
    if (message != WM_PAINT) return DefWindowProcA(window, message, wParam, lParam);
    RECT area;
    GetClientRect(window, &area);
    GraphView view{self->history_, self->span_, self->config_ ? &*self->config_ : nullptr, self->font_,
                   self->graphScroll_};
    {
        // The scroll bar is set before painting: showing or hiding it
        // narrows or widens the area painted.
        const HDC screen = GetDC(window);
        const Panel panel = MeasureGraphs(screen, area, view);
        ReleaseDC(window, screen);
        self->graphScroll_ = view.scroll = panel.scroll;
        SCROLLINFO info{sizeof info,
                        SIF_RANGE | SIF_PAGE | SIF_POS,
                        0,
                        panel.contentHeight - 1,
                        static_cast<UINT>(area.bottom),
                        panel.scroll,
                        0};
        SetScrollInfo(window, SB_VERT, &info, TRUE);
        GetClientRect(window, &area);
    }
    PAINTSTRUCT paint;
    const HDC dc = BeginPaint(window, &paint);
    // Drawn off screen first, so that a poll does not flicker the graphs.
    const HDC memory = CreateCompatibleDC(dc);
    const HBITMAP bitmap = CreateCompatibleBitmap(dc, area.right, area.bottom);
    const HGDIOBJ old = SelectObject(memory, bitmap);
    PaintGraphs(memory, area, view);
    BitBlt(dc, 0, 0, area.right, area.bottom, memory, 0, 0, SRCCOPY);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    EndPaint(window, &paint);
    return 0;
}

void Monitor::scrollGraphs(int to)
{
    // Held to the panel at the next paint, which knows its height.
    graphScroll_ = std::max(to, 0);
    InvalidateRect(GetDlgItem(window_, kGraphId), nullptr, FALSE);
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
    control(kGraphClass, "", WS_BORDER | WS_VSCROLL, kGraphId);
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
    // Wide, for the ellipsis of "starting..." in any code page; lines of
    // its own for the log's place and a configuration's problem.
    const HWND label =
        CreateWindowExW(0, L"STATIC", L"", WS_CHILD | WS_VISIBLE | SS_LEFT, 0, 0, 10, 10, window_,
                        reinterpret_cast<HMENU>(static_cast<INT_PTR>(kServiceLabelId)), instance_, nullptr);
    SendMessageA(label, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    for (size_t slot = 0; slot < FanControlChoices().size(); ++slot) {
        std::string text = FanControlChoices()[slot];
        text[0] = static_cast<char>(text[0] - 'a' + 'A');
        // Checked by the state read back, not by the click.
        control("BUTTON", text.c_str(), BS_RADIOBUTTON | WS_DISABLED | (slot == 0 ? WS_GROUP | WS_TABSTOP : 0),
                kFanControlId + static_cast<int>(slot));
    }
    ShowWindow(GetDlgItem(window_, kFanControlId + static_cast<int>(FanControlChoices().size()) - 2), SW_HIDE);
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
        service_ = std::make_unique<ServiceWorker>(window_);
        // The label and the choices wait for the first look.
        service_->look();
        SetTimer(window_, kServiceTimer, 2000, nullptr);
        live_ = StartLiveSource(window_, PlanPoll(options_.interval, true),
                                SensorsToRead(options_.sensors, config_ ? &*config_ : nullptr));
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
    place(kServiceLabelId, column + 10, y + 18, right - 20, 40);
    // Quiet, Balanced, Cool, Custom, Off: each as wide as its word, the
    // ones shown side by side.
    static const int widths[] = {54, 68, 48, 62, 40};
    int x = column + 10;
    for (size_t slot = 0; slot < FanControlChoices().size() && slot < std::size(widths); ++slot) {
        const int id = kFanControlId + static_cast<int>(slot);
        place(id, x, y + 60, widths[slot], 20);
        const HWND button = GetDlgItem(window_, id);
        // A move copies the pixels it had, which may be a button that was
        // shown over it (a hidden one shares the next one's place).
        InvalidateRect(button, nullptr, TRUE);
        if (GetWindowLongA(button, GWL_STYLE) & WS_VISIBLE) x += widths[slot] + 2;
    }
    place(kLogId, column + 10, y + 86, right - 20, serviceHeight - 94);
    InvalidateRect(GetDlgItem(window_, kGraphId), nullptr, FALSE);
}

int RunMonitor(HINSTANCE instance, const MonitorOptions& options, int show)
{
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES | ICC_WIN95_CLASSES};
    InitCommonControlsEx(&controls);
    const auto registerClass = [instance](WNDPROC procedure, const char* name, HBRUSH background, HICON icon) {
        WNDCLASSEXA type{};
        type.cbSize = sizeof type;
        type.lpfnWndProc = procedure;
        type.hInstance = instance;
        type.hCursor = LoadCursorA(nullptr, IDC_ARROW);
        type.hbrBackground = background;
        type.lpszClassName = name;
        type.hIcon = icon;
        RegisterClassExA(&type);
    };
    registerClass(Monitor::WindowProc, kWindowClass, reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1),
                  LoadIconA(instance, MAKEINTRESOURCEA(1)));
    // The graphs have no class background: their painter fills them.
    registerClass(Monitor::GraphProc, kGraphClass, nullptr, nullptr);

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

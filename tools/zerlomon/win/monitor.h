// What the monitor's window does: polls the driver or a recording, keeps
// the history the graphs draw, and answers the buttons, the tray menu and
// the service's state. The window and its controls are built in
// monitor_window.cpp.
#pragma once

#include "fan_control_menu.h"
#include "graph.h"
#include "monitor_window.h"
#include "service_worker.h"
#include "sources.h"
#include "tray_icon.h"

#include "loop/auto_config.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace zerlomon {

inline constexpr char kWindowClass[] = "ZerloMonitor";
inline constexpr char kGraphClass[] = "ZerloGraphs";
constexpr unsigned kFans = 2;
constexpr int kSpanId = 100, kSourceId = 101, kGraphId = 102, kStatusId = 103;
constexpr int kFanLabelId = 110, kFanButtonId = 200; // + fan * 3 + state
constexpr int kFansGroupId = 120, kSioGroupId = 121, kSioLabelId = 122, kServiceGroupId = 123;
constexpr int kServiceLabelId = 124, kLogId = 301;
constexpr int kFanControlId = 310; // + the choice's place in FanControlChoices()
constexpr int kMenuFan = 400, kMenuOpen = 451, kMenuExit = 452, kMenuFanControl = 460;
constexpr UINT_PTR kServiceTimer = 1, kSelfCheckTimer = 2;
constexpr double kHistorySeconds = 3600;
constexpr int kScrollLine = 24; // pixels of the graphs' panel
constexpr size_t kLogLines = 40;

// The fan control's choices in the order of the window's buttons and the
// menu's ids: the presets, "custom" and "off".
const std::vector<std::string>& FanControlChoices();

class Monitor {
  public:
    Monitor(HINSTANCE instance, const MonitorOptions& options) : instance_(instance), options_(options)
    {
        serviceState_.state = "unknown"; // until the first look
    }

    static LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    static LRESULT CALLBACK GraphProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

  private:
    LRESULT handle(UINT message, WPARAM wParam, LPARAM lParam);
    void create();
    HWND control(const char* type, const char* text, DWORD style, int id);
    void layout();
    void scrollGraphs(int to);
    void place(int id, int x, int y, int w, int h) { MoveWindow(GetDlgItem(window_, id), x, y, w, h, TRUE); }
    void loadConfig(const std::string& path);
    void addSample(MonitorSample sample);
    void refresh();
    void showService();
    void serviceReported(const ServiceReport& report);
    void command(int id);
    void choose(const std::string& choice);
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
    std::unique_ptr<ServiceWorker> service_;
    ServiceState serviceState_;
    InstalledConfig installed_;
    std::string pending_;      // the action under way
    std::string shownService_; // the label and the choice checked, for the self-check
    bool serviceRead_ = false;
    std::string loadedConfig_;
    std::optional<zerloctl::AutoConfig> config_;
    std::vector<MonitorSample> history_;
    std::vector<LoopEventView> events_;
    std::string fanErrors_[kFans];
    std::string status_;
    double span_ = kDefaultSpan;
    int graphScroll_ = 0;
    FailSafeNews news_;
    UINT taskbarCreated_ = RegisterWindowMessageA("TaskbarCreated");
    bool checked_ = false;

    friend int zerlomon::RunMonitor(HINSTANCE, const MonitorOptions&, int);
};

} // namespace zerlomon

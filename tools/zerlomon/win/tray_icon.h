// The notification-area icon: drawn from the view model's face, with its
// tooltip and the balloon of a fail-safe.
#pragma once

#include "tray_face.h"

#include <string>
#include <windows.h>

namespace zerlomon {

constexpr UINT kTrayMessage = WM_APP + 3;

class TrayIcon {
  public:
    explicit TrayIcon(HWND window);
    ~TrayIcon();
    TrayIcon(const TrayIcon&) = delete;
    TrayIcon& operator=(const TrayIcon&) = delete;

    void show(const IconFace& face, const std::string& tip);
    void balloon(const std::string& text);
    // After Explorer restarts the icon must be added again.
    void readd();

    bool added() const { return added_; }
    const std::string& tip() const { return tip_; }

  private:
    HWND window_;
    HICON icon_ = nullptr;
    bool added_ = false;
    std::string tip_;
};

HICON MakeIcon(const IconFace& face);

} // namespace zerlomon

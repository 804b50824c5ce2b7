// Where the window was and which span it showed, per user, in the registry
// (HKCU\Software\Zerlo\Monitor).
#pragma once

#include <windows.h>

namespace zerlomon {

struct Settings {
    bool hasPlacement = false;
    WINDOWPLACEMENT placement{};
    double span = 0; // 0: not saved
};

Settings LoadSettings();
void SavePlacement(HWND window);
void SaveSpan(double seconds);

} // namespace zerlomon

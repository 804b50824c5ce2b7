// What the window shows, as Win32 reports it: every control with its class,
// text and place on the screen, the tray icon's tooltip and whether the
// notification area exists. The Wine test reads it instead of a person.
#pragma once

#include <string>
#include <windows.h>

namespace zerlomon {

void WriteSelfCheck(const std::string& path, HWND window, bool trayAdded, const std::string& tip);

} // namespace zerlomon

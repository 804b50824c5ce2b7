// What the window shows, as Win32 reports it: every control with its class,
// text and place on the screen, the tray icon's tooltip and whether the
// notification area exists, in UTF-8. The Wine test reads it instead of a
// person.
#pragma once

#include <string>
#include <windows.h>

namespace zerlomon {

void WriteSelfCheck(const std::string& path, HWND window, bool trayAdded, const std::string& tip);

// Each state of a panel in turn, one line each: a state shown only while
// an action runs is gone before a report could be asked for.
void AppendSelfCheckLine(const std::string& path, const std::string& text);

} // namespace zerlomon

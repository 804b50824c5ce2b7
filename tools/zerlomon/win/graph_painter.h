// Draws the view model's sensor graphs with GDI.
#pragma once

#include "graph.h"

#include <vector>
#include <windows.h>

namespace zerlomon {

// The readings' line; the Wine test looks for it in the screenshot.
constexpr COLORREF kGraphColour = RGB(0, 90, 200);

void PaintGraphs(HDC dc, const RECT& area, const std::vector<MonitorSample>& samples, double span,
                 const zerloctl::AutoConfig* config, HFONT font);

} // namespace zerlomon

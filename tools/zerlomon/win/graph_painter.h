// Draws the view model's sensor graphs with GDI.
#pragma once

#include "graph.h"

#include <vector>
#include <windows.h>

namespace zerlomon {

// The readings' line and the marks of failed readings; the Wine test looks
// for both in the screenshot.
constexpr COLORREF kGraphColour = RGB(0, 90, 200);
constexpr COLORREF kGapColour = RGB(220, 0, 0);
constexpr COLORREF kClockColour = RGB(110, 110, 110); // a wall-clock jump

struct GraphView {
    const std::vector<MonitorSample>& samples;
    double span = 0;
    const zerloctl::AutoConfig* config = nullptr; // no thresholds without one
    HFONT font = nullptr;
    int scroll = 0; // pixels of the panel above its top edge
};

// The panel as it is laid out in `area` (the window sets its scroll bar
// from it), and the panel drawn.
Panel MeasureGraphs(HDC dc, const RECT& area, const GraphView& view);
void PaintGraphs(HDC dc, const RECT& area, const GraphView& view);

} // namespace zerlomon

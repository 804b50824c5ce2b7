#include "graph_painter.h"

#include <algorithm>

namespace zerlomon {

namespace {

// The model's texts are UTF-8; the ANSI functions would draw the degree
// sign as two characters of the code page.
std::wstring Wide(const std::string& text)
{
    std::wstring wide(text.size(), L'\0');
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(),
                                           static_cast<int>(wide.size()));
    wide.resize(static_cast<size_t>(std::max(length, 0)));
    return wide;
}

void Text(HDC dc, int x, int y, const std::string& text, UINT align, COLORREF colour)
{
    const std::wstring wide = Wide(text);
    SetTextAlign(dc, align);
    SetTextColor(dc, colour);
    TextOutW(dc, x, y, wide.c_str(), static_cast<int>(wide.size()));
}

void Line(HDC dc, int x0, int y0, int x1, int y1)
{
    MoveToEx(dc, x0, y0, nullptr);
    LineTo(dc, x1, y1);
}

class Pen {
  public:
    Pen(HDC dc, int style, int width, COLORREF colour)
        : dc_(dc), pen_(CreatePen(style, width, colour)), old_(SelectObject(dc, pen_))
    {
    }
    ~Pen()
    {
        SelectObject(dc_, old_);
        DeleteObject(pen_);
    }
    Pen(const Pen&) = delete;
    Pen& operator=(const Pen&) = delete;

  private:
    HDC dc_;
    HPEN pen_;
    HGDIOBJ old_;
};

struct ThresholdStyle {
    int pen;
    COLORREF colour;
};
ThresholdStyle StyleOf(Threshold::Kind kind)
{
    switch (kind) {
    case Threshold::kUp: return {PS_DASH, RGB(200, 60, 40)};
    case Threshold::kDown: return {PS_DOT, RGB(60, 130, 60)};
    case Threshold::kCritical: break;
    }
    return {PS_SOLID, RGB(150, 0, 90)};
}

// What the layout needs of the font and the configuration.
struct Measured {
    Panel panel;
    int lineHeight = 0;
    std::vector<std::vector<Threshold>> thresholds; // per graph
};

Measured Measure(HDC dc, const RECT& area, const GraphView& view)
{
    Measured measured;
    TEXTMETRICW metrics;
    GetTextMetricsW(dc, &metrics);
    measured.lineHeight = metrics.tmHeight;
    PanelSize size{area.right - area.left, area.bottom - area.top, measured.lineHeight, 0};
    size_t most = 0;
    const unsigned graphs = GraphCount(view.samples);
    for (unsigned sensor = 0; sensor < graphs; ++sensor) {
        measured.thresholds.push_back(view.config ? SensorThresholds(*view.config, sensor) : std::vector<Threshold>{});
        most = std::max(most, measured.thresholds.back().size());
        for (const Threshold& threshold : measured.thresholds.back()) {
            const std::wstring wide = Wide(threshold.label);
            SIZE extent{};
            GetTextExtentPoint32W(dc, wide.c_str(), static_cast<int>(wide.size()), &extent);
            size.labelWidth = std::max(size.labelWidth, static_cast<int>(extent.cx));
        }
    }
    measured.panel = LayoutPanel(size, graphs, most, view.scroll);
    return measured;
}

void PaintOne(HDC dc, const SensorGraph& graph, const GraphPlace& place, int lineHeight)
{
    const Rect& plot = place.plot;
    Text(dc, place.box.left + 6, place.box.top + 2, graph.title, TA_LEFT | TA_TOP, RGB(0, 0, 0));
    {
        Pen grid(dc, PS_SOLID, 1, RGB(225, 225, 225));
        for (const Label& label : graph.yLabels)
            Line(dc, plot.left, label.y, plot.right, label.y);
    }
    for (const Label& label : graph.yLabels)
        Text(dc, label.x, label.y - lineHeight / 2, label.text, TA_RIGHT | TA_TOP, RGB(80, 80, 80));
    for (const Label& label : graph.xLabels)
        Text(dc, label.x, label.y, label.text, TA_CENTER | TA_TOP, RGB(80, 80, 80));
    // A gap is hatched over the plot's height and underlined, so that it
    // reads as "no reading here", not as a drop to the floor.
    if (!graph.gaps.empty()) {
        const HBRUSH hatch = CreateHatchBrush(HS_BDIAGONAL, kGapColour), solid = CreateSolidBrush(kGapColour);
        for (const Gap& gap : graph.gaps) {
            const RECT band{gap.left - 2, plot.top + 1, gap.right + 3, plot.bottom};
            FillRect(dc, &band, hatch);
            const RECT mark{gap.left - 2, plot.bottom - 3, gap.right + 3, plot.bottom};
            FillRect(dc, &mark, solid);
        }
        DeleteObject(hatch);
        DeleteObject(solid);
    }
    // A wall-clock jump: a dotted line down the plot with the jump written
    // at its top, so that the stamps either side of it make sense.
    for (const ClockMark& mark : graph.clockMarks) {
        {
            Pen pen(dc, PS_DOT, 1, kClockColour);
            Line(dc, mark.x, plot.top + 1, mark.x, plot.bottom);
        }
        // Written on the side with room: past the plot it would meet the
        // threshold labels.
        const bool left = mark.x > (plot.left + plot.right) / 2;
        Text(dc, left ? mark.x - 3 : mark.x + 3, plot.top + 1, mark.text, (left ? TA_RIGHT : TA_LEFT) | TA_TOP,
             kClockColour);
    }
    for (const ThresholdLine& line : graph.thresholds) {
        const ThresholdStyle style = StyleOf(line.threshold.kind);
        {
            Pen pen(dc, style.pen, 1, style.colour);
            Line(dc, plot.left, line.y, plot.right, line.y);
        }
        Pen leader(dc, PS_SOLID, 1, style.colour);
        Line(dc, plot.right, line.y, line.label.x - 3, line.label.y);
        Text(dc, line.label.x, line.label.y - lineHeight / 2, line.label.text, TA_LEFT | TA_TOP, style.colour);
    }
    {
        Pen frame(dc, PS_SOLID, 1, RGB(160, 160, 160));
        const HGDIOBJ old = SelectObject(dc, GetStockObject(NULL_BRUSH));
        Rectangle(dc, plot.left, plot.top, plot.right + 1, plot.bottom + 1);
        SelectObject(dc, old);
    }
    Pen pen(dc, PS_SOLID, 2, kGraphColour);
    for (const std::vector<Point>& run : graph.runs) {
        if (run.size() == 1) {
            Line(dc, run[0].x - 1, run[0].y, run[0].x + 1, run[0].y);
            continue;
        }
        MoveToEx(dc, run[0].x, run[0].y, nullptr);
        for (size_t i = 1; i < run.size(); ++i)
            LineTo(dc, run[i].x, run[i].y);
    }
}

} // namespace

Panel MeasureGraphs(HDC dc, const RECT& area, const GraphView& view)
{
    const HGDIOBJ oldFont = SelectObject(dc, view.font);
    Panel panel = Measure(dc, area, view).panel;
    SelectObject(dc, oldFont);
    return panel;
}

void PaintGraphs(HDC dc, const RECT& area, const GraphView& view)
{
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    const HGDIOBJ oldFont = SelectObject(dc, view.font);
    SetBkMode(dc, TRANSPARENT);
    const Measured measured = Measure(dc, area, view);
    for (unsigned sensor = 0; sensor < measured.panel.graphs.size(); ++sensor) {
        const GraphPlace& place = measured.panel.graphs[sensor];
        if (place.box.bottom <= 0 || place.box.top >= area.bottom - area.top) continue;
        PaintOne(dc,
                 LayoutGraph(view.samples, sensor, view.span, measured.thresholds[sensor], place, measured.lineHeight),
                 place, measured.lineHeight);
    }
    SelectObject(dc, oldFont);
}

} // namespace zerlomon

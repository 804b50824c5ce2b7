#include "graph_painter.h"

namespace zerlomon {

namespace {

void Text(HDC dc, int x, int y, const std::string& text, UINT align, COLORREF colour)
{
    SetTextAlign(dc, align);
    SetTextColor(dc, colour);
    TextOutA(dc, x, y, text.c_str(), static_cast<int>(text.size()));
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

void PaintOne(HDC dc, const SensorGraph& graph, const RECT& box, const Rect& plot, int lineHeight)
{
    Text(dc, box.left + 6, box.top + 2, graph.title, TA_LEFT | TA_TOP, RGB(0, 0, 0));
    Text(dc, box.right - 8, box.top + 2, "fan loop: up - - -  down . . .", TA_RIGHT | TA_TOP, RGB(96, 96, 96));
    {
        Pen grid(dc, PS_SOLID, 1, RGB(225, 225, 225));
        for (const Label& label : graph.yLabels)
            Line(dc, plot.left, label.y, plot.right, label.y);
    }
    for (const Label& label : graph.yLabels)
        Text(dc, label.x, label.y - lineHeight / 2, label.text, TA_RIGHT | TA_TOP, RGB(80, 80, 80));
    for (const Label& label : graph.xLabels)
        Text(dc, label.x, label.y, label.text, TA_CENTER | TA_TOP, RGB(80, 80, 80));
    for (const ThresholdLine& line : graph.thresholds) {
        Pen pen(dc, line.threshold.up ? PS_DASH : PS_DOT, 1, line.threshold.up ? RGB(200, 60, 40) : RGB(60, 130, 60));
        Line(dc, plot.left, line.y, plot.right, line.y);
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

void PaintGraphs(HDC dc, const RECT& area, const std::vector<MonitorSample>& samples, double span,
                 const zerloctl::AutoConfig* config, HFONT font)
{
    FillRect(dc, &area, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    const HGDIOBJ oldFont = SelectObject(dc, font);
    SetBkMode(dc, TRANSPARENT);
    TEXTMETRICA metrics;
    GetTextMetricsA(dc, &metrics);
    const int lineHeight = metrics.tmHeight;
    size_t sensors = 0;
    for (const MonitorSample& sample : samples)
        sensors = std::max(sensors, sample.sensors.size());
    sensors = std::max<size_t>(sensors, 1);
    const int height = (area.bottom - area.top) / static_cast<int>(sensors);
    for (size_t sensor = 0; sensor < sensors; ++sensor) {
        const RECT box{area.left, area.top + static_cast<int>(sensor) * height, area.right,
                       area.top + static_cast<int>(sensor + 1) * height};
        const Rect plot{box.left + 36, box.top + lineHeight + 6, box.right - 16, box.bottom - lineHeight - 6};
        if (plot.bottom - plot.top < 10) continue;
        const std::vector<Threshold> thresholds =
            config ? SensorThresholds(*config, static_cast<unsigned>(sensor)) : std::vector<Threshold>{};
        PaintOne(dc, LayoutGraph(samples, static_cast<unsigned>(sensor), span, thresholds, plot), box, plot,
                 lineHeight);
    }
    SelectObject(dc, oldFont);
}

} // namespace zerlomon

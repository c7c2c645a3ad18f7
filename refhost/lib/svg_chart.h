#pragma once

#include <string>
#include <vector>

// Line charts as SVG pictures: the reference host draws its plots and the
// recorded trends with them.
namespace refhost {

// One line of a chart: (x[k], y[k]) for k below the shorter of the two.
// Points with a coordinate that is not finite or is the host's empty marker
// are left out.
struct ChartSeries {
    std::string name;
    std::vector<double> x, y;
};

// One chart: a title, axis labels (units included) and its lines.
struct LineChart {
    std::string title;
    std::string x_label;
    std::string y_label;
    std::vector<ChartSeries> series;
};

// The charts, one panel below the other, as a standalone SVG document with a
// viewBox, axes with numbered ticks, one polyline per series, and a legend
// when a panel has more than one series. Texts are escaped for XML.
std::string RenderSvg(const std::vector<LineChart>& panels, const std::string& heading = "");

// Writes RenderSvg(panels) to `path`, replacing what is there (a link at the
// path is replaced, not followed). Throws zefa::Error when it cannot.
void WriteSvg(const std::string& path, const std::vector<LineChart>& panels,
              const std::string& heading = "");

// `text` with &, <, >, " and ' escaped and control characters that XML does
// not allow replaced by '?'.
std::string EscapeXml(const std::string& text);

}  // namespace refhost

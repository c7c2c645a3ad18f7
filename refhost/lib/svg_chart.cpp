// Line charts drawn as SVG: axes with round ticks, one or more panels, and
// escaping of the texts they show.
#include "lib/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "host/variables.h"
#include "platform/safe_file.h"
#include "platform/text.h"

namespace refhost {

namespace {

// Panel geometry, in SVG user units. The legend has a column of its own to
// the right of the plot area, so it never covers a line or gets clipped.
constexpr double kWidth = 1000;
constexpr double kHeight = 420;
constexpr double kLeft = 90;  // room for the ordinate's numbers and label
constexpr double kLegendWidth = 300;
constexpr double kRight = kLegendWidth + 20;
constexpr double kTop = 50;     // room for the title
constexpr double kBottom = 70;  // room for the abscissa's numbers and label
constexpr double kLegendRow = 16;
constexpr double kHeadingHeight = 40;
constexpr std::size_t kLegendChars = 44;
constexpr int kWantedTicks = 6;

// Ten colours, then the same colours dashed: forty series stay apart.
const char* const kColours[] = {"#1f77b4", "#d62728", "#2ca02c", "#ff7f0e", "#9467bd",
                                "#8c564b", "#e377c2", "#7f7f7f", "#bcbd22", "#17becf"};
const char* const kDashes[] = {"", "7,3", "2,2", "9,3,2,3"};

std::string SeriesStyle(std::size_t i) {
    std::string style = std::string("stroke=\"") + kColours[i % std::size(kColours)] + "\"";
    const char* dash = kDashes[(i / std::size(kColours)) % std::size(kDashes)];
    if (*dash != '\0') style += std::string(" stroke-dasharray=\"") + dash + "\"";
    return style;
}

// The height of a panel: room for its legend, at least kHeight.
double PanelHeight(const LineChart& chart) {
    return std::max(kHeight,
                    kTop + 10 + kLegendRow * static_cast<double>(chart.series.size()) + kBottom);
}

bool Usable(double v) {
    return std::isfinite(v) && !host::IsEmptyNumber(v);
}

// A coordinate as SVG text: two decimals are finer than a screen pixel.
std::string Coord(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.2f", v);
    return text;
}

struct Range {
    double low = std::numeric_limits<double>::infinity();
    double high = -std::numeric_limits<double>::infinity();
    void Add(double v) {
        low = std::min(low, v);
        high = std::max(high, v);
    }
    bool Empty() const { return low > high; }
};

// A step of 1, 2 or 5 times a power of ten that cuts the span into about
// kWantedTicks parts.
double NiceStep(double span) {
    const double rough = span / kWantedTicks;
    const double power = std::pow(10.0, std::floor(std::log10(rough)));
    const double fraction = rough / power;
    const double nice = fraction < 1.5 ? 1 : fraction < 3.5 ? 2 : fraction < 7.5 ? 5 : 10;
    return nice * power;
}

// The axis range widened to whole ticks; a single value or no value still
// gives a range of its own.
struct Axis {
    double low = 0, high = 1, step = 0.2;
};

Axis MakeAxis(Range r) {
    if (r.Empty()) r = Range{0.0, 1.0};
    if (r.low == r.high) {
        const double pad = r.low == 0 ? 1.0 : std::abs(r.low) * 0.1;
        r.low -= pad;
        r.high += pad;
    }
    Axis a;
    a.step = NiceStep(r.high - r.low);
    a.low = std::floor(r.low / a.step) * a.step;
    a.high = std::ceil(r.high / a.step) * a.step;
    if (!std::isfinite(a.step) || a.step <= 0 || a.high <= a.low) {
        // Spans too wide or too narrow for doubles: draw the range as it is.
        a.low = r.low;
        a.high = r.high;
        a.step = (r.high - r.low) / kWantedTicks;
    }
    return a;
}

// A tick's number: the tick snapped to the step's precision, up to 15 digits.
std::string TickText(double value, double step) {
    if (std::abs(value) < step * 1e-9) value = 0.0;
    return zefa::FormatDouble(std::round(value / step) * step);
}

void Text(std::string& out, double x, double y, const std::string& cls, const std::string& text,
          const std::string& extra = "") {
    out += "<text class=\"" + cls + "\" x=\"" + Coord(x) + "\" y=\"" + Coord(y) + "\"" + extra +
           ">" + EscapeXml(text) + "</text>\n";
}

void Line(std::string& out, double x1, double y1, double x2, double y2, const char* style) {
    out += "<line x1=\"" + Coord(x1) + "\" y1=\"" + Coord(y1) + "\" x2=\"" + Coord(x2) +
           "\" y2=\"" + Coord(y2) + "\" " + style + "/>\n";
}

void RenderPanel(std::string& out, const LineChart& chart, double top) {
    const double height = PanelHeight(chart);
    Range xr, yr;
    for (const auto& s : chart.series) {
        const std::size_t n = std::min(s.x.size(), s.y.size());
        for (std::size_t k = 0; k < n; ++k) {
            if (!Usable(s.x[k]) || !Usable(s.y[k])) continue;
            xr.Add(s.x[k]);
            yr.Add(s.y[k]);
        }
    }
    const Axis xa = MakeAxis(xr), ya = MakeAxis(yr);
    const double left = kLeft, right = kWidth - kRight;
    const double upper = top + kTop, lower = top + height - kBottom;
    auto px = [&](double x) { return left + (x - xa.low) / (xa.high - xa.low) * (right - left); };
    auto py = [&](double y) { return lower - (y - ya.low) / (ya.high - ya.low) * (lower - upper); };

    out += "<g class=\"panel\">\n";
    Text(out, (kLeft + kWidth - kRight) / 2, top + 30, "title", chart.title,
         " text-anchor=\"middle\" font-size=\"16\" font-weight=\"bold\"");
    out += "<rect class=\"plot-area\" x=\"" + Coord(left) + "\" y=\"" + Coord(upper) +
           "\" width=\"" + Coord(right - left) + "\" height=\"" + Coord(lower - upper) +
           "\" fill=\"none\" stroke=\"#999\"/>\n";
    // Ticks, grid lines and numbers. The count is bounded even when rounding
    // makes the step tiny against the range.
    for (int k = 0; k <= 4 * kWantedTicks; ++k) {
        const double x = xa.low + k * xa.step;
        if (x > xa.high + xa.step * 1e-9) break;
        const double p = px(x);
        Line(out, p, upper, p, lower, "stroke=\"#e5e5e5\"");
        Line(out, p, lower, p, lower + 5, "stroke=\"black\"");
        Text(out, p, lower + 20, "x-tick", TickText(x, xa.step), " text-anchor=\"middle\"");
    }
    for (int k = 0; k <= 4 * kWantedTicks; ++k) {
        const double y = ya.low + k * ya.step;
        if (y > ya.high + ya.step * 1e-9) break;
        const double p = py(y);
        Line(out, left, p, right, p, "stroke=\"#e5e5e5\"");
        Line(out, left - 5, p, left, p, "stroke=\"black\"");
        Text(out, left - 8, p + 4, "y-tick", TickText(y, ya.step), " text-anchor=\"end\"");
    }
    Line(out, left, lower, right, lower, "class=\"x-axis\" stroke=\"black\"");
    Line(out, left, upper, left, lower, "class=\"y-axis\" stroke=\"black\"");
    Text(out, (left + right) / 2, lower + 45, "x-label", chart.x_label, " text-anchor=\"middle\"");
    const double ly = (upper + lower) / 2;
    Text(out, 20, ly, "y-label", chart.y_label,
         " text-anchor=\"middle\" transform=\"rotate(-90 20 " + Coord(ly) + ")\"");

    std::size_t index = 0;
    double legend_y = upper + 10;
    for (const auto& s : chart.series) {
        const std::string style = SeriesStyle(index++);
        std::string points;
        const std::size_t n = std::min(s.x.size(), s.y.size());
        for (std::size_t k = 0; k < n; ++k) {
            if (!Usable(s.x[k]) || !Usable(s.y[k])) continue;
            if (!points.empty()) points += ' ';
            points += Coord(px(s.x[k])) + "," + Coord(py(s.y[k]));
        }
        if (!points.empty())
            out += "<polyline class=\"series\" fill=\"none\" " + style +
                   " stroke-width=\"1.5\" points=\"" + points + "\"><title>" + EscapeXml(s.name) +
                   "</title></polyline>\n";
        // Every line in the legend, a long name shortened (in full as its title).
        const double lx = right + 14;
        Line(out, lx, legend_y - 4, lx + 26, legend_y - 4, (style + " stroke-width=\"2\"").c_str());
        std::string name = s.name;
        if (name.size() > kLegendChars) name = name.substr(0, kLegendChars - 3) + "...";
        if (points.empty()) name += " (no data)";
        Text(out, lx + 32, legend_y, "legend", name);
        legend_y += kLegendRow;
    }
    if (xr.Empty())
        Text(out, (left + right) / 2, (upper + lower) / 2, "no-data", "No data",
             " text-anchor=\"middle\"");
    out += "</g>\n";
}

}  // namespace

std::string EscapeXml(const std::string& text) {
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&apos;";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r')
                    out += '?';
                else
                    out += c;
        }
    }
    return out;
}

std::string RenderSvg(const std::vector<LineChart>& panels, const std::string& heading) {
    const double head = heading.empty() ? 0.0 : kHeadingHeight;
    double height = head;
    for (const auto& p : panels) height += PanelHeight(p);
    if (panels.empty()) height += kHeight;
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Coord(kWidth) + "\" height=\"" +
           Coord(height) + "\" viewBox=\"0 0 " + Coord(kWidth) + " " + Coord(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    if (!heading.empty())
        Text(out, kWidth / 2, 26, "heading", heading,
             " text-anchor=\"middle\" font-size=\"18\" font-weight=\"bold\"");
    double top = head;
    for (const auto& p : panels) {
        RenderPanel(out, p, top);
        top += PanelHeight(p);
    }
    out += "</svg>\n";
    return out;
}

void WriteSvg(const std::string& path, const std::vector<LineChart>& panels,
              const std::string& heading) {
    zefa::WriteFileReplacing(path, RenderSvg(panels, heading));
}

}  // namespace refhost

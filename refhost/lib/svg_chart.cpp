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

// Panel geometry, in SVG user units.
constexpr double kWidth = 720;
constexpr double kHeight = 420;
constexpr double kLeft = 90;  // room for the ordinate's numbers and label
constexpr double kRight = 30;
constexpr double kTop = 50;     // room for the title
constexpr double kBottom = 70;  // room for the abscissa's numbers and label
constexpr int kWantedTicks = 6;

const char* const kColours[] = {"#d62728", "#1f77b4", "#2ca02c", "#ff7f0e", "#9467bd", "#8c564b"};

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
    const double upper = top + kTop, lower = top + kHeight - kBottom;
    auto px = [&](double x) { return left + (x - xa.low) / (xa.high - xa.low) * (right - left); };
    auto py = [&](double y) { return lower - (y - ya.low) / (ya.high - ya.low) * (lower - upper); };

    out += "<g class=\"panel\">\n";
    Text(out, kWidth / 2, top + 30, "title", chart.title,
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

    std::size_t colour = 0;
    for (const auto& s : chart.series) {
        const char* stroke = kColours[colour++ % std::size(kColours)];
        std::string points;
        const std::size_t n = std::min(s.x.size(), s.y.size());
        for (std::size_t k = 0; k < n; ++k) {
            if (!Usable(s.x[k]) || !Usable(s.y[k])) continue;
            if (!points.empty()) points += ' ';
            points += Coord(px(s.x[k])) + "," + Coord(py(s.y[k]));
        }
        if (points.empty()) continue;
        out += "<polyline class=\"series\" fill=\"none\" stroke=\"" + std::string(stroke) +
               "\" stroke-width=\"1.5\" points=\"" + points + "\"><title>" + EscapeXml(s.name) +
               "</title></polyline>\n";
    }
    if (chart.series.size() > 1) {
        double y = upper + 15;
        colour = 0;
        for (const auto& s : chart.series) {
            const char* stroke = kColours[colour++ % std::size(kColours)];
            Line(out, right - 150, y - 4, right - 130, y - 4,
                 (std::string("stroke=\"") + stroke + "\" stroke-width=\"2\"").c_str());
            Text(out, right - 125, y, "legend", s.name);
            y += 16;
        }
    }
    if (xr.Empty())
        Text(out, kWidth / 2, (upper + lower) / 2, "no-data", "No data", " text-anchor=\"middle\"");
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

std::string RenderSvg(const std::vector<LineChart>& panels) {
    const std::size_t count = std::max<std::size_t>(panels.size(), 1);
    const double height = kHeight * static_cast<double>(count);
    std::string out = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n";
    out += "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + Coord(kWidth) + "\" height=\"" +
           Coord(height) + "\" viewBox=\"0 0 " + Coord(kWidth) + " " + Coord(height) +
           "\" font-family=\"sans-serif\" font-size=\"12\">\n";
    out += "<rect width=\"100%\" height=\"100%\" fill=\"white\"/>\n";
    for (std::size_t i = 0; i < panels.size(); ++i)
        RenderPanel(out, panels[i], kHeight * static_cast<double>(i));
    out += "</svg>\n";
    return out;
}

void WriteSvg(const std::string& path, const std::vector<LineChart>& panels) {
    zefa::WriteFileReplacing(path, RenderSvg(panels));
}

}  // namespace refhost

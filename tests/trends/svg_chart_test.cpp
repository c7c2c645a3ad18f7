// The SVG line charts of the reference host, read back as a viewer would.
#include "lib/svg_chart.h"

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <regex>
#include <sstream>

#include "host_world.h"

namespace zefa::test {
namespace {

using refhost::LineChart;
using refhost::RenderSvg;

// True when every tag is closed in order, attribute values are quoted, and
// every '&' starts one of the five entities: enough of XML to catch a
// broken element or an unescaped text.
bool WellFormed(const std::string& xml) {
    std::vector<std::string> open;
    std::size_t i = 0;
    while (i < xml.size()) {
        if (xml[i] == '&') {
            const std::regex entity("^&(amp|lt|gt|quot|apos);");
            if (!std::regex_search(xml.substr(i, 6), entity)) return false;
        }
        if (xml[i] == '>') return false;  // a '>' outside a tag
        if (xml[i] != '<') {
            ++i;
            continue;
        }
        const std::size_t end = xml.find('>', i);
        if (end == std::string::npos) return false;
        std::string tag = xml.substr(i + 1, end - i - 1);
        if (std::count(tag.begin(), tag.end(), '"') % 2 != 0) return false;
        if (tag.find('<') != std::string::npos) return false;
        i = end + 1;
        if (tag.front() == '?') continue;
        if (tag.front() == '/') {
            if (open.empty() || open.back() != tag.substr(1)) return false;
            open.pop_back();
        } else if (tag.back() != '/') {
            open.push_back(tag.substr(0, tag.find(' ')));
        }
    }
    return open.empty();
}

struct Point {
    double x, y;
};

std::vector<std::vector<Point>> Polylines(const std::string& svg) {
    std::vector<std::vector<Point>> lines;
    const std::regex polyline("<polyline [^>]*points=\"([^\"]*)\"");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), polyline);
         it != std::sregex_iterator(); ++it) {
        std::vector<Point> points;
        std::istringstream in((*it)[1].str());
        Point p{};
        char comma = 0;
        while (in >> p.x >> comma >> p.y) points.push_back(p);
        lines.push_back(points);
    }
    return lines;
}

// The numbers written at the ticks of one axis ("x-tick" or "y-tick").
std::vector<double> Ticks(const std::string& svg, const std::string& cls) {
    std::vector<double> ticks;
    const std::regex tick("<text class=\"" + cls + "\"[^>]*>([^<]*)</text>");
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), tick); it != std::sregex_iterator();
         ++it)
        ticks.push_back(std::stod((*it)[1].str()));
    return ticks;
}

TEST(SvgChart, DrawsTheDataInsideNumberedAxesWithEscapedTexts) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    LineChart chart{"Flow <A&B> \"1\"",
                    "Branch Length (m)",
                    "GG kg/s",
                    {{"ProfileData", {0, 1000, 2000, 3000, 4000}, {8.5, 8.1, nan, 7.2, 6.9}}}};
    const std::string svg = RenderSvg({chart});
    ASSERT_TRUE(WellFormed(svg)) << svg;
    EXPECT_NE(svg.find("viewBox=\"0 0 1000.00 420.00\""), std::string::npos);
    EXPECT_NE(svg.find(">Flow &lt;A&amp;B&gt; &quot;1&quot;</text>"), std::string::npos);
    EXPECT_NE(svg.find(">Branch Length (m)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">GG kg/s</text>"), std::string::npos);

    const auto lines = Polylines(svg);
    ASSERT_EQ(lines.size(), 1u);
    const auto& p = lines[0];
    ASSERT_EQ(p.size(), 4u);  // the point without a value is left out
    for (std::size_t k = 1; k < p.size(); ++k) {
        EXPECT_GT(p[k].x, p[k - 1].x);
        EXPECT_GT(p[k].y, p[k - 1].y);  // falling values go down the picture
    }
    // Equal steps in x are equal distances on the picture (0, 1000, 3000, 4000).
    EXPECT_NEAR(p[2].x - p[1].x, 2 * (p[1].x - p[0].x), 0.02);

    const auto xt = Ticks(svg, "x-tick"), yt = Ticks(svg, "y-tick");
    ASSERT_GE(xt.size(), 3u);
    ASSERT_GE(yt.size(), 3u);
    EXPECT_LE(xt.front(), 0);
    EXPECT_GE(xt.back(), 4000);
    EXPECT_LE(yt.front(), 6.9);
    EXPECT_GE(yt.back(), 8.5);
    EXPECT_TRUE(std::is_sorted(yt.begin(), yt.end()));
    // Tick numbers are round: no floating-point tails such as 7.000000000001.
    for (double v : yt) EXPECT_NEAR(v * 10, std::round(v * 10), 1e-9) << v;
}

TEST(SvgChart, NoDataOrOneValueStillGivesAReadablePicture) {
    const auto empty = RenderSvg({LineChart{"Empty", "x", "y", {{"none", {}, {}}}}});
    EXPECT_TRUE(WellFormed(empty));
    EXPECT_TRUE(Polylines(empty).empty());
    EXPECT_NE(empty.find(">No data</text>"), std::string::npos);

    const auto flat = RenderSvg(
        {LineChart{"Flat", "x", "y", {{"one", {5, 5, 5}, {host::kEmptyNumber, 2.5, 2.5}}}}});
    EXPECT_TRUE(WellFormed(flat));
    EXPECT_EQ(flat.find("nan"), std::string::npos);
    EXPECT_EQ(flat.find("inf"), std::string::npos);
    const auto lines = Polylines(flat);
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].size(), 2u);
    const auto yt = Ticks(flat, "y-tick");
    ASSERT_FALSE(yt.empty());
    EXPECT_LT(yt.front(), 2.5);
    EXPECT_GT(yt.back(), 2.5);
}

// Every panel has a legend, also with one line, beside the plot area where it
// covers no line; a heading goes on top, and series beyond ten colours are
// told apart by their dashes.
TEST(SvgChart, PanelsStackEachWithALegendBesideItsLines) {
    LineChart pressures{"Pressures", "Time (s)", "PT Pa", {}};
    for (int i = 0; i < 12; ++i)
        pressures.series.push_back({"$P" + std::to_string(i), {0, 1}, {1.0 * i, 2.0 + i}});
    LineChart flows{"Flows", "Time (s)", "GG kg/s", {{"$OUT", {0, 1, 2}, {3, 3, 4}}}};
    const auto svg = RenderSvg({pressures, flows}, "case.case.json: t = 0 to 2 s");
    ASSERT_TRUE(WellFormed(svg));
    EXPECT_NE(svg.find(">case.case.json: t = 0 to 2 s</text>"), std::string::npos);
    const auto lines = Polylines(svg);
    ASSERT_EQ(lines.size(), 13u);
    const double second_panel = 40 + 420;  // below the heading and the first panel
    for (const auto& p : lines[0]) EXPECT_LT(p.y, second_panel);
    for (const auto& p : lines[12]) EXPECT_GT(p.y, second_panel);
    double plot_right = 0;
    for (const auto& line : lines)
        for (const auto& p : line) plot_right = std::max(plot_right, p.x);
    const std::regex legend("<text class=\"legend\" x=\"([0-9.]+)\"[^>]*>([^<]*)</text>");
    int entries = 0;
    for (auto it = std::sregex_iterator(svg.begin(), svg.end(), legend);
         it != std::sregex_iterator(); ++it, ++entries)
        EXPECT_GT(std::stod((*it)[1].str()), plot_right) << (*it)[2].str();
    EXPECT_EQ(entries, 13);
    EXPECT_NE(svg.find(">$OUT</text>"), std::string::npos);
    // The eleventh line has the first one's colour but a dash of its own.
    const auto p0 = svg.find("<title>$P0</title>"), p10 = svg.find("<title>$P10</title>");
    ASSERT_NE(p10, std::string::npos);
    const auto start0 = svg.rfind("<polyline", p0), start10 = svg.rfind("<polyline", p10);
    EXPECT_EQ(svg.substr(start0, p0 - start0).find("dasharray"), std::string::npos);
    EXPECT_NE(svg.substr(start10, p10 - start10).find("dasharray"), std::string::npos);
}

class PlotPicture : public HostWorld {};

TEST_F(PlotPicture, ThePlotDrawsItsBoundDataAndReplacesAPlantedLink) {
    refhost::RefPlot plot("ProfilePlot");
    plot.SetTitle("PIPE-1");
    plot.SetAxisLabels("Branch Length", "PT Pa");
    plot.SetDataSetName("ProfileData");
    plot.BindData("xData", "yData");
    SetNumbers("xData", {50, 150, 250});
    SetNumbers("yData", {3e6, 2.5e6, 2e6});

    const auto victim = case_dir->Path() / "victim.txt";
    WriteFile(victim, "keep me");
    const auto picture = case_dir->Path() / "profile.svg";
    std::filesystem::create_symlink(victim, picture);
    plot.WriteSvg(picture.string(), *unit);

    EXPECT_EQ(ReadFile(victim), "keep me");
    ASSERT_FALSE(std::filesystem::is_symlink(picture));
    const std::string svg = ReadFile(picture);
    EXPECT_TRUE(WellFormed(svg));
    EXPECT_NE(svg.find(">PIPE-1</text>"), std::string::npos);
    EXPECT_NE(svg.find(">Branch Length (m)</text>"), std::string::npos);
    EXPECT_NE(svg.find(">PT Pa</text>"), std::string::npos);
    ASSERT_EQ(Polylines(svg).size(), 1u);
    EXPECT_EQ(Polylines(svg)[0].size(), 3u);
    // No temporary file is left beside the picture.
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(case_dir->Path()),
                            std::filesystem::directory_iterator()),
              2);

    // A folder that does not exist: an error, no file.
    EXPECT_THROW(plot.WriteSvg((case_dir->Path() / "no" / "p.svg").string(), *unit), Error);
}

}  // namespace
}  // namespace zefa::test

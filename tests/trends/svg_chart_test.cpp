// The SVG line charts of the reference host, read back as a viewer would.
#include "lib/svg_chart.h"

#include <algorithm>
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
    const std::regex entity("^&(amp|lt|gt|quot|apos);");
    std::vector<std::string> open;
    for (std::size_t i = 0; i < xml.size();) {
        if (xml[i] == '&' && !std::regex_search(xml.substr(i, 6), entity)) return false;
        if (xml[i] == '>') return false;  // a '>' outside a tag
        if (xml[i] != '<') {
            ++i;
            continue;
        }
        const std::size_t end = xml.find('>', i);
        if (end == std::string::npos) return false;
        const std::string tag = xml.substr(i + 1, end - i - 1);
        if (std::count(tag.begin(), tag.end(), '"') % 2 != 0 || tag.find('<') != tag.npos)
            return false;
        i = end + 1;
        if (tag.front() == '?' || tag.back() == '/') continue;
        if (tag.front() != '/') {
            open.push_back(tag.substr(0, tag.find(' ')));
        } else if (open.empty() || open.back() != tag.substr(1)) {
            return false;
        } else {
            open.pop_back();
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
        std::istringstream in((*it)[1].str());
        Point p{};
        char comma = 0;
        lines.emplace_back();
        while (in >> p.x >> comma >> p.y) lines.back().push_back(p);
    }
    return lines;
}

// Every picture is well-formed XML with its texts escaped and one line per
// series of the points that have a value.
TEST(SvgChart, EachSeriesIsALineOfItsFinitePointsInAWellFormedPicture) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    LineChart pressures{"Pressures", "Time (s)", "PT Pa", {}};
    for (int i = 0; i < 12; ++i)
        pressures.series.push_back({"$P" + std::to_string(i), {0, 1}, {1.0 * i, 2.0 + i}});
    struct Row {
        std::vector<LineChart> panels;
        std::string heading;
        std::vector<std::string> texts;
        std::vector<std::size_t> points;  // per line
    };
    const Row rows[] = {
        {{{"Flow <A&B> \"1\"",
           "Branch Length (m)",
           "GG kg/s",
           {{"ProfileData", {0, 1000, 2000, 3000, 4000}, {8.5, 8.1, nan, 7.2, 6.9}}}}},
         "",
         {">Flow &lt;A&amp;B&gt; &quot;1&quot;</text>", ">Branch Length (m)</text>",
          ">GG kg/s</text>"},
         {4}},
        {{{"Empty", "x", "y", {{"none", {}, {}}}}}, "", {">No data</text>"}, {}},
        {{{"Flat", "x", "y", {{"one", {5, 5, 5}, {host::kEmptyNumber, 2.5, 2.5}}}}}, "", {}, {2}},
        {{pressures, {"Flows", "Time (s)", "GG kg/s", {{"$OUT", {0, 1, 2}, {3, 3, 4}}}}},
         "case.case.json: t = 0 to 2 s",
         {">case.case.json: t = 0 to 2 s</text>", ">$OUT</text>", ">$P11</text>"},
         {2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 2, 3}},
    };
    for (const Row& row : rows) {
        const std::string svg = RenderSvg(row.panels, row.heading);
        SCOPED_TRACE(row.panels[0].title);
        EXPECT_TRUE(WellFormed(svg)) << svg;
        EXPECT_EQ(svg.find("nan"), std::string::npos);
        EXPECT_EQ(svg.find("inf"), std::string::npos);
        for (const auto& text : row.texts) EXPECT_NE(svg.find(text), std::string::npos) << text;
        std::vector<std::size_t> points;
        for (const auto& line : Polylines(svg)) points.push_back(line.size());
        EXPECT_EQ(points, row.points);
    }

    // Falling values go down the picture, and equal steps in x are equal
    // distances (0, 1000, 3000, 4000); a second panel lies below the first.
    const auto p = Polylines(RenderSvg(rows[0].panels))[0];
    for (std::size_t k = 1; k < p.size(); ++k) {
        EXPECT_GT(p[k].x, p[k - 1].x);
        EXPECT_GT(p[k].y, p[k - 1].y);
    }
    EXPECT_NEAR(p[2].x - p[1].x, 2 * (p[1].x - p[0].x), 0.02);
    const auto stacked = Polylines(RenderSvg(rows[3].panels, rows[3].heading));
    EXPECT_LT(std::max(stacked[0][0].y, stacked[0][1].y), stacked[12][0].y);
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
    for (const char* text : {">PIPE-1</text>", ">Branch Length (m)</text>", ">PT Pa</text>"})
        EXPECT_NE(svg.find(text), std::string::npos) << text;
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

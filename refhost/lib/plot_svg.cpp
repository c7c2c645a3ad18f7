// The reference host's plot drawn as an SVG picture.
#include <memory>

#include "lib/case.h"

namespace refhost {

namespace {

std::vector<double> BoundValues(host::Container& unit, const std::string& tag) {
    if (tag.empty()) return {};
    const auto array = std::dynamic_pointer_cast<host::NumberArrayVariable>(unit.FindVariable(tag));
    return array ? array->GetValues().data : std::vector<double>{};
}

}  // namespace

LineChart RefPlot::Chart(host::Container& unit) const {
    LineChart chart;
    chart.title = title_.empty() ? name_ : title_;
    chart.x_label = x_unit_.empty() ? x_label_ : x_label_ + " (" + x_unit_ + ")";
    chart.y_label = y_label_;
    chart.series.push_back({data_set_, BoundValues(unit, x_tag_), BoundValues(unit, y_tag_)});
    return chart;
}

void RefPlot::WriteSvg(const std::string& path, host::Container& unit) const {
    refhost::WriteSvg(path, {Chart(unit)});
}

}  // namespace refhost

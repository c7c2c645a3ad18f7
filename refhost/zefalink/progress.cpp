// The run's progress line and bar, and the warnings shown once with their
// repeats counted.
#include "progress.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zefalink {

namespace {

std::string Seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%.10g", s);
    return text;
}

// A duration as a person reads it: "2 s", "4 min 10 s", "1 h 5 min".
std::string Duration(double s) {
    const long total = std::lround(std::max(0.0, s));
    char text[48];
    if (total < 60)
        std::snprintf(text, sizeof text, "%ld s", total);
    else if (total < 3600)
        std::snprintf(text, sizeof text, "%ld min %ld s", total / 60, total % 60);
    else
        std::snprintf(text, sizeof text, "%ld h %ld min", total / 3600, total % 3600 / 60);
    return text;
}

}  // namespace

std::string ProgressText(double start, double end, double t, double wall) {
    const double span = end - start;
    const double done = t - start;
    const double fraction = span > 0.0 ? std::clamp(done / span, 0.0, 1.0) : 1.0;
    std::string text = std::to_string(static_cast<int>(fraction * 100.0 + 1e-9)) +
                       "% complete, t=" + Seconds(t) + " of " + Seconds(end) + " s";
    if (wall > 0.0 && done > 0.0) {
        const double speed = done / wall;
        char rate[48];
        std::snprintf(rate, sizeof rate, speed >= 10 ? "%.0fx" : "%.2gx", speed);
        text += std::string(", ") + rate + " real time, " + Duration((end - t) / speed) + " left";
    }
    return text;
}

std::string ProgressBar(double fraction, int width) {
    const auto cells = static_cast<std::size_t>(std::max(width, 0));
    const auto filled =
        static_cast<std::size_t>(std::clamp(fraction, 0.0, 1.0) * static_cast<double>(cells));
    // Filled in place: GCC 12 warns (falsely) about overlap when strings of
    // computed lengths are joined with operator+.
    std::string bar(cells + 3, ' ');
    bar.front() = '[';
    for (std::size_t i = 0; i < filled; ++i) bar[1 + i] = '#';
    bar[cells + 1] = ']';
    return bar;
}

bool RepeatedWarnings::First(const std::string& text) {
    const long n = ++counts_[text];
    if (n == 1) order_.push_back(text);
    return n == 1;
}

std::vector<std::string> RepeatedWarnings::Repeats() const {
    std::vector<std::string> out;
    for (const auto& text : order_) {
        const long n = counts_.at(text);
        if (n > 1) out.push_back(text + " (repeated " + std::to_string(n) + " times in all)");
    }
    return out;
}

long RepeatedWarnings::Count(const std::string& text) const {
    const auto it = counts_.find(text);
    return it == counts_.end() ? 0 : it->second;
}

}  // namespace zefalink

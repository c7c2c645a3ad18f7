#pragma once

// What a run tells a person while it goes: one progress line (simulated time,
// percentage, speed against real time, time left) and each warning once,
// however often it repeats.

#include <map>
#include <string>
#include <vector>

namespace zefalink {

// "45% complete, t=54 of 120 s, 38x real time, 2 s left" for a run from
// `start` to `end` at simulated time `t` after `wall` seconds of real time.
std::string ProgressText(double start, double end, double t, double wall);

// The bar drawn in front of ProgressText on a terminal: "[#####     ] ".
std::string ProgressBar(double fraction, int width = 30);

// Warnings as they come: each distinct text is shown the first time only;
// the repeats are counted.
class RepeatedWarnings {
  public:
    // True the first time `text` is seen.
    bool First(const std::string& text);
    // "TEXT (repeated N times in all)" for each text seen more than once, in
    // the order first seen.
    std::vector<std::string> Repeats() const;
    // The count of `text` so far.
    long Count(const std::string& text) const;

  private:
    std::map<std::string, long> counts_;
    std::vector<std::string> order_;
};

}  // namespace zefalink

#pragma once

// The examples as the zefasim benchmarks and the result digest run them:
// scaled to a section count, with the holdup law the name asks for.

#include <algorithm>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>

namespace zefasim_bench {

inline std::string ReadExample(const std::string& name) {
    std::ifstream in(std::string(ZEFA_EXAMPLES_DIR) + "/" + name);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

// The example with its pipes' section counts scaled to `total` sections (lengths
// unchanged); a name "x-drift.inp" is the example x.inp with the drift-flux holdup law,
// "x-level.inp" with the default law (DRIFTLEVEL), other names without slip unless the
// example names its law.
inline std::string Scaled(const std::string& name, int total) {
    std::string text;
    bool named = false;
    for (const auto& [suffix, law] :
         {std::pair<std::string, std::string>{"-drift.inp", "DRIFTFLUX"},
          {"-level.inp", "DRIFTLEVEL"}}) {
        if (named || name.size() <= suffix.size() ||
            name.compare(name.size() - suffix.size(), suffix.size(), suffix) != 0)
            continue;
        text = ReadExample(name.substr(0, name.size() - suffix.size()) + ".inp");
        text.replace(text.find("FLUID "), 6, "FLUID HOLDUP = " + law + ", ");
        named = true;
    }
    if (!named) {
        text = ReadExample(name);
        if (text.find("HOLDUP = DRIFTFLUX") == std::string::npos)
            text.replace(text.find("FLUID "), 6, "FLUID HOLDUP = NOSLIP, ");
    }
    std::regex counts("NSECTIONS = ([0-9]+)");
    int sum = 0;
    for (std::sregex_iterator it(text.begin(), text.end(), counts), end; it != end; ++it)
        sum += std::stoi((*it)[1]);
    std::string out;
    std::sregex_iterator it(text.begin(), text.end(), counts), end;
    size_t last = 0;
    for (; it != end; ++it) {
        int n = std::stoi((*it)[1]) * total / sum;
        out += text.substr(last, static_cast<size_t>(it->position()) - last);
        out += "NSECTIONS = " + std::to_string(std::max(1, n));
        last = static_cast<size_t>(it->position() + it->length());
    }
    return out + text.substr(last);
}

}  // namespace zefasim_bench

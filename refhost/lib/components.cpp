// The built-in component data and component sets, with the nearest-name
// suggestion for a misspelt component.
#include "components.h"

#include <algorithm>
#include <cctype>
#include <stdexcept>

namespace refhost {

namespace {

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return s;
}

}  // namespace

const std::vector<Component>& BuiltinComponents() {
    // Critical data and acentric factors from standard tables; ideal-gas heat
    // capacity polynomials in kJ/(kgmole K); liquid densities near the normal
    // boiling point (or 15 C for the liquids). The heavy pseudo-component
    // stands for the C7+ fraction with the properties of a C8 paraffin.
    static const std::vector<Component> components = {
        {"methane", 16.043, 190.56, 4599.0, 0.011, 19.25, 5.213e-2, 1.197e-5, -1.132e-8, 422.6,
         false},
        {"ethane", 30.070, 305.32, 4872.0, 0.099, 5.409, 1.781e-1, -6.938e-5, 8.713e-9, 544.0,
         false},
        {"propane", 44.097, 369.83, 4248.0, 0.152, -4.224, 3.063e-1, -1.586e-4, 3.215e-8, 581.0,
         false},
        {"n-butane", 58.123, 425.12, 3796.0, 0.200, 9.487, 3.313e-1, -1.108e-4, -2.822e-9, 601.0,
         false},
        {"n-pentane", 72.150, 469.70, 3370.0, 0.252, -3.626, 4.873e-1, -2.580e-4, 5.305e-8, 626.0,
         false},
        {"n-hexane", 86.177, 507.60, 3025.0, 0.301, -4.413, 5.820e-1, -3.119e-4, 6.494e-8, 659.0,
         false},
        {"c7+", 114.23, 568.70, 2490.0, 0.399, -6.096, 7.712e-1, -4.195e-4, 8.855e-8, 703.0, false},
        {"carbon-dioxide", 44.010, 304.12, 7374.0, 0.225, 19.80, 7.344e-2, -5.602e-5, 1.715e-8,
         1101.0, false},
        {"nitrogen", 28.014, 126.20, 3394.0, 0.037, 31.15, -1.357e-2, 2.680e-5, -1.168e-8, 808.0,
         false},
        {"water", 18.015, 647.10, 22064.0, 0.345, 32.24, 1.924e-3, 1.055e-5, -3.596e-9, 998.0,
         true},
    };
    return components;
}

const Component* FindBuiltinComponent(const std::string& name) {
    const std::string key = Lower(name);
    for (const auto& c : BuiltinComponents()) {
        if (c.name == key) return &c;
    }
    return nullptr;
}

ComponentSet::ComponentSet(const std::vector<std::string>& names) {
    if (names.empty()) throw std::invalid_argument("a component list needs at least one component");
    for (const auto& name : names) {
        const Component* c = FindBuiltinComponent(name);
        if (!c) throw std::invalid_argument("unknown component \"" + name + "\"");
        if (std::find(components_.begin(), components_.end(), c) != components_.end()) {
            throw std::invalid_argument("component \"" + name + "\" listed twice");
        }
        if (c->is_water) water_ = components_.size();
        components_.push_back(c);
    }
}

std::vector<std::string> ComponentSet::Names() const {
    std::vector<std::string> names;
    for (const auto* c : components_) names.push_back(c->name);
    return names;
}

std::optional<std::size_t> ComponentSet::IndexOf(const std::string& name) const {
    const std::string key = Lower(name);
    for (std::size_t i = 0; i < components_.size(); ++i) {
        if (components_[i]->name == key) return i;
    }
    return std::nullopt;
}

std::string NearestName(const std::string& name, const std::vector<std::string>& candidates) {
    const std::string a = Lower(name);
    std::string best;
    std::size_t best_distance = std::string::npos;
    for (const auto& candidate : candidates) {
        const std::string b = Lower(candidate);
        // Levenshtein distance, one row at a time.
        std::vector<std::size_t> row(b.size() + 1);
        for (std::size_t j = 0; j <= b.size(); ++j) row[j] = j;
        for (std::size_t i = 1; i <= a.size(); ++i) {
            std::size_t diagonal = row[0];
            row[0] = i;
            for (std::size_t j = 1; j <= b.size(); ++j) {
                const std::size_t up = row[j];
                row[j] = std::min(
                    {row[j] + 1, row[j - 1] + 1, diagonal + (a[i - 1] == b[j - 1] ? 0u : 1u)});
                diagonal = up;
            }
        }
        if (row[b.size()] < best_distance) {
            best_distance = row[b.size()];
            best = candidate;
        }
    }
    // Suggest only what is plausibly a typing slip.
    const std::size_t limit = std::max<std::size_t>(2, a.size() / 3);
    return best_distance <= limit ? best : std::string();
}

}  // namespace refhost

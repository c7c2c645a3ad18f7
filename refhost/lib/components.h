#pragma once

// The reference host's built-in pure components and the component set a
// flowsheet uses.

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace refhost {

// Pure-component data of the built-in property set.
struct Component {
    std::string name;
    double molecular_weight;   // kg/kgmole
    double critical_temp_k;    // K
    double critical_pres_kpa;  // kPa
    double acentric;
    // Ideal-gas heat capacity cp = a + b T + c T^2 + d T^3, kJ/(kgmole K), T in K.
    double cp_a, cp_b, cp_c, cp_d;
    double liquid_density;  // kg/m3 at normal conditions
    bool is_water;
};

// The built-in components, in a fixed order.
const std::vector<Component>& BuiltinComponents();

// The built-in component of that name (case-insensitive), or null.
const Component* FindBuiltinComponent(const std::string& name);

// The ordered list of components a case uses; fluids of one case share it.
// Composition arrays are in this order.
class ComponentSet {
  public:
    // Throws std::invalid_argument for an unknown or repeated name.
    explicit ComponentSet(const std::vector<std::string>& names);

    std::size_t Size() const { return components_.size(); }
    const Component& At(std::size_t i) const { return *components_.at(i); }
    std::vector<std::string> Names() const;
    // Position of a component by name (case-insensitive).
    std::optional<std::size_t> IndexOf(const std::string& name) const;
    // Position of water, if the set has it.
    std::optional<std::size_t> WaterIndex() const { return water_; }

  private:
    std::vector<const Component*> components_;
    std::optional<std::size_t> water_;
};

using ComponentSetPtr = std::shared_ptr<const ComponentSet>;

// The candidate closest to `name` by edit distance (case-insensitive), or an
// empty text when there is no candidate within a few edits.
std::string NearestName(const std::string& name, const std::vector<std::string>& candidates);

}  // namespace refhost

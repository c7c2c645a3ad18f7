#pragma once

// The reference host's fluid: a composition at a temperature and pressure, its
// property model and its flash into vapour, oil and water.

#include <array>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "components.h"
#include "host/objects.h"

namespace refhost {

inline constexpr double kGasConstant = 8.314462618;  // kJ/(kgmole K)
inline constexpr double kKelvinOffset = 273.15;

// Phase positions in an equilibrium: vapour, light liquid (oil), aqueous.
enum PhaseIndex : std::size_t { kVapour = 0, kOil = 1, kAqueous = 2 };

struct PhaseSplit {
    double fraction = 0.0;  // moles of the phase per mole of fluid
    std::vector<double> x;  // mole fractions of the phase
};

// Result of a flash: each of the three phases present or absent.
struct Equilibrium {
    std::array<std::optional<PhaseSplit>, 3> phases;
    bool Has(PhaseIndex p) const { return phases[p].has_value(); }
};

// Flash status codes (0 is success).
enum FlashStatus : int {
    kFlashOk = 0,
    kFlashBadInput = 1,       // temperature, pressure or composition unusable
    kFlashNotConverged = 2,   // phase split did not converge
    kFlashNoTemperature = 3,  // no temperature in range gives the enthalpy
};

// ---- Property model ----
// K-value of a component between vapour and liquid (Wilson's correlation);
// for water this is its vapour pressure over the total pressure.
double WilsonK(const Component& c, double t_k, double p_kpa);
// Vapour pressure from the same correlation, kPa.
double VapourPressure(const Component& c, double t_k);
// Ideal-gas enthalpy relative to 25 C, kJ/kgmole.
double IdealGasEnthalpy(const Component& c, double t_k);
// Enthalpy of vaporisation consistent with the K-value correlation, kJ/kgmole.
double VaporisationEnthalpy(const Component& c);
// Residual enthalpy of the gas from the second virial coefficient, kJ/kgmole
// (negative: a gas cools when it expands at constant enthalpy).
double ResidualEnthalpy(const Component& c, double t_k, double p_kpa);
// Second virial coefficient, m3/kgmole.
double SecondVirial(const Component& c, double t_k);

// Rachford-Rice vapour fraction for feed z and K-values; 0 and 1 mean single
// liquid and single vapour. Empty when the iteration fails.
std::optional<double> RachfordRice(const std::vector<double>& z, const std::vector<double>& k);

// Isothermal flash with free water: hydrocarbons split by Rachford-Rice, water
// forms its own aqueous phase once the vapour is saturated with it.
std::optional<Equilibrium> FlashTP(const ComponentSet& set, const std::vector<double>& z,
                                   double t_k, double p_kpa, int* status = nullptr);
// Molar enthalpy of a flashed fluid, kJ/kgmole.
double EquilibriumEnthalpy(const ComponentSet& set, const Equilibrium& eq, double t_k,
                           double p_kpa);

class Fluid;
using FluidPtr = std::shared_ptr<Fluid>;

// A fluid of the reference host: composition, temperature (C), pressure
// (kPa), molar flow (kgmole/s) and the phase split at those conditions.
class Fluid : public host::Fluid, public std::enable_shared_from_this<Fluid> {
  public:
    // Throws std::invalid_argument for a composition that does not fit the set
    // (wrong length, negative or non-finite entries, zero sum).
    static FluidPtr Create(ComponentSetPtr set, const std::vector<double>& z, double temperature_c,
                           double pressure_kpa, double molar_flow);

    const ComponentSetPtr& Components() const { return set_; }
    double TemperatureC() const { return t_c_; }
    double PressureKPa() const { return p_kpa_; }
    double MolarFlowKmol() const { return n_; }
    void SetTemperatureC(double t);
    void SetPressureKPa(double p);
    void SetMolarFlowKmol(double n) { n_ = n; }
    // Mass flow in kg/s sets the molar flow through the molecular weight.
    void SetMassFlow(double m) { n_ = m / MolecularWeight(); }
    double MolecularWeight() const;
    // Mass density at the present phase split, kg/m3.
    double MassDensity() const;
    // The phase split at the present conditions (flashed on demand).
    const Equilibrium& State() const;
    // Takes composition, conditions, flow and phase split of another fluid of
    // the same component set.
    void CopyFrom(const Fluid& other);
    FluidPtr Copy() const;

    // host::Fluid
    std::shared_ptr<host::Fluid> Clone() const override { return Copy(); }
    std::shared_ptr<host::Phase> VapourPhase() const override { return MakePhase(kVapour); }
    std::shared_ptr<host::Phase> LightLiquidPhase() const override { return MakePhase(kOil); }
    std::shared_ptr<host::Phase> AqueousPhase() const override { return MakePhase(kAqueous); }
    void MixIn(const host::Fluid& other) override;
    std::shared_ptr<host::RealValue> Temperature() override;
    std::shared_ptr<host::RealValue> Pressure() override;
    std::shared_ptr<host::RealValue> MolarFlow() override;
    std::vector<double> Composition() const override { return z_; }
    void SetComposition(const std::vector<double>& fractions) override;
    int TPFlash(double temperature_c, double pressure_kpa) override;
    int PHFlash(double pressure_kpa, double molar_enthalpy) override;
    double MolarEnthalpy() const override;
    double VapourFraction() const override;
    double MassVapourFraction() const override;
    double MolarFlowValue() const override { return n_; }
    double MassFlowValue() const override { return n_ * MolecularWeight(); }

  private:
    Fluid(ComponentSetPtr set, std::vector<double> z, double t, double p, double n);
    std::shared_ptr<host::Phase> MakePhase(PhaseIndex p) const;
    double PhaseMolecularWeight(const PhaseSplit& phase) const;

    ComponentSetPtr set_;
    std::vector<double> z_;
    double t_c_;
    double p_kpa_;
    double n_;
    // Phase split at (t_c_, p_kpa_, z_); recomputed when conditions change.
    mutable std::optional<Equilibrium> eq_;
};

// Checks and normalises a composition for a component set; throws
// std::invalid_argument with a message naming the fault.
std::vector<double> NormalisedComposition(const ComponentSet& set, const std::vector<double>& z);

}  // namespace refhost

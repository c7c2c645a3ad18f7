// The reference host's fluid model: K-values, enthalpies and the three-phase
// flash of a composition at a temperature and pressure.
#include "fluid.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>

namespace refhost {

namespace {

constexpr double kReferenceTempK = 298.15;
// The flashes work between these temperatures.
constexpr double kMinTempK = 20.0;
constexpr double kMaxTempK = 2000.0;

bool UsableConditions(double t_k, double p_kpa) {
    return std::isfinite(t_k) && std::isfinite(p_kpa) && t_k >= kMinTempK && t_k <= kMaxTempK &&
           p_kpa > 0.0;
}

double Clamp01(double v) {
    return std::min(1.0, std::max(0.0, v));
}

// A fluid value (temperature, pressure, molar flow) as a host variable. It
// keeps the fluid alive, so it stays valid however long the caller holds it.
class FluidValue final : public host::RealValue {
  public:
    enum class What { Temperature, Pressure, MolarFlow };
    FluidValue(std::shared_ptr<Fluid> fluid, What what) : fluid_(std::move(fluid)), what_(what) {}
    double GetValue() const override {
        switch (what_) {
            case What::Temperature:
                return fluid_->TemperatureC();
            case What::Pressure:
                return fluid_->PressureKPa();
            case What::MolarFlow:
                return fluid_->MolarFlowKmol();
        }
        return 0.0;
    }
    void SetValue(double value) override {
        switch (what_) {
            case What::Temperature:
                fluid_->SetTemperatureC(value);
                break;
            case What::Pressure:
                fluid_->SetPressureKPa(value);
                break;
            case What::MolarFlow:
                if (!std::isfinite(value))
                    throw std::invalid_argument("molar flow is not a number");
                fluid_->SetMolarFlowKmol(value);
                break;
        }
    }
    std::string Quantity() const override {
        switch (what_) {
            case What::Temperature:
                return "temperature";
            case What::Pressure:
                return "pressure";
            case What::MolarFlow:
                return "molarflow";
        }
        return "";
    }

  private:
    std::shared_ptr<Fluid> fluid_;
    What what_;
};

class PhaseValue final : public host::Phase {
  public:
    PhaseValue(double molar_flow, double mw, std::vector<double> x)
        : molar_flow_(molar_flow), mw_(mw), x_(std::move(x)) {}
    double MolarFlow() const override { return molar_flow_; }
    double MassFlow() const override { return molar_flow_ * mw_; }
    double MolecularWeight() const override { return mw_; }
    std::vector<double> Composition() const override { return x_; }

  private:
    double molar_flow_;
    double mw_;
    std::vector<double> x_;
};

}  // namespace

// ---- Property model ----

double WilsonK(const Component& c, double t_k, double p_kpa) {
    return VapourPressure(c, t_k) / p_kpa;
}

double VapourPressure(const Component& c, double t_k) {
    return c.critical_pres_kpa *
           std::exp(5.373 * (1.0 + c.acentric) * (1.0 - c.critical_temp_k / t_k));
}

double IdealGasEnthalpy(const Component& c, double t_k) {
    const auto integral = [&c](double t) {
        return t * (c.cp_a + t * (c.cp_b / 2.0 + t * (c.cp_c / 3.0 + t * c.cp_d / 4.0)));
    };
    return integral(t_k) - integral(kReferenceTempK);
}

double VaporisationEnthalpy(const Component& c) {
    // d ln(Psat) / d(1/T) of the vapour-pressure correlation, times -R.
    return kGasConstant * 5.373 * (1.0 + c.acentric) * c.critical_temp_k;
}

double SecondVirial(const Component& c, double t_k) {
    const double tr = t_k / c.critical_temp_k;
    const double b0 = 0.083 - 0.422 / std::pow(tr, 1.6);
    const double b1 = 0.139 - 0.172 / std::pow(tr, 4.2);
    return (b0 + c.acentric * b1) * kGasConstant * c.critical_temp_k / c.critical_pres_kpa;
}

double ResidualEnthalpy(const Component& c, double t_k, double p_kpa) {
    const double tr = t_k / c.critical_temp_k;
    const double pr = p_kpa / c.critical_pres_kpa;
    const double b0 = 0.083 - 0.422 / std::pow(tr, 1.6);
    const double db0 = 0.675 / std::pow(tr, 2.6);
    const double b1 = 0.139 - 0.172 / std::pow(tr, 4.2);
    const double db1 = 0.722 / std::pow(tr, 5.2);
    const double h =
        kGasConstant * c.critical_temp_k * pr * (b0 - tr * db0 + c.acentric * (b1 - tr * db1));
    // The virial form is meant for gases; far below the critical temperature it
    // runs away, so it never takes more than most of the latent heat.
    return std::max(h, -0.8 * VaporisationEnthalpy(c));
}

std::optional<double> RachfordRice(const std::vector<double>& z, const std::vector<double>& k) {
    const auto f = [&](double beta) {
        double sum = 0.0;
        for (std::size_t i = 0; i < z.size(); ++i) {
            sum += z[i] * (k[i] - 1.0) / (1.0 + beta * (k[i] - 1.0));
        }
        return sum;
    };
    const double f0 = f(0.0);
    const double f1 = f(1.0);
    if (!std::isfinite(f0) || !std::isfinite(f1)) return std::nullopt;
    if (f0 <= 0.0) return 0.0;  // at or below the bubble point
    if (f1 >= 0.0) return 1.0;  // at or above the dew point
    // f falls monotonically on (0, 1): bisection with Newton steps.
    double lo = 0.0, hi = 1.0, beta = 0.5;
    for (int it = 0; it < 200; ++it) {
        double value = 0.0, slope = 0.0;
        for (std::size_t i = 0; i < z.size(); ++i) {
            const double d = 1.0 + beta * (k[i] - 1.0);
            value += z[i] * (k[i] - 1.0) / d;
            slope -= z[i] * (k[i] - 1.0) * (k[i] - 1.0) / (d * d);
        }
        if (!std::isfinite(value)) return std::nullopt;
        if (value > 0.0)
            lo = beta;
        else
            hi = beta;
        double next = slope < 0.0 ? beta - value / slope : 0.5 * (lo + hi);
        if (!(next > lo && next < hi)) next = 0.5 * (lo + hi);
        if (std::abs(next - beta) < 1e-14 || hi - lo < 1e-15) return next;
        beta = next;
    }
    return std::nullopt;
}

namespace {

// Two-phase split when no free water forms. Water does not dissolve in the
// light liquid, so it all stays in the vapour; this joins the three-phase split
// without a jump where the aqueous phase vanishes.
std::optional<Equilibrium> TwoPhaseSplit(const ComponentSet& set, const std::vector<double>& z,
                                         double t_k, double p_kpa) {
    const std::size_t nc = set.Size();
    std::vector<double> k(nc);
    for (std::size_t i = 0; i < nc; ++i) {
        k[i] = set.At(i).is_water ? 1e10 : WilsonK(set.At(i), t_k, p_kpa);
    }
    const auto beta = RachfordRice(z, k);
    if (!beta) return std::nullopt;
    Equilibrium eq;
    std::vector<double> x(nc), y(nc);
    for (std::size_t i = 0; i < nc; ++i) {
        x[i] = z[i] / (1.0 + *beta * (k[i] - 1.0));
        y[i] = k[i] * x[i];
    }
    if (*beta >= 1.0) {
        eq.phases[kVapour] = PhaseSplit{1.0, z};
        return eq;
    }
    if (*beta <= 0.0) x = z;
    if (const auto w = set.WaterIndex()) x[*w] = 0.0;
    const auto normalise = [](std::vector<double>& v) {
        const double s = std::accumulate(v.begin(), v.end(), 0.0);
        if (s > 0.0)
            for (double& e : v) e /= s;
    };
    normalise(x);
    normalise(y);
    if (*beta > 0.0) eq.phases[kVapour] = PhaseSplit{*beta, y};
    eq.phases[kOil] = PhaseSplit{1.0 - *beta, x};
    return eq;
}

}  // namespace

std::optional<Equilibrium> FlashTP(const ComponentSet& set, const std::vector<double>& z,
                                   double t_k, double p_kpa, int* status) {
    const auto fail = [status](int code) -> std::optional<Equilibrium> {
        if (status) *status = code;
        return std::nullopt;
    };
    if (z.size() != set.Size() || !UsableConditions(t_k, p_kpa)) return fail(kFlashBadInput);
    if (status) *status = kFlashOk;
    const std::size_t nc = set.Size();
    const auto water = set.WaterIndex();

    if (water && z[*water] > 0.0) {
        const std::size_t w = *water;
        // Vapour in contact with free water holds water at its vapour pressure.
        const double yw = WilsonK(set.At(w), t_k, p_kpa);
        const double hydrocarbons = 1.0 - z[w];
        if (yw < 1.0 && hydrocarbons <= 1e-14) {
            Equilibrium eq;
            std::vector<double> x(nc, 0.0);
            x[w] = 1.0;
            eq.phases[kAqueous] = PhaseSplit{1.0, x};
            return eq;
        }
        if (yw < 1.0) {
            // Split the water-free feed; the vapour's share of the others is 1 - yw.
            std::vector<double> zh, kh;
            std::vector<std::size_t> index;
            for (std::size_t i = 0; i < nc; ++i) {
                if (i == w) continue;
                zh.push_back(z[i] / hydrocarbons);
                kh.push_back(WilsonK(set.At(i), t_k, p_kpa) / (1.0 - yw));
                index.push_back(i);
            }
            const auto beta = RachfordRice(zh, kh);
            if (!beta) return fail(kFlashNotConverged);
            const double vapour = hydrocarbons * *beta / (1.0 - yw);
            const double aqueous = z[w] - vapour * yw;
            if (aqueous > 1e-12) {
                Equilibrium eq;
                const double oil = hydrocarbons * (1.0 - *beta);
                std::vector<double> x(nc, 0.0), y(nc, 0.0), a(nc, 0.0);
                for (std::size_t j = 0; j < index.size(); ++j) {
                    const double xj = zh[j] / (1.0 + *beta * (kh[j] - 1.0));
                    x[index[j]] = xj;
                    y[index[j]] = kh[j] * xj * (1.0 - yw);
                }
                if (*beta >= 1.0) {
                    for (std::size_t j = 0; j < index.size(); ++j) {
                        y[index[j]] = zh[j] * (1.0 - yw);
                    }
                }
                if (*beta <= 0.0) {
                    for (std::size_t j = 0; j < index.size(); ++j) x[index[j]] = zh[j];
                }
                y[w] = yw;
                a[w] = 1.0;
                if (vapour > 0.0) eq.phases[kVapour] = PhaseSplit{vapour, y};
                if (oil > 0.0) eq.phases[kOil] = PhaseSplit{oil, x};
                eq.phases[kAqueous] = PhaseSplit{aqueous, a};
                return eq;
            }
        }
    }
    auto eq = TwoPhaseSplit(set, z, t_k, p_kpa);
    if (!eq) return fail(kFlashNotConverged);
    return eq;
}

double EquilibriumEnthalpy(const ComponentSet& set, const Equilibrium& eq, double t_k,
                           double p_kpa) {
    double h = 0.0;
    for (std::size_t p = 0; p < 3; ++p) {
        if (!eq.phases[p]) continue;
        const PhaseSplit& phase = *eq.phases[p];
        double hp = 0.0;
        for (std::size_t i = 0; i < set.Size(); ++i) {
            if (phase.x[i] == 0.0) continue;
            const Component& c = set.At(i);
            double hi = IdealGasEnthalpy(c, t_k);
            if (p == kVapour) {
                hi += ResidualEnthalpy(c, t_k, p_kpa);
            } else {
                hi -= VaporisationEnthalpy(c);
            }
            hp += phase.x[i] * hi;
        }
        h += phase.fraction * hp;
    }
    return h;
}

// ---- Fluid ----

std::vector<double> NormalisedComposition(const ComponentSet& set, const std::vector<double>& z) {
    if (z.size() != set.Size()) {
        throw std::invalid_argument("composition has " + std::to_string(z.size()) +
                                    " entries but the fluid has " + std::to_string(set.Size()) +
                                    " components");
    }
    double sum = 0.0;
    for (double v : z) {
        if (!std::isfinite(v) || v < 0.0) {
            throw std::invalid_argument("composition entries must be finite and not negative");
        }
        sum += v;
    }
    if (sum <= 0.0) throw std::invalid_argument("composition sums to zero");
    std::vector<double> out(z);
    // Fractions that already add up to 1 within rounding stay as given, so a
    // composition survives any number of save and load rounds unchanged.
    if (std::abs(sum - 1.0) > 1e-9) {
        for (double& v : out) v /= sum;
    }
    return out;
}

Fluid::Fluid(ComponentSetPtr set, std::vector<double> z, double t, double p, double n)
    : set_(std::move(set)), z_(std::move(z)), t_c_(t), p_kpa_(p), n_(n) {}

FluidPtr Fluid::Create(ComponentSetPtr set, const std::vector<double>& z, double temperature_c,
                       double pressure_kpa, double molar_flow) {
    if (!set) throw std::invalid_argument("a fluid needs a component set");
    auto zn = NormalisedComposition(*set, z);
    FluidPtr f(new Fluid(std::move(set), std::move(zn), 0.0, 101.325, 0.0));
    f->SetTemperatureC(temperature_c);
    f->SetPressureKPa(pressure_kpa);
    if (!std::isfinite(molar_flow)) throw std::invalid_argument("molar flow is not a number");
    f->n_ = molar_flow;
    return f;
}

void Fluid::SetTemperatureC(double t) {
    if (!UsableConditions(t + kKelvinOffset, 101.325)) {
        throw std::invalid_argument("temperature out of range: " + std::to_string(t) + " C");
    }
    if (t != t_c_) eq_.reset();
    t_c_ = t;
}

void Fluid::SetPressureKPa(double p) {
    if (!std::isfinite(p) || p <= 0.0) {
        throw std::invalid_argument("pressure must be positive: " + std::to_string(p) + " kPa");
    }
    if (p != p_kpa_) eq_.reset();
    p_kpa_ = p;
}

void Fluid::SetComposition(const std::vector<double>& fractions) {
    z_ = NormalisedComposition(*set_, fractions);
    eq_.reset();
}

double Fluid::MolecularWeight() const {
    double mw = 0.0;
    for (std::size_t i = 0; i < z_.size(); ++i) mw += z_[i] * set_->At(i).molecular_weight;
    return mw;
}

double Fluid::PhaseMolecularWeight(const PhaseSplit& phase) const {
    double mw = 0.0;
    for (std::size_t i = 0; i < phase.x.size(); ++i) {
        mw += phase.x[i] * set_->At(i).molecular_weight;
    }
    return mw;
}

const Equilibrium& Fluid::State() const {
    if (!eq_) {
        eq_ = FlashTP(*set_, z_, t_c_ + kKelvinOffset, p_kpa_);
        if (!eq_) {
            // Conditions are validated on entry, so this is a last resort:
            // treat the fluid as one vapour phase.
            Equilibrium single;
            single.phases[kVapour] = PhaseSplit{1.0, z_};
            eq_ = single;
        }
    }
    return *eq_;
}

double Fluid::MassDensity() const {
    const Equilibrium& eq = State();
    const double t_k = t_c_ + kKelvinOffset;
    double mass = 0.0, volume = 0.0;
    for (std::size_t p = 0; p < 3; ++p) {
        if (!eq.phases[p]) continue;
        const PhaseSplit& phase = *eq.phases[p];
        const double mw = PhaseMolecularWeight(phase);
        double molar_volume = 0.0;  // m3/kgmole
        if (p == kVapour) {
            double b = 0.0;
            for (std::size_t i = 0; i < phase.x.size(); ++i) {
                b += phase.x[i] * SecondVirial(set_->At(i), t_k);
            }
            const double z = std::max(0.3, 1.0 + b * p_kpa_ / (kGasConstant * t_k));
            molar_volume = z * kGasConstant * t_k / p_kpa_;
        } else {
            for (std::size_t i = 0; i < phase.x.size(); ++i) {
                const Component& c = set_->At(i);
                molar_volume += phase.x[i] * c.molecular_weight / c.liquid_density;
            }
        }
        mass += phase.fraction * mw;
        volume += phase.fraction * molar_volume;
    }
    return volume > 0.0 ? mass / volume : 0.0;
}

void Fluid::CopyFrom(const Fluid& other) {
    if (other.set_ != set_ && other.set_->Names() != set_->Names()) {
        throw std::invalid_argument("fluids of different component lists");
    }
    z_ = other.z_;
    t_c_ = other.t_c_;
    p_kpa_ = other.p_kpa_;
    n_ = other.n_;
    eq_ = other.eq_;
}

FluidPtr Fluid::Copy() const {
    FluidPtr f(new Fluid(set_, z_, t_c_, p_kpa_, n_));
    f->eq_ = eq_;
    return f;
}

std::shared_ptr<host::Phase> Fluid::MakePhase(PhaseIndex p) const {
    const auto& phase = State().phases[p];
    if (!phase) return nullptr;
    return std::make_shared<PhaseValue>(phase->fraction * n_, PhaseMolecularWeight(*phase),
                                        phase->x);
}

void Fluid::MixIn(const host::Fluid& other_base) {
    const auto* other = dynamic_cast<const Fluid*>(&other_base);
    if (!other) throw std::invalid_argument("cannot mix a fluid of another host");
    if (other->set_ != set_ && other->set_->Names() != set_->Names()) {
        throw std::invalid_argument("cannot mix fluids of different component lists");
    }
    // Flows add. Composition and enthalpy mix by the forward flows; a fluid
    // flowing backwards contributes nothing to what the mixture is made of.
    double w1 = std::max(n_, 0.0), w2 = std::max(other->n_, 0.0);
    if (w1 + w2 <= 0.0) w1 = w2 = 1.0;
    const double h = (w1 * MolarEnthalpy() + w2 * other->MolarEnthalpy()) / (w1 + w2);
    std::vector<double> z(z_.size());
    for (std::size_t i = 0; i < z.size(); ++i) z[i] = (w1 * z_[i] + w2 * other->z_[i]) / (w1 + w2);
    const double t = (w1 * t_c_ + w2 * other->t_c_) / (w1 + w2);
    const double p = std::min(p_kpa_, other->p_kpa_);
    n_ += other->n_;
    z_ = std::move(z);
    t_c_ = t;
    p_kpa_ = p;
    eq_.reset();
    // The mixture's temperature follows from the summed enthalpy; the flow
    // average stands in should that flash fail.
    PHFlash(p, h);
}

std::shared_ptr<host::RealValue> Fluid::Temperature() {
    return std::make_shared<FluidValue>(shared_from_this(), FluidValue::What::Temperature);
}
std::shared_ptr<host::RealValue> Fluid::Pressure() {
    return std::make_shared<FluidValue>(shared_from_this(), FluidValue::What::Pressure);
}
std::shared_ptr<host::RealValue> Fluid::MolarFlow() {
    return std::make_shared<FluidValue>(shared_from_this(), FluidValue::What::MolarFlow);
}

int Fluid::TPFlash(double temperature_c, double pressure_kpa) {
    int status = kFlashOk;
    auto eq = FlashTP(*set_, z_, temperature_c + kKelvinOffset, pressure_kpa, &status);
    if (!eq) return status;
    t_c_ = temperature_c;
    p_kpa_ = pressure_kpa;
    eq_ = std::move(eq);
    return kFlashOk;
}

int Fluid::PHFlash(double pressure_kpa, double molar_enthalpy) {
    if (!std::isfinite(molar_enthalpy) || !UsableConditions(300.0, pressure_kpa)) {
        return kFlashBadInput;
    }
    struct Point {
        double t;
        double residual;
        Equilibrium eq;
    };
    const auto evaluate = [&](double t_k) -> std::optional<Point> {
        auto eq = FlashTP(*set_, z_, t_k, pressure_kpa);
        if (!eq) return std::nullopt;
        const double r = EquilibriumEnthalpy(*set_, *eq, t_k, pressure_kpa) - molar_enthalpy;
        return Point{t_k, r, std::move(*eq)};
    };
    // Bracket the temperature, starting around the present one.
    const double t0 = std::min(kMaxTempK, std::max(kMinTempK, t_c_ + kKelvinOffset));
    auto lo = evaluate(std::max(kMinTempK, t0 - 10.0));
    auto hi = evaluate(std::min(kMaxTempK, t0 + 10.0));
    if (!lo || !hi) return kFlashNotConverged;
    double step = 20.0;
    while (lo->residual > 0.0 && lo->t > kMinTempK) {
        auto next = evaluate(std::max(kMinTempK, lo->t - step));
        if (!next) return kFlashNotConverged;
        hi = std::move(lo);
        lo = std::move(next);
        step *= 2.0;
    }
    step = 20.0;
    while (hi->residual < 0.0 && hi->t < kMaxTempK) {
        auto next = evaluate(std::min(kMaxTempK, hi->t + step));
        if (!next) return kFlashNotConverged;
        lo = std::move(hi);
        hi = std::move(next);
        step *= 2.0;
    }
    if (lo->residual > 0.0 || hi->residual < 0.0) return kFlashNoTemperature;
    const double tolerance = 1e-9 * std::max(1.0, std::abs(molar_enthalpy)) + 1e-9;
    // Secant steps inside the bracket, with a bisection every third step so
    // that the bracket always shrinks.
    Point* best = std::abs(lo->residual) < std::abs(hi->residual) ? &*lo : &*hi;
    for (int it = 0; it < 200 && std::abs(best->residual) > tolerance && hi->t - lo->t > 1e-9;
         ++it) {
        double t = lo->t - lo->residual * (hi->t - lo->t) / (hi->residual - lo->residual);
        if (it % 3 == 2 || !(t > lo->t && t < hi->t)) t = 0.5 * (lo->t + hi->t);
        auto mid = evaluate(t);
        if (!mid) return kFlashNotConverged;
        if (mid->residual < 0.0) {
            lo = std::move(mid);
            best = &*lo;
        } else {
            hi = std::move(mid);
            best = &*hi;
        }
    }
    if (std::abs(best->residual) > 1e-5 * std::max(1.0, std::abs(molar_enthalpy))) {
        return kFlashNotConverged;
    }
    t_c_ = best->t - kKelvinOffset;
    p_kpa_ = pressure_kpa;
    eq_ = std::move(best->eq);
    return kFlashOk;
}

double Fluid::MolarEnthalpy() const {
    return EquilibriumEnthalpy(*set_, State(), t_c_ + kKelvinOffset, p_kpa_);
}

double Fluid::VapourFraction() const {
    const auto& v = State().phases[kVapour];
    return v ? v->fraction : 0.0;
}

double Fluid::MassVapourFraction() const {
    const auto& v = State().phases[kVapour];
    if (!v) return 0.0;
    const double mw = MolecularWeight();
    return mw > 0.0 ? Clamp01(v->fraction * PhaseMolecularWeight(*v) / mw) : 0.0;
}

}  // namespace refhost

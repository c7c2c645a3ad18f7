// The reference host's own unit operations: schedules, feeds, sinks, valves
// and feedback controllers, with their pressure-flow equations.
#include "unit_ops.h"

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace refhost {

namespace {

class MemberValue final : public host::RealValue {
  public:
    MemberValue(std::function<double()> get, std::function<void(double)> set, std::string quantity)
        : get_(std::move(get)), set_(std::move(set)), quantity_(std::move(quantity)) {}
    double GetValue() const override { return get_(); }
    void SetValue(double value) override {
        if (!std::isfinite(value)) throw std::invalid_argument("value is not a number");
        set_(value);
    }
    std::string Quantity() const override { return quantity_; }

  private:
    std::function<double()> get_;
    std::function<void(double)> set_;
    std::string quantity_;
};

constexpr double kSmoothingKPa = 1e-3;
// A closed valve still passes this share of its open flow, so that a section
// shut in between closed valves keeps a defined pressure.
constexpr double kLeakage = 1e-6;

double Opening(double position) {
    return std::max(position / 100.0, kLeakage);
}

}  // namespace

Schedule::Schedule(std::vector<std::pair<double, double>> points) : points_(std::move(points)) {
    for (std::size_t i = 0; i < points_.size(); ++i) {
        if (!std::isfinite(points_[i].first) || !std::isfinite(points_[i].second)) {
            throw std::invalid_argument("schedule points must be numbers");
        }
        if (i > 0 && points_[i].first <= points_[i - 1].first) {
            throw std::invalid_argument("schedule times must increase");
        }
    }
}

double Schedule::At(double time) const {
    if (points_.empty()) return 0.0;
    if (time <= points_.front().first) return points_.front().second;
    if (time >= points_.back().first) return points_.back().second;
    for (std::size_t i = 1; i < points_.size(); ++i) {
        if (time <= points_[i].first) {
            const auto& [t0, v0] = points_[i - 1];
            const auto& [t1, v1] = points_[i];
            return v0 + (v1 - v0) * (time - t0) / (t1 - t0);
        }
    }
    return points_.back().second;
}

std::shared_ptr<host::RealValue> UnitOp::Member(const std::string& name) {
    auto it = members_.find(name);
    if (it == members_.end()) {
        throw std::invalid_argument("operation " + name_ + " has no member " + name);
    }
    return it->second;
}

std::vector<std::string> UnitOp::MemberNames() const {
    std::vector<std::string> names;
    for (const auto& [name, value] : members_) names.push_back(name);
    return names;
}

void UnitOp::AddMember(const std::string& name, std::function<double()> get,
                       std::function<void(double)> set, std::string quantity) {
    members_[name] =
        std::make_shared<MemberValue>(std::move(get), std::move(set), std::move(quantity));
}

// ---- Feed ----

Feed::Feed(std::string name, StreamPtr outlet, std::vector<double> composition,
           Schedule temperature, Mode mode, Schedule pressure_or_flow)
    : UnitOp(std::move(name), "feed"),
      outlet_(std::move(outlet)),
      composition_(std::move(composition)),
      temperature_(std::move(temperature)),
      mode_(mode),
      value_(std::move(pressure_or_flow)) {
    if (!outlet_) throw std::invalid_argument("feed " + Name() + " needs an outlet stream");
    composition_ = NormalisedComposition(*outlet_->GetFluid()->Components(), composition_);
    AddMember(
        "Temperature", [this] { return outlet_->GetFluid()->TemperatureC(); },
        [this](double v) { temperature_ = Schedule(v); }, "temperature");
    if (mode_ == Mode::Pressure) {
        AddMember(
            "Pressure", [this] { return outlet_->GetFluid()->PressureKPa(); },
            [this](double v) { value_ = Schedule(v); }, "pressure");
    } else {
        AddMember(
            "MassFlow", [this] { return outlet_->GetFluid()->MassFlowValue(); },
            [this](double v) { value_ = Schedule(v); }, "massflow");
    }
}

void Feed::BeginStep(double t) {
    Fluid& f = *outlet_->GetFluid();
    // A mass-flow spec holds the mass flow whatever the composition.
    const bool hold_mass =
        outlet_->FlowSpecified() && outlet_->FlowBasisIndex() == Stream::kMassBasis;
    const double mass = f.MassFlowValue();
    f.SetComposition(composition_);
    if (hold_mass) f.SetMassFlow(mass);
    f.SetTemperatureC(temperature_.At(t));
    if (mode_ == Mode::Pressure) {
        f.SetPressureKPa(value_.At(t));
        outlet_->SpecifyPressure(true);
    } else {
        f.SetMassFlow(value_.At(t));
        outlet_->SpecifyFlow(true, Stream::kMassBasis);
    }
}

// ---- Sink ----

Sink::Sink(std::string name, StreamPtr inlet, Schedule pressure)
    : UnitOp(std::move(name), "sink"), inlet_(std::move(inlet)), pressure_(std::move(pressure)) {
    if (!inlet_) throw std::invalid_argument("sink " + Name() + " needs an inlet stream");
    AddMember(
        "Pressure", [this] { return inlet_->GetFluid()->PressureKPa(); },
        [this](double v) { pressure_ = Schedule(v); }, "pressure");
}

void Sink::BeginStep(double t) {
    inlet_->GetFluid()->SetPressureKPa(pressure_.At(t));
    inlet_->SpecifyPressure(true);
}

// ---- Valve ----

Valve::Valve(std::string name, StreamPtr inlet, StreamPtr outlet, double cv, double position)
    : UnitOp(std::move(name), "valveop"),
      inlet_(std::move(inlet)),
      outlet_(std::move(outlet)),
      cv_(cv),
      position_(0.0) {
    if (!inlet_ || !outlet_) throw std::invalid_argument("valve " + Name() + " needs two streams");
    if (!(cv_ > 0.0) || !std::isfinite(cv_)) {
        throw std::invalid_argument("valve " + Name() + ": Cv must be positive");
    }
    SetPosition(position);
    AddMember(
        "ActuatorPosition", [this] { return position_; }, [this](double v) { SetPosition(v); },
        "percent");
    AddMember(
        "Cv", [this] { return cv_; },
        [this](double v) {
            if (!(v > 0.0)) throw std::invalid_argument("Cv must be positive");
            cv_ = v;
        });
}

void Valve::SetPosition(double percent) {
    if (!std::isfinite(percent)) throw std::invalid_argument("valve position is not a number");
    position_ = std::clamp(percent, 0.0, 100.0);
}

double Valve::Conductance(double cv, double position, double density) {
    return cv * Opening(position) * std::sqrt(density);
}

double Valve::Drop(double conductance, double mass_flow) {
    const double m0 = conductance * std::sqrt(kSmoothingKPa);
    const double m2 = mass_flow * mass_flow;
    return mass_flow * std::pow(m2 * m2 + m0 * m0 * m0 * m0, 0.25) / (conductance * conductance);
}

double Valve::DropSlope(double conductance, double mass_flow) {
    const double m0 = conductance * std::sqrt(kSmoothingKPa);
    const double m4 = std::pow(mass_flow, 4), a = m0 * m0 * m0 * m0;
    // d/dm [m (m^4+a)^(1/4)] = (2 m^4 + a) (m^4+a)^(-3/4)
    return (2.0 * m4 + a) / std::pow(m4 + a, 0.75) / (conductance * conductance);
}

void Valve::AddEquations(PFNetwork& network) const {
    const int nin = network.FlowUnknown(*inlet_);
    const int nout = network.FlowUnknown(*outlet_);
    const int pin = network.PressureUnknown(*inlet_);
    const int pout = network.PressureUnknown(*outlet_);
    network.AddLinear(Name() + " flow continuity", {{nin, 1.0}, {nout, -1.0}}, 0.0);
    // Density of the upstream side, held for the solve.
    const bool forward = inlet_->GetFluid()->PressureKPa() >= outlet_->GetFluid()->PressureKPa();
    const double density = (forward ? inlet_ : outlet_)->GetFluid()->MassDensity();
    const double mw = inlet_->GetFluid()->MolecularWeight();
    const double k = Conductance(cv_, position_, density);
    // Written as the pressure drop the flow needs: the drop grows with the
    // flow and curves away from zero on both sides, so Newton's method
    // settles on a valve that passes almost nothing. Written as the flow a
    // drop gives, its square root sends Newton back and forth across zero.
    network.Add(
        {Name() + " valve equation", [=](const std::vector<double>& u, std::vector<PFTerm>& g) {
             const double dp = u[static_cast<std::size_t>(pin)] - u[static_cast<std::size_t>(pout)];
             const double m = mw * u[static_cast<std::size_t>(nin)];
             g.push_back({pin, 1.0});
             g.push_back({pout, -1.0});
             g.push_back({nin, -mw * DropSlope(k, m)});
             return dp - Drop(k, m);
         }});
}

void Valve::UpdateOutlets() {
    const Fluid& in = *inlet_->GetFluid();
    Fluid& out = *outlet_->GetFluid();
    const double h = in.MolarEnthalpy();
    const double n = out.MolarFlowKmol();
    const double p = out.PressureKPa();
    out.SetComposition(in.Composition());
    if (out.PHFlash(p, h) != kFlashOk) {
        // Keep the inlet temperature should the enthalpy be out of reach.
        out.SetTemperatureC(in.TemperatureC());
    }
    out.SetMolarFlowKmol(n);
}

// ---- Controller ----

Controller::Controller(std::string name, StreamPtr pv_stream, StreamValue::What pv,
                       Schedule setpoint, double gain, double integral_time, Action action,
                       double output, std::shared_ptr<Valve> valve, bool automatic)
    : UnitOp(std::move(name), "fbcontrolop"),
      pv_stream_(std::move(pv_stream)),
      pv_(pv),
      setpoint_(std::move(setpoint)),
      gain_(gain),
      ti_(integral_time),
      action_(action),
      op_(std::clamp(output, 0.0, 100.0)),
      valve_(std::move(valve)),
      automatic_(automatic) {
    if (!pv_stream_) throw std::invalid_argument("controller " + Name() + " needs a PV stream");
    if (!std::isfinite(gain_) || !std::isfinite(ti_) || ti_ < 0.0) {
        throw std::invalid_argument("controller " + Name() +
                                    ": gain and integral time must be "
                                    "numbers, the integral time not negative");
    }
    sp_ = setpoint_.At(0.0);
    AddMember(
        "OP", [this] { return op_; }, [this](double v) { op_ = std::clamp(v, 0.0, 100.0); },
        "percent");
    // The set point and the process value are of the quantity measured, so
    // that a record of them converts to the unit asked for.
    const std::string measured = StreamValue(pv_stream_, pv_).Quantity();
    AddMember(
        "SP", [this] { return sp_; }, [this](double v) { setpoint_ = Schedule(v); }, measured);
    AddMember(
        "PV", [this] { return ProcessValue(); },
        [this](double) { throw std::invalid_argument("PV is read-only"); }, measured);
}

double Controller::ProcessValue() const {
    return StreamValue(pv_stream_, pv_).GetValue();
}

void Controller::BeginStep(double t) {
    sp_ = setpoint_.At(t);
    if (valve_) valve_->SetPosition(op_);
}

void Controller::EndStep(double t, double dt) {
    sp_ = setpoint_.At(t);
    if (!automatic_) return;
    const double pv = ProcessValue();
    const double error = action_ == Action::Reverse ? sp_ - pv : pv - sp_;
    if (!has_error_) {
        last_error_ = error;
        has_error_ = true;
    }
    // Velocity form: the output moves, so clamping it never winds up.
    double delta = gain_ * (error - last_error_);
    if (ti_ > 0.0) delta += gain_ * dt / ti_ * error;
    last_error_ = error;
    op_ = std::clamp(op_ + delta, 0.0, 100.0);
    if (valve_) valve_->SetPosition(op_);
}

}  // namespace refhost

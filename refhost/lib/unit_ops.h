#pragma once

// The reference host's own unit operations: feeds, sinks, valves and
// controllers, and the schedules that drive them.

#include <functional>
#include <map>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "host/objects.h"
#include "pf_solver.h"
#include "stream.h"

namespace refhost {

// A value that changes with time: linear between (time, value) points and
// constant before the first and after the last.
class Schedule {
  public:
    Schedule() = default;
    explicit Schedule(double constant) : points_{{0.0, constant}} {}
    // Points must be in increasing time; throws std::invalid_argument otherwise.
    explicit Schedule(std::vector<std::pair<double, double>> points);
    double At(double time) const;
    bool IsConstant() const { return points_.size() <= 1; }
    const std::vector<std::pair<double, double>>& Points() const { return points_; }

  private:
    std::vector<std::pair<double, double>> points_;
};

// A unit operation of the reference host's own: it owns no streams, it is
// connected to them.
class UnitOp : public host::Operation {
  public:
    UnitOp(std::string name, std::string type) : name_(std::move(name)), type_(std::move(type)) {}
    std::string Name() const override { return name_; }
    std::string TypeName() const override { return type_; }
    // Numeric members by name; throws std::invalid_argument for an unknown one.
    std::shared_ptr<host::RealValue> Member(const std::string& name) override;
    std::vector<std::string> MemberNames() const;

    virtual std::vector<StreamPtr> Inlets() const { return {}; }
    virtual std::vector<StreamPtr> Outlets() const { return {}; }
    // Start of a step: boundary values and specifications for time `t`.
    virtual void BeginStep(double /*t*/) {}
    // Equations of the pressure-flow network.
    virtual void AddEquations(PFNetwork& /*network*/) const {}
    // After the pressure-flow solve: outlet temperature and composition.
    virtual void UpdateOutlets() {}
    // End of a step of length dt that ends at time t.
    virtual void EndStep(double /*t*/, double /*dt*/) {}

  protected:
    void AddMember(const std::string& name, std::function<double()> get,
                   std::function<void(double)> set, std::string quantity = "");

  private:
    std::string name_;
    std::string type_;
    std::map<std::string, std::shared_ptr<host::RealValue>> members_;
};

using UnitOpPtr = std::shared_ptr<UnitOp>;

// A feed: gives its outlet stream a composition and temperature and either a
// pressure or a mass flow.
class Feed final : public UnitOp {
  public:
    enum class Mode { Pressure, Flow };
    Feed(std::string name, StreamPtr outlet, std::vector<double> composition, Schedule temperature,
         Mode mode, Schedule pressure_or_flow);
    std::vector<StreamPtr> Outlets() const override { return {outlet_}; }
    void BeginStep(double t) override;

    Mode GetMode() const { return mode_; }
    const std::vector<double>& Composition() const { return composition_; }
    const Schedule& TemperatureSchedule() const { return temperature_; }
    const Schedule& ValueSchedule() const { return value_; }

  private:
    StreamPtr outlet_;
    std::vector<double> composition_;
    Schedule temperature_;
    Mode mode_;
    Schedule value_;
};

// A sink holding its inlet stream at a pressure.
class Sink final : public UnitOp {
  public:
    Sink(std::string name, StreamPtr inlet, Schedule pressure);
    std::vector<StreamPtr> Inlets() const override { return {inlet_}; }
    void BeginStep(double t) override;
    const Schedule& PressureSchedule() const { return pressure_; }

  private:
    StreamPtr inlet_;
    Schedule pressure_;
};

// A valve: mass flow = Cv * (position / 100) * sqrt(density * dP), expanding
// at constant enthalpy. The position (0-100 %) is "ActuatorPosition".
class Valve final : public UnitOp {
  public:
    Valve(std::string name, StreamPtr inlet, StreamPtr outlet, double cv, double position);
    std::vector<StreamPtr> Inlets() const override { return {inlet_}; }
    std::vector<StreamPtr> Outlets() const override { return {outlet_}; }
    void AddEquations(PFNetwork& network) const override;
    void UpdateOutlets() override;

    double Cv() const { return cv_; }
    double Position() const { return position_; }
    void SetPosition(double percent);
    // The valve passes m = k sqrt(dp) (kg/s, kPa), k = Cv opening sqrt(density
    // in kg/m3). Drop is the pressure drop (kPa) for a mass flow, m |m| / k^2,
    // turning linear within about 1e-3 kPa of zero so that a closed line's
    // valve has a finite, non-zero resistance there; DropSlope is its slope.
    static double Conductance(double cv, double position, double density);
    static double Drop(double conductance, double mass_flow);
    static double DropSlope(double conductance, double mass_flow);

  private:
    StreamPtr inlet_;
    StreamPtr outlet_;
    double cv_;
    double position_;
};

// A feedback PI controller acting on a valve's position.
class Controller final : public UnitOp {
  public:
    enum class Action { Reverse, Direct };  // reverse: output rises when PV is below SP
    Controller(std::string name, StreamPtr pv_stream, StreamValue::What pv, Schedule setpoint,
               double gain, double integral_time, Action action, double output,
               std::shared_ptr<Valve> valve, bool automatic);
    void BeginStep(double t) override;
    void EndStep(double t, double dt) override;

    double Output() const { return op_; }
    double ProcessValue() const;
    double Setpoint() const { return sp_; }
    const StreamPtr& PVStream() const { return pv_stream_; }
    StreamValue::What PVKind() const { return pv_; }
    const Schedule& SetpointSchedule() const { return setpoint_; }
    double Gain() const { return gain_; }
    double IntegralTime() const { return ti_; }
    Action GetAction() const { return action_; }
    const std::shared_ptr<Valve>& Target() const { return valve_; }
    bool Automatic() const { return automatic_; }

  private:
    StreamPtr pv_stream_;
    StreamValue::What pv_;
    Schedule setpoint_;
    double sp_ = 0.0;
    double gain_;  // % of output per unit of PV
    double ti_;    // s; 0 switches the integral action off
    Action action_;
    double op_;
    std::shared_ptr<Valve> valve_;
    bool automatic_;
    bool has_error_ = false;
    double last_error_ = 0.0;
};

}  // namespace refhost

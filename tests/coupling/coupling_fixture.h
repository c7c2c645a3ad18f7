#pragma once

// The coupling tests' host world: streams of the reference host connected as
// inlets and outlets, a dynamic container, and a fluid and stream whose phases
// a test chooses.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "extension/zefa.h"
#include "host_world.h"
#include "lib/case.h"
#include "lib/dynamic_container.h"
#include "lib/fluid.h"
#include "lib/stream.h"
#include "lib/variables.h"

namespace zefa::test::coupling {

using namespace refhost;

const std::string kSuffix = ": PIPE-100: KAVRIS-ZEFA Link Error";
// A phase and a fluid whose phases the test chooses.
class TestPhase final : public host::Phase {
  public:
    TestPhase(double n, double mw, std::vector<double> x) : n_(n), mw_(mw), x_(std::move(x)) {}
    double MolarFlow() const override { return n_; }
    double MassFlow() const override { return n_ * mw_; }
    double MolecularWeight() const override { return mw_; }
    std::vector<double> Composition() const override { return x_; }

  private:
    double n_, mw_;
    std::vector<double> x_;
};

class TestFluid final : public host::Fluid {
  public:
    std::shared_ptr<host::Phase> vapour, liquid, aqueous;
    std::vector<double> z = {0.25, 0.25, 0.25, 0.25};
    double vapour_fraction = 0.0;  // molar
    double molar_flow = 0.0;
    std::shared_ptr<host::Fluid> Clone() const override {
        return std::make_shared<TestFluid>(*this);
    }
    std::shared_ptr<host::Phase> VapourPhase() const override { return vapour; }
    std::shared_ptr<host::Phase> LightLiquidPhase() const override { return liquid; }
    std::shared_ptr<host::Phase> AqueousPhase() const override { return aqueous; }
    void MixIn(const host::Fluid&) override {}
    std::shared_ptr<host::RealValue> Temperature() override { return nullptr; }
    std::shared_ptr<host::RealValue> Pressure() override { return nullptr; }
    std::shared_ptr<host::RealValue> MolarFlow() override { return nullptr; }
    std::vector<double> Composition() const override { return z; }
    void SetComposition(const std::vector<double>& f) override { z = f; }
    int TPFlash(double, double) override { return 0; }
    int PHFlash(double, double) override { return 0; }
    double MolarEnthalpy() const override { return 0; }
    double VapourFraction() const override { return vapour_fraction; }
    double MassVapourFraction() const override { return 0; }
    double MolarFlowValue() const override { return molar_flow; }
    double MassFlowValue() const override { return 0; }
};

// A stream whose values and fluid the test sets; its fluid is a TestFluid.
class TestStream final : public host::MaterialStream {
  public:
    explicit TestStream(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    std::string TaggedName() const override { return name_; }
    std::shared_ptr<host::RealValue> Pressure() override { return pressure; }
    std::shared_ptr<host::RealValue> Temperature() override { return temperature; }
    std::shared_ptr<host::RealValue> MassFlow() override { return mass_flow; }
    std::shared_ptr<host::RealValue> MolarFlow() override { return molar_flow; }
    double MonikerValue(const std::string&) const override { return 0; }
    std::shared_ptr<host::Fluid> DuplicateFluid() const override { return fluid.Clone(); }

    std::shared_ptr<MemNumberVariable> pressure = Value("pressure", 0.0);
    std::shared_ptr<MemNumberVariable> temperature = Value("temperature", 0.0);
    std::shared_ptr<MemNumberVariable> mass_flow = Value("massflow", 0.0);
    std::shared_ptr<MemNumberVariable> molar_flow = Value("molarflow", 0.0);
    TestFluid fluid;

  private:
    static std::shared_ptr<MemNumberVariable> Value(const std::string& quantity, double v) {
        auto value = std::make_shared<MemNumberVariable>(quantity, quantity);
        value->SetValue(v);
        return value;
    }
    std::string name_;
};

class Coupling : public zefa::test::HostWorld {
  protected:
    void SetUp() override {
        HostWorld::SetUp();
        BindOnly();
        Num("boolTraceErrors", 1);
        Num("boolWritePFEquations", 0);
        std::weak_ptr<PipelineUnit> weak = unit;
        dyn = std::make_shared<HostDynamicContainer>("PIPE-100", [weak] {
            return weak.lock()->Get<host::StreamListVariable>("Outlets")->GetStreams();
        });
        State().dynContainer() = dyn;
    }

    void Num(const std::string& tag, double v) {
        unit->Get<host::NumberVariable>(tag)->SetValue(v);
    }
    void Array(const std::string& tag, host::NumberArray a) {
        unit->Get<host::NumberArrayVariable>(tag)->SetValues(a);
    }
    host::NumberArray Values(const std::string& tag) {
        return unit->Get<host::NumberArrayVariable>(tag)->GetValues();
    }
    // Connects streams; `inlet_boundary` / `outlet_source` are the check boxes.
    using Streams = std::vector<std::shared_ptr<host::MaterialStream>>;
    void Connect(Streams inlets, std::vector<double> inlet_boundary, Streams outlets,
                 std::vector<double> outlet_source) {
        unit->Get<host::StreamListVariable>("Inlets")->SetStreams(inlets);
        unit->Get<host::StreamListVariable>("Outlets")->SetStreams(outlets);
        Array("InletBoundaryCB", host::NumberArray::OneD(inlet_boundary));
        Array("OutletSourceCB", host::NumberArray::OneD(outlet_source));
        State().lists().intNumInlets = static_cast<std::int16_t>(inlets.size());
        State().lists().intNumOutlets = static_cast<std::int16_t>(outlets.size());
    }
    StreamPtr MakeStream(const std::string& name, std::vector<double> z, double t, double p,
                         double n) {
        return Stream::Create(name, Fluid::Create(set, z, t, p, n));
    }
    std::vector<std::string> Lines() const { return window->Lines(); }

    ComponentSetPtr set = std::make_shared<ComponentSet>(
        std::vector<std::string>{"methane", "propane", "n-hexane", "water"});
    std::shared_ptr<HostDynamicContainer> dyn;
};

}  // namespace zefa::test::coupling

#pragma once

// The host world the extension tests start from: a fixed clock, a temporary
// folder, named streams and a pipeline unit in a reference-host case.

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "extension/inspector.h"
#include "extension/zefa.h"
#include "fake_server.h"
#include "lib/case.h"
#include "lib/dynamic_container.h"
#include "lib/stream.h"
#include "lib/variables.h"

namespace zefa::test {

// What the message window of the test unit "PIPE-100" adds to a report.
inline const std::string kSuffix = ": PIPE-100: KAVRIS-ZEFA Link Error";
inline std::string Reported(const std::string& text) {
    return text + kSuffix;
}

// A fixed date and time with the machine's own tick counter and sleep.
class FixedClock final : public host::Clock {
  public:
    host::DateTime now{2006, 1, 5, 12, 30, 45};
    host::DateTime Now() const override { return now; }
    std::uint64_t TickCountMs() const override { return real_->TickCountMs(); }
    void SleepMs(std::uint32_t ms) const override { real_->SleepMs(ms); }

  private:
    std::shared_ptr<host::Clock> real_ = host::DefaultClock();
};

// A temporary folder, removed with everything in it.
class TempFolder {
  public:
    TempFolder();
    ~TempFolder();
    const std::filesystem::path& Path() const { return path_; }
    std::string Str() const { return path_.string(); }

  private:
    std::filesystem::path path_;
};

void WriteFile(const std::filesystem::path& path, const std::string& text);
std::string ReadFile(const std::filesystem::path& path);
// Waits (bounded) until the process has ended; true when it has.
bool WaitGone(int pid, int ms = 5000);

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

    std::shared_ptr<refhost::MemNumberVariable> pressure = Value("pressure", 0.0);
    std::shared_ptr<refhost::MemNumberVariable> temperature = Value("temperature", 0.0);
    std::shared_ptr<refhost::MemNumberVariable> mass_flow = Value("massflow", 0.0);
    std::shared_ptr<refhost::MemNumberVariable> molar_flow = Value("molarflow", 0.0);
    TestFluid fluid;

  private:
    static std::shared_ptr<refhost::MemNumberVariable> Value(const std::string& quantity,
                                                             double v) {
        auto value = std::make_shared<refhost::MemNumberVariable>(quantity, quantity);
        value->SetValue(v);
        return value;
    }
    std::string name_;
};

// The unit seen through a container of the test's own: variables, name,
// messages, case and user interface are the unit's unless a test overrides
// them to play a host that behaves differently.
class UnitContainer : public host::Container {
  public:
    explicit UnitContainer(std::shared_ptr<refhost::PipelineUnit> unit) : unit_(std::move(unit)) {}
    std::shared_ptr<host::Variable> FindVariable(const std::string& tag) override {
        return unit_->FindVariable(tag);
    }
    std::string Name() const override { return unit_->Name(); }
    void WriteMessage(const std::string& text) override { unit_->WriteMessage(text); }
    std::shared_ptr<host::Case> GetCase() override { return unit_->GetCase(); }
    std::shared_ptr<host::UserInterface> GetUserInterface() override {
        return unit_->GetUserInterface();
    }

  protected:
    std::shared_ptr<refhost::PipelineUnit> unit_;
};

// The host world every extension test starts from: a pipeline unit named
// "PIPE-100" in a reference-host case whose case, model and extension folders
// are temporary, a scripted user interface, a fixed clock, and the extension
// object, created but not initialised.
class HostWorld : public ::testing::Test {
  protected:
    void SetUp() override;
    void TearDown() override;
    // Initialize as the host does for a new or a recalled case.
    std::int32_t Initialize(bool recalled);
    // Binds the extension to the unit, then sets every variable back to its
    // empty value; what Initialize shows for a new case stays out of view.
    void BindOnEmptyVariables();
    // Binds the variables only (no defaults), as a recalled unit that the
    // coupling code finds.
    void BindOnly();
    // The extension's private state.
    ZefaInspector State() { return ZefaInspector(*zefa); }
    // Adds the position texts, which the host keeps outside the bound variables.
    void UsePositionVariables();
    // A new case connected (without auto-start) to 127.0.0.1:port.
    void ConnectNewCase(int port);
    // The example flowline's connections in a dynamic run: the host feeds the
    // inlet source IN from `inlet` and holds the pressure of the outlet
    // boundary OUT at `outlet`, with the equations on and the outlet's flow
    // switch as given.
    void ConnectFlowline(double flow_switch);

    std::vector<std::string> Shown(const std::string& kind) const;  // "title|text"
    std::vector<std::string> Boxes() const { return Shown("message"); }
    std::vector<std::string> StreamNames(const std::string& tag);
    // Message-window lines after the new-case recommendation.
    std::vector<std::string> Reports() const;
    // Message-window lines written since the last Mark().
    void Mark() { marked = window->Lines().size(); }
    std::vector<std::string> Since() const {
        const auto& lines = window->Lines();
        return {lines.begin() + static_cast<std::ptrdiff_t>(std::min(marked, lines.size())),
                lines.end()};
    }

    template <class T>
    std::shared_ptr<T> Var(const std::string& tag) {
        return unit->Get<T>(tag);
    }
    void SetText(const std::string& tag, const std::string& v) {
        Var<host::TextVariable>(tag)->SetValue(v);
    }
    void SetNumber(const std::string& tag, double v) {
        Var<host::NumberVariable>(tag)->SetValue(v);
    }
    std::string GetText(const std::string& tag) { return Var<host::TextVariable>(tag)->GetValue(); }
    double GetNumber(const std::string& tag) { return Var<host::NumberVariable>(tag)->GetValue(); }
    std::vector<double> Numbers(const std::string& tag) {
        return Var<host::NumberArrayVariable>(tag)->GetValues().data;
    }
    std::vector<std::string> Texts(const std::string& tag) {
        return Var<host::TextArrayVariable>(tag)->GetValues();
    }
    void SetNumbers(const std::string& tag, const std::vector<double>& values) {
        Var<host::NumberArrayVariable>(tag)->SetValues(host::NumberArray::OneD(values));
    }
    void SetTexts(const std::string& tag, const std::vector<std::string>& values) {
        Var<host::TextArrayVariable>(tag)->SetValues(values);
    }

    std::unique_ptr<TempFolder> case_dir, model_dir, ext_dir;
    std::shared_ptr<FixedClock> clock = std::make_shared<FixedClock>();
    std::shared_ptr<refhost::RefCase> host_case;
    std::shared_ptr<refhost::MessageWindow> window;
    std::shared_ptr<refhost::ScriptedUserInterface> ui;
    std::shared_ptr<refhost::PipelineUnit> unit;
    std::unique_ptr<ZEFA> zefa;
    bool initialized = false;
    bool terminated = false;
    std::size_t marked = 0;                              // Mark()'s
    std::shared_ptr<refhost::Stream> inlet, outlet;      // ConnectFlowline's
    std::shared_ptr<refhost::HostDynamicContainer> dyn;  // ConnectFlowline's
};

// The host world with the extension bound to a unit whose variables are all
// unset but the trace switch: reports go to the message window.
class ExtensionTest : public HostWorld {
  protected:
    void SetUp() override {
        HostWorld::SetUp();
        BindOnEmptyVariables();
        SetNumber("boolTraceErrors", 1);
    }
};

// The host world with a recording stand-in server.
class ServerWorld : public HostWorld {
  protected:
    FakeServer server;
};

}  // namespace zefa::test

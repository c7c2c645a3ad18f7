#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/user_interface.h"
#include "host/variables.h"

// The host simulator's object model as the extension sees it. Every call that
// fails in the host throws an exception; the extension's error traps catch it.
namespace host {

class Case;
class Flowsheet;
class Fluid;
class Plot;

// A phase of a flashed fluid.
class Phase {
  public:
    virtual ~Phase() = default;
    virtual double MolarFlow() const = 0;        // kgmole/s
    virtual double MassFlow() const = 0;         // kg/s
    virtual double MolecularWeight() const = 0;  // kg/kgmole
    // Mole fractions in the host's component order.
    virtual std::vector<double> Composition() const = 0;
};

// A host fluid: a copy that can be changed and flashed without touching the
// stream it came from.
class Fluid {
  public:
    virtual ~Fluid() = default;
    virtual std::shared_ptr<Fluid> Clone() const = 0;

    // Phases after the last flash; null when the phase is absent.
    virtual std::shared_ptr<Phase> VapourPhase() const = 0;
    virtual std::shared_ptr<Phase> LightLiquidPhase() const = 0;
    virtual std::shared_ptr<Phase> AqueousPhase() const = 0;

    // Adds another fluid: flows and enthalpy add, composition mixes by moles.
    virtual void MixIn(const Fluid& other) = 0;

    virtual std::shared_ptr<RealValue> Temperature() = 0;  // C
    virtual std::shared_ptr<RealValue> Pressure() = 0;     // kPa
    virtual std::shared_ptr<RealValue> MolarFlow() = 0;    // kgmole/s
    virtual std::vector<double> Composition() const = 0;
    virtual void SetComposition(const std::vector<double>& fractions) = 0;

    // Flashes; 0 means success. A failed flash leaves the fluid as it was.
    virtual int TPFlash(double temperature_c, double pressure_kpa) = 0;
    virtual int PHFlash(double pressure_kpa, double molar_enthalpy) = 0;

    virtual double MolarEnthalpy() const = 0;       // kJ/kgmole
    virtual double VapourFraction() const = 0;      // molar basis
    virtual double MassVapourFraction() const = 0;  // mass basis
    virtual double MolarFlowValue() const = 0;
    virtual double MassFlowValue() const = 0;
};

// A host material stream.
class MaterialStream {
  public:
    virtual ~MaterialStream() = default;
    virtual std::string Name() const = 0;
    // The name as the host tags it in messages ("TaggedName").
    virtual std::string TaggedName() const = 0;

    virtual std::shared_ptr<RealValue> Pressure() = 0;     // kPa
    virtual std::shared_ptr<RealValue> Temperature() = 0;  // C
    virtual std::shared_ptr<RealValue> MassFlow() = 0;     // kg/s, with its State
    virtual std::shared_ptr<RealValue> MolarFlow() = 0;    // kgmole/s

    double PressureValue() { return Pressure()->GetValue(); }
    double TemperatureValue() { return Temperature()->GetValue(); }
    double MassFlowValue() { return MassFlow()->GetValue(); }
    double MolarFlowValue() { return MolarFlow()->GetValue(); }

    // Spec flags read by moniker (":Boolean.520", ":Boolean.521",
    // ":Index.528"); throws for a moniker the host does not know.
    virtual double MonikerValue(const std::string& moniker) const = 0;

    // A copy of the stream's fluid.
    virtual std::shared_ptr<Fluid> DuplicateFluid() const = 0;
};

// Any unit operation of a flowsheet.
class Operation {
  public:
    virtual ~Operation() = default;
    virtual std::string Name() const = 0;
    virtual std::string TypeName() const = 0;
    // A late-bound numeric member such as "OP" or "ActuatorPosition"; throws
    // when the operation has no such member.
    virtual std::shared_ptr<RealValue> Member(const std::string& name) = 0;
};

// A host table operation: rows link host values with descriptions, tags and
// units; the whole column of values is read or written at once.
class TableOperation : public Operation {
  public:
    virtual void Reset() = 0;
    virtual void ClearEntries() = 0;
    virtual void AddEntry(std::shared_ptr<RealValue> variable, const std::string& description,
                          const std::string& tag, const std::string& unit, int flag) = 0;
    virtual void Complete() = 0;
    // Handle to the table's values, valid after Complete.
    virtual int ValueHandle() const = 0;
    // Current values of all rows, row k converted into units[k].
    virtual std::vector<double> ReadValues(int handle, const std::vector<std::string>& units) = 0;
    // Stores values[k], given in units[k], into the target of row k.
    virtual void WriteValues(int handle, const std::vector<double>& values,
                             const std::vector<std::string>& units) = 0;
    virtual void Clear() = 0;
    virtual std::size_t EntryCount() const = 0;
};

// A host plot.
class Plot {
  public:
    virtual ~Plot() = default;
    virtual std::string Name() const = 0;
    virtual void SetTitle(const std::string& title) = 0;
    virtual void SetAxisLabels(const std::string& x_label, const std::string& y_label) = 0;
    virtual void SetAutoScale(bool automatic) = 0;
    virtual void SetDataSetName(const std::string& name) = 0;
    virtual void SetColour(int colour) = 0;
    // Binds the plot's abscissa and ordinate to number-array variables of the
    // unit operation, by tag ("xData", "yData").
    virtual void BindData(const std::string& x_tag, const std::string& y_tag) = 0;
    virtual void Close() = 0;
};

class Flowsheet {
  public:
    virtual ~Flowsheet() = default;
    virtual std::string Name() const = 0;
    virtual std::vector<std::shared_ptr<Operation>> Operations() const = 0;
    virtual std::vector<std::shared_ptr<Flowsheet>> SubFlowsheets() const = 0;
    // Operation of this flowsheet by exact name; null when there is none.
    virtual std::shared_ptr<Operation> FindOperation(const std::string& name) const = 0;
    // Adds an operation; an empty type makes a table operation.
    virtual std::shared_ptr<Operation> AddOperation(const std::string& name,
                                                    const std::string& type = "") = 0;
    virtual void OpenView(const std::string& operation_name) = 0;
    virtual std::shared_ptr<Plot> CreatePlot(const std::string& name) = 0;
    virtual void RemovePlot(const std::string& name) = 0;
};

class Integrator {
  public:
    virtual ~Integrator() = default;
    virtual bool IsRunning() const = 0;
    virtual double StepSize() const = 0;  // seconds
    virtual double CurrentTime() const = 0;
    virtual void SetCurrentTime(double seconds) = 0;
};

class Solver {
  public:
    virtual ~Solver() = default;
    // 1 means dynamic mode.
    virtual int Mode() const = 0;
    virtual std::shared_ptr<Integrator> GetIntegrator() = 0;
};

class Case {
  public:
    virtual ~Case() = default;
    // The case folder; ends with the path separator.
    virtual std::string Folder() const = 0;
    virtual std::shared_ptr<Flowsheet> GetFlowsheet() = 0;
    virtual std::shared_ptr<Solver> GetSolver() = 0;
};

// The unit operation's container, given to Initialize.
class Container {
  public:
    virtual ~Container() = default;
    // The extension variable of that tag; throws when the host does not know it.
    virtual std::shared_ptr<Variable> FindVariable(const std::string& tag) = 0;
    // The unit operation's name.
    virtual std::string Name() const = 0;
    // One line in the host's message window.
    virtual void WriteMessage(const std::string& text) = 0;
    virtual std::shared_ptr<Case> GetCase() = 0;
    virtual std::shared_ptr<UserInterface> GetUserInterface() = 0;
};

// The host's dynamic container, given to DynInitialize.
class DynamicContainer {
  public:
    virtual ~DynamicContainer() = default;
    // Hands the outlet streams back after a step.
    virtual void SetOutletStreams(const std::vector<std::shared_ptr<MaterialStream>>& outlets) = 0;
    // Replaces an outlet stream's fluid; `flag` as the host defines it.
    virtual void ReplaceOutletFluid(const std::shared_ptr<MaterialStream>& outlet,
                                    const std::shared_ptr<Fluid>& fluid, bool flag) = 0;
    // Outlet streams whose fluids were replaced in this step.
    virtual void SetReplacedOutlets(
        const std::vector<std::shared_ptr<MaterialStream>>& outlets) = 0;
    // Coefficient k (0..2) of pressure-balance / flow-balance equation `equation`.
    virtual void SetPressureBalanceCoefficient(int equation, int k, double value) = 0;
    virtual void SetFlowBalanceCoefficient(int equation, int k, double value) = 0;
};

// The status object given to StatusQuery.
class StatusObject {
  public:
    virtual ~StatusObject() = default;
    virtual void AddStatusCondition(int code1, int code2, const std::string& text) = 0;
};

}  // namespace host

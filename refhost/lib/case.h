#pragma once

#include <deque>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/objects.h"
#include "lib/svg_chart.h"
#include "lib/variables.h"

// The reference host's case: flowsheets with operations, table operations and
// plots, the solver and integrator, the message window, the user interface and
// the unit operation container that hosts the extension.
namespace refhost {

// Converts a value between the host's internal unit of `quantity` and `unit`.
// Throws std::invalid_argument for a unit that does not fit the quantity.
double FromInternal(const std::string& quantity, const std::string& unit, double value);
double ToInternal(const std::string& quantity, const std::string& unit, double value);

// The host's message window: keeps every line and optionally echoes it.
class MessageWindow {
  public:
    void Write(const std::string& line);
    const std::vector<std::string>& Lines() const { return lines_; }
    void EchoTo(std::ostream* out) { echo_ = out; }

  private:
    std::vector<std::string> lines_;
    std::ostream* echo_ = nullptr;
};

// A user interface whose answers are queued by tests or a script; without a
// queued answer it gives the default (OK, No, cancel). Everything shown is kept.
class ScriptedUserInterface final : public host::UserInterface {
  public:
    struct Shown {
        std::string kind;  // "message", "question", "open", "folder"
        std::string text;
        std::string title;
        bool system_modal = false;
    };

    void QueueYesNo(bool answer) { yes_no_.push_back(answer); }
    void QueuePath(std::optional<std::string> path) { paths_.push_back(std::move(path)); }
    const std::vector<Shown>& History() const { return shown_; }
    int PendingEventCalls() const { return pending_event_calls_; }
    // Echo message boxes and questions (with their answers) to a stream.
    void EchoTo(std::ostream* out) { echo_ = out; }

    void MessageBox(const std::string& text, const std::string& title, bool system_modal) override;
    bool AskYesNo(const std::string& text, const std::string& title) override;
    std::optional<std::string> OpenFile(const std::string& initial_folder,
                                        const std::string& filter,
                                        const std::string& title) override;
    std::optional<std::string> BrowseFolder(const std::string& initial_folder,
                                            const std::string& title) override;
    void ProcessPendingEvents() override { ++pending_event_calls_; }

  private:
    std::optional<std::string> NextPath();

    std::deque<bool> yes_no_;
    std::deque<std::optional<std::string>> paths_;
    std::vector<Shown> shown_;
    int pending_event_calls_ = 0;
    std::ostream* echo_ = nullptr;
};

// A unit operation with late-bound numeric members ("OP", "ActuatorPosition").
class RefOperation : public host::Operation {
  public:
    RefOperation(std::string name, std::string type_name)
        : name_(std::move(name)), type_name_(std::move(type_name)) {}
    std::string Name() const override { return name_; }
    std::string TypeName() const override { return type_name_; }
    std::shared_ptr<host::RealValue> Member(const std::string& name) override;
    // Adds (or replaces) a numeric member.
    std::shared_ptr<MemNumberVariable> AddMember(const std::string& name, double value,
                                                 const std::string& quantity = "");

  private:
    std::string name_;
    std::string type_name_;
    std::map<std::string, std::shared_ptr<MemNumberVariable>> members_;
};

class RefTableOperation final : public host::TableOperation {
  public:
    struct Entry {
        std::shared_ptr<host::RealValue> variable;
        std::string description, tag, unit;
        int flag = 0;
    };
    explicit RefTableOperation(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    std::string TypeName() const override { return "tableop"; }
    std::shared_ptr<host::RealValue> Member(const std::string& name) override;

    void Reset() override;
    void ClearEntries() override { entries_.clear(); }
    void AddEntry(std::shared_ptr<host::RealValue> variable, const std::string& description,
                  const std::string& tag, const std::string& unit, int flag) override;
    void Complete() override;
    int ValueHandle() const override { return handle_; }
    std::vector<double> ReadValues(int handle, const std::vector<std::string>& units) override;
    void WriteValues(int handle, const std::vector<double>& values,
                     const std::vector<std::string>& units) override;
    void Clear() override;
    std::size_t EntryCount() const override { return entries_.size(); }
    const std::vector<Entry>& Entries() const { return entries_; }

  private:
    void CheckHandle(int handle, std::size_t count) const;

    std::string name_;
    std::vector<Entry> entries_;
    int handle_ = 0;
    bool complete_ = false;
};

class RefPlot final : public host::Plot {
  public:
    explicit RefPlot(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    void SetTitle(const std::string& title) override { title_ = title; }
    void SetAxisLabels(const std::string& x, const std::string& y) override {
        x_label_ = x;
        y_label_ = y;
    }
    void SetAutoScale(bool automatic) override { auto_scale_ = automatic; }
    void SetDataSetName(const std::string& name) override { data_set_ = name; }
    void SetColour(int colour) override { colour_ = colour; }
    void BindData(const std::string& x_tag, const std::string& y_tag) override {
        x_tag_ = x_tag;
        y_tag_ = y_tag;
    }
    void Close() override { closed_ = true; }

    // The plot as a line chart: its title (the plot's name when it has none),
    // axis labels and the data set read from the number arrays of `unit` that
    // the plot is bound to. An unbound tag or one that is not a number array
    // gives no data; a tag the unit does not know throws as FindVariable does.
    LineChart Chart(host::Container& unit) const;
    // Chart(unit) as an SVG picture at `path` (see refhost::WriteSvg).
    void WriteSvg(const std::string& path, host::Container& unit) const;

    std::string name_, title_, x_label_, y_label_, data_set_, x_tag_, y_tag_;
    // The unit the abscissa is drawn in: the reference host plots against
    // distances along a branch, in its length unit.
    std::string x_unit_ = "m";
    bool auto_scale_ = false;
    int colour_ = 0;
    bool closed_ = false;
};

class RefFlowsheet final : public host::Flowsheet {
  public:
    explicit RefFlowsheet(std::string name) : name_(std::move(name)) {}
    std::string Name() const override { return name_; }
    std::vector<std::shared_ptr<host::Operation>> Operations() const override {
        return operations_;
    }
    std::vector<std::shared_ptr<host::Flowsheet>> SubFlowsheets() const override;
    std::shared_ptr<host::Operation> FindOperation(const std::string& name) const override;
    std::shared_ptr<host::Operation> AddOperation(const std::string& name,
                                                  const std::string& type = "") override;
    void OpenView(const std::string& operation_name) override {
        opened_views_.push_back(operation_name);
    }
    std::shared_ptr<host::Plot> CreatePlot(const std::string& name) override;
    void RemovePlot(const std::string& name) override;

    // Host-side construction.
    void Add(std::shared_ptr<host::Operation> operation) {
        operations_.push_back(std::move(operation));
    }
    std::shared_ptr<RefFlowsheet> AddSubFlowsheet(const std::string& name);
    std::shared_ptr<RefPlot> FindPlot(const std::string& name) const;
    const std::vector<std::string>& OpenedViews() const { return opened_views_; }

  private:
    std::string name_;
    std::vector<std::shared_ptr<host::Operation>> operations_;
    std::vector<std::shared_ptr<RefFlowsheet>> sub_flowsheets_;
    std::map<std::string, std::shared_ptr<RefPlot>> plots_;
    std::vector<std::string> opened_views_;
};

class RefIntegrator final : public host::Integrator {
  public:
    bool IsRunning() const override { return running_; }
    double StepSize() const override { return step_size_; }
    double CurrentTime() const override { return time_; }
    void SetCurrentTime(double seconds) override { time_ = seconds; }

    bool running_ = false;
    double step_size_ = 0.5;
    double time_ = 0.0;
};

class RefSolver final : public host::Solver {
  public:
    int Mode() const override { return mode_; }
    std::shared_ptr<host::Integrator> GetIntegrator() override { return integrator_; }

    int mode_ = 0;  // 1: dynamic
    std::shared_ptr<RefIntegrator> integrator_ = std::make_shared<RefIntegrator>();
};

class RefCase final : public host::Case {
  public:
    explicit RefCase(std::string folder);
    std::string Folder() const override { return folder_; }
    std::shared_ptr<host::Flowsheet> GetFlowsheet() override { return flowsheet_; }
    std::shared_ptr<host::Solver> GetSolver() override { return solver_; }

    std::shared_ptr<RefFlowsheet> Flowsheet() const { return flowsheet_; }
    std::shared_ptr<RefSolver> SolverObject() const { return solver_; }

  private:
    std::string folder_;
    std::shared_ptr<RefFlowsheet> flowsheet_ = std::make_shared<RefFlowsheet>("Case");
    std::shared_ptr<RefSolver> solver_ = std::make_shared<RefSolver>();
};

// The host's definition of the pipeline unit operation's variables: tag and
// kind, in the order the host lists them.
struct VariableDefinition {
    const char* tag;
    host::VariableKind kind;
    const char* quantity = "";  // of a number (array) that holds a physical value
};
const std::vector<VariableDefinition>& PipelineVariableDefinitions();

// The command variables of the unit operation's view: one number variable
// per button. Pressing a button is a change of its variable to 1. They hold
// no state of the case, so case files neither save nor need them.
const std::vector<std::string>& PipelineCommandTags();
bool IsCommandTag(const std::string& tag);

// The container of one pipeline unit operation: its variables by tag, its name,
// the message window, the case and the user interface.
class PipelineUnit final : public host::Container, public host::Operation {
  public:
    PipelineUnit(
        std::string name, std::shared_ptr<RefCase> owner_case,
        std::shared_ptr<MessageWindow> window, std::shared_ptr<host::UserInterface> ui,
        const std::vector<VariableDefinition>& definitions = PipelineVariableDefinitions());

    std::shared_ptr<host::Variable> FindVariable(const std::string& tag) override;
    std::string Name() const override { return name_; }
    void WriteMessage(const std::string& text) override { window_->Write(text); }
    std::shared_ptr<host::Case> GetCase() override;
    std::shared_ptr<host::UserInterface> GetUserInterface() override { return ui_; }
    std::string TypeName() const override { return "zefapipeline"; }
    std::shared_ptr<host::RealValue> Member(const std::string& name) override;

    // Variables in definition order, for saving and printing (not the
    // command variables, which FindVariable finds too).
    const std::vector<std::shared_ptr<host::Variable>>& Variables() const { return ordered_; }
    // Typed access for the host's own use; throws when the tag is unknown or
    // of another kind.
    template <class T>
    std::shared_ptr<T> Get(const std::string& tag) {
        auto typed = std::dynamic_pointer_cast<T>(FindVariable(tag));
        if (!typed) throw std::invalid_argument("Variable " + tag + " has another kind");
        return typed;
    }

  private:
    std::string name_;
    // The case owns its flowsheet and so this unit: a weak reference back
    // keeps the two from owning each other.
    std::weak_ptr<RefCase> case_;
    std::shared_ptr<MessageWindow> window_;
    std::shared_ptr<host::UserInterface> ui_;
    std::map<std::string, std::shared_ptr<host::Variable>> by_tag_;
    std::vector<std::shared_ptr<host::Variable>> ordered_;
};

// A status object that records the conditions added to it.
class RecordingStatus final : public host::StatusObject {
  public:
    struct Condition {
        int code1, code2;
        std::string text;
    };
    void AddStatusCondition(int code1, int code2, const std::string& text) override {
        conditions.push_back({code1, code2, text});
    }
    std::vector<Condition> conditions;
};

}  // namespace refhost

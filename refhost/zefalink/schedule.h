#pragma once

// Edits and button presses made at set host times while a case runs, as the
// user makes them in the unit's view with the integrator running: from the
// run command's --at options and the case's "schedule" section.
//
// The run command uses it so:
//
//   AddScheduleOption(*cmd, options->at);             // with its options
//   EditSchedule schedule;                            // after the case is loaded
//   if (std::string e = schedule.Load(o.at, c, streams); !e.empty()) -> usage error (64)
//   for (auto& line : schedule.ApplyDue(run.Time(), c, units, streams)) -> log each line
//                                                     // before each run.Step()

#include <CLI/CLI.hpp>
#include <string>
#include <vector>

#include "lib/case_file.h"
#include "lib/integrator_run.h"
#include "lib/view_edit.h"

namespace zefalink {

struct ScheduledEdit {
    double time = 0.0;  // host time, s
    std::string unit;   // pipeline unit operation; empty for the case's first
    refhost::ViewEdit edit;
    // A host operation whose member `edit.tag` is set to the number
    // `edit.value` ("OPERATION.MEMBER=VALUE"); empty for a pipeline unit edit.
    std::string operation;
    std::string origin;  // where it was given, for messages
};

// The --at option: T:TAG=VALUE, T:TAG[ROW]=VALUE or T:press=COMMAND for the
// first pipeline unit, T:OPERATION.MEMBER=VALUE for a host operation.
void AddScheduleOption(CLI::App& cmd, std::vector<std::string>& at);

// Parses one --at text. Throws refhost::EditSyntaxError.
ScheduledEdit ParseAt(const std::string& text);

class EditSchedule {
  public:
    // Reads the case's "schedule" section, then the --at options, and checks
    // every edit against the case: its time, its unit, that the unit has the
    // variable (a button for press), and that the value fits (number, stream
    // name). Rows are checked when the edit is made, as arrays grow while a
    // case runs. Edits are kept in time order, edits at the same time in the
    // order given (the case's before the options'). Returns an error text,
    // empty when all is well.
    std::string Load(const std::vector<std::string>& at, refhost::HostCase& c,
                     const refhost::StreamResolver& streams);

    // Makes, in order, every edit not made yet whose time is at or before
    // `host_time`: the first host step whose time has reached an edit's time
    // carries it out. Answers one line per edit for the run's log: what was
    // done, or why it was refused (a refused edit does not stop the run).
    std::vector<std::string> ApplyDue(double host_time, refhost::HostCase& c,
                                      const std::vector<refhost::ExtensionUnit>& units,
                                      const refhost::StreamResolver& streams);

    const std::vector<ScheduledEdit>& Edits() const { return edits_; }
    // Edits not made yet.
    std::size_t Remaining() const { return edits_.size() - next_; }

  private:
    std::vector<ScheduledEdit> edits_;
    std::size_t next_ = 0;
};

}  // namespace zefalink

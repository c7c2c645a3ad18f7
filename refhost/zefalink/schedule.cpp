// Scheduled edits and presses at set host times: parsed from --at and the
// case's schedule, and applied when the run reaches them.
#include "schedule.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace zefalink {

namespace {

using nlohmann::json;

double ParseTime(const std::string& text, const std::string& origin) {
    double t = 0.0;
    if (!refhost::ParseNumber(text, t) || t < 0.0)
        throw refhost::EditSyntaxError(origin + ": the time \"" + text +
                                       "\" is not a number of seconds from 0");
    return t;
}

// "press=COMMAND" or an edit.
refhost::ViewEdit ParseAction(const std::string& text) {
    if (text.rfind("press=", 0) == 0) return refhost::PressEdit(text.substr(6));
    return refhost::ParseEdit(text);
}

std::string Seconds(double t) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.10g", t);
    return buffer;
}

std::vector<ScheduledEdit> FromSection(const json& section, const std::string& file) {
    std::vector<ScheduledEdit> out;
    if (!section.is_array()) throw refhost::EditSyntaxError(file + ": schedule: expected an array");
    for (std::size_t i = 0; i < section.size(); ++i) {
        const json& entry = section[i];
        const std::string key = file + ": schedule[" + std::to_string(i) + "]";
        if (!entry.is_object())
            throw refhost::EditSyntaxError(key + ": expected {\"time\", \"set\" or \"press\"}");
        for (auto it = entry.begin(); it != entry.end(); ++it)
            if (it.key() != "time" && it.key() != "set" && it.key() != "press" &&
                it.key() != "unit")
                throw refhost::EditSyntaxError(key + "." + it.key() + ": unknown key");
        if (!entry.contains("time") || !entry["time"].is_number() ||
            !std::isfinite(entry["time"].get<double>()) || entry["time"].get<double>() < 0.0)
            throw refhost::EditSyntaxError(key + ".time: expected a number of seconds from 0");
        if (entry.contains("set") == entry.contains("press"))
            throw refhost::EditSyntaxError(key + ": give either \"set\" or \"press\"");
        const char* action = entry.contains("set") ? "set" : "press";
        if (!entry[action].is_string())
            throw refhost::EditSyntaxError(key + "." + action + ": expected a text");
        if (entry.contains("unit") && !entry["unit"].is_string())
            throw refhost::EditSyntaxError(key + ".unit: expected a unit name");
        ScheduledEdit e;
        e.time = entry["time"].get<double>();
        e.unit = entry.value("unit", "");
        const std::string text = entry[action].get<std::string>();
        try {
            e.edit =
                std::string(action) == "set" ? refhost::ParseEdit(text) : refhost::PressEdit(text);
        } catch (const refhost::EditSyntaxError& error) {
            throw refhost::EditSyntaxError(key + "." + action + ": " + error.what());
        }
        e.origin = key + " (" + action + ")";
        out.push_back(std::move(e));
    }
    return out;
}

std::shared_ptr<refhost::PipelineUnit> FindUnit(refhost::HostCase& c, const std::string& name) {
    for (const auto& u : c.units)
        if (name.empty() || u->Name() == name) return u;
    return nullptr;
}

}  // namespace

void AddScheduleOption(CLI::App& cmd, std::vector<std::string>& at) {
    cmd.add_option("--at", at,
                   "T:TAG=VALUE, T:TAG[ROW]=VALUE or T:press=COMMAND: an edit of the first "
                   "pipeline unit made at host time T s, as the user makes it while the "
                   "integrator runs; T:OPERATION.MEMBER=VALUE sets a member of a host "
                   "operation, e.g. a valve's ActuatorPosition (repeatable)")
        ->allow_extra_args(false);
}

ScheduledEdit ParseAt(const std::string& text) {
    const std::string origin = "--at " + text;
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos)
        throw refhost::EditSyntaxError(origin + ": expected T:TAG=VALUE or T:press=COMMAND");
    ScheduledEdit e;
    e.time = ParseTime(text.substr(0, colon), origin);
    const std::string action = text.substr(colon + 1);
    // A host operation's member: "OPERATION.MEMBER=VALUE" (pipeline tags have no dot).
    const std::size_t eq = action.find('=');
    const std::size_t dot = action.substr(0, eq).rfind('.');
    if (eq != std::string::npos && dot != std::string::npos && action.rfind("press=", 0) != 0) {
        e.operation = action.substr(0, dot);
        e.edit.tag = action.substr(dot + 1, eq - dot - 1);
        e.edit.value = action.substr(eq + 1);
        e.origin = origin;
        return e;
    }
    try {
        e.edit = ParseAction(action);
    } catch (const refhost::EditSyntaxError& error) {
        throw refhost::EditSyntaxError(origin + ": " + error.what());
    }
    e.origin = origin;
    return e;
}

std::string EditSchedule::Load(const std::vector<std::string>& at, refhost::HostCase& c,
                               const refhost::StreamResolver& streams) {
    std::vector<ScheduledEdit> edits;
    try {
        if (!c.schedule.is_null()) edits = FromSection(c.schedule, c.path);
        for (const auto& text : at) edits.push_back(ParseAt(text));
    } catch (const refhost::EditSyntaxError& e) {
        return e.what();
    }
    for (const auto& e : edits) {
        if (!e.operation.empty()) {
            double value = 0;
            auto op = c.host_case->Flowsheet()->FindOperation(e.operation);
            if (!op) return e.origin + ": the case has no operation named " + e.operation;
            try {
                op->Member(e.edit.tag);
            } catch (const std::exception& error) {
                return e.origin + ": " + error.what();
            }
            if (!refhost::ParseNumber(e.edit.value, value))
                return e.origin + ": \"" + e.edit.value + "\" is not a number";
            continue;
        }
        auto unit = FindUnit(c, e.unit);
        if (!unit)
            return e.origin + ": the case has no pipeline unit" +
                   (e.unit.empty() ? std::string() : " named " + e.unit);
        if (e.edit.press && !refhost::IsCommandTag(e.edit.tag))
            return e.origin + ": \"" + e.edit.tag + "\" is no button of the view";
        if (std::string reason = refhost::HostRefusal(*unit, e.edit, streams, false);
            !reason.empty())
            return e.origin + ": " + reason;
    }
    std::stable_sort(
        edits.begin(), edits.end(),
        [](const ScheduledEdit& a, const ScheduledEdit& b) { return a.time < b.time; });
    edits_ = std::move(edits);
    next_ = 0;
    return "";
}

std::vector<std::string> EditSchedule::ApplyDue(double host_time, refhost::HostCase& c,
                                                const std::vector<refhost::ExtensionUnit>& units,
                                                const refhost::StreamResolver& streams) {
    std::vector<std::string> lines;
    // Host times are sums of steps: a time a rounding error short of an
    // edit's time has reached it.
    const auto reached = [host_time](double t) {
        return t <= host_time + 1e-9 * std::max(1.0, std::fabs(t));
    };
    for (; next_ < edits_.size() && reached(edits_[next_].time); ++next_) {
        const ScheduledEdit& e = edits_[next_];
        if (!e.operation.empty()) {
            const std::string what = "t=" + Seconds(host_time) + " s: " + e.operation + "." +
                                     e.edit.tag + "=" + e.edit.value;
            try {
                double value = 0;
                refhost::ParseNumber(e.edit.value, value);
                c.host_case->Flowsheet()
                    ->FindOperation(e.operation)
                    ->Member(e.edit.tag)
                    ->SetValue(value);
                lines.push_back(what);
            } catch (const std::exception& error) {
                lines.push_back(what + ": refused: " + error.what());
            }
            continue;
        }
        auto unit = FindUnit(c, e.unit);
        host::UnitOperationExtension* extension = nullptr;
        for (const auto& u : units)
            if (unit && u.name == unit->Name()) extension = u.extension.get();
        const std::string what = "t=" + Seconds(host_time) +
                                 " s: " + (unit ? unit->Name() : e.unit) + ": " + e.edit.Describe();
        if (!unit || !extension) {
            lines.push_back(what + ": refused: the unit is not part of the run");
            continue;
        }
        const refhost::EditOutcome outcome =
            refhost::EditAsView(*unit, *extension, e.edit, streams);
        if (outcome.stored)
            lines.push_back(what);
        else if (!outcome.host_reason.empty())
            lines.push_back(what + ": refused: " + outcome.host_reason);
        else
            lines.push_back(what + ": refused by the unit");
    }
    return lines;
}

}  // namespace zefalink

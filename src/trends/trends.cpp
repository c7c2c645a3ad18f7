// Trends: pipeline variables watched at named positions, one row of six
// parallel arrays per trend, refreshed from the server on request.
#include <algorithm>
#include <cstddef>
#include <string>
#include <vector>

#include "catalogue/zefa_variables.h"
#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

namespace {

// The catalogue's first variable, given to every new row.
constexpr std::int32_t kNewRowKey = 825;  // AL

// The name string for the placed rows and, per name, the row it is for and
// its own part of the string.
struct TrendRequest {
    std::string names;
    std::vector<std::size_t> rows;
    std::vector<std::string> parts;
};

bool Contains(const std::vector<std::string>& list, const std::string& text) {
    return std::find(list.begin(), list.end(), text) != list.end();
}

// Entry `row` of a parallel array; a shorter array is a damaged case.
template <class T>
T& Entry(std::vector<T>& values, std::size_t row) {
    if (row >= values.size()) throw Error::SubscriptOutOfRange();
    return values[row];
}

// Rows whose part is in `leftOut` are not asked for.
TrendRequest BuildTrendRequest(const host::TextArrayVariable& positions,
                               const host::TextArrayVariable& keyTexts,
                               const std::vector<std::string>& leftOut = {}) {
    auto where = positions.GetValues();
    auto what = keyTexts.GetValues();
    TrendRequest request;
    for (std::size_t i = 0; i < where.size(); ++i) {
        if (where[i] == trend_texts::kNewTrend) continue;
        std::string part = " $" + where[i] + " " + Entry(what, i);
        if (Contains(leftOut, part)) continue;
        request.names += part;
        request.rows.push_back(i);
        request.parts.push_back(std::move(part));
    }
    return request;
}

}  // namespace

double ZEFA::IntegratorTime() {
    auto& host_case = Deref(Use(objContainer).GetCase().get());
    return Deref(Deref(host_case.GetSolver().get()).GetIntegrator().get()).CurrentTime();
}

void ZEFA::AddTrend() {
    Trap("AddTrend", [&] {
        ZEFAVariableInfo info;
        GetZEFAVariableInfo(kNewRowKey, info);
        AddANewText(vars.TrendPositions.get(), trend_texts::kNewTrend);
        AddANewValue(vars.enumTrendVars.get(), kNewRowKey);
        AddANewText(vars.TrendVarTags.get(), info.KeyText);
        AddANewValue(vars.TrendValues.get(), 0.0);
        AddANewText(vars.TrendUnits.get(), info.Unit);
        AddANewValue(vars.enumTrendTypes.get(), info.TypeCode);
    });
}

void ZEFA::RemoveTrend(std::int32_t index) {
    Trap("RemoveTrend", [&] {
        // The list operations drop the last row for a row they do not have;
        // a bad index must remove nothing instead.
        if (index < 0 || static_cast<std::size_t>(index) >= CountOf(Use(vars.TrendPositions)))
            throw Error::SubscriptOutOfRange();
        const std::int16_t row = RoundToInt16(index);
        RemoveATag(vars.TrendPositions.get(), row);
        RemoveAValue(vars.enumTrendVars.get(), row);
        RemoveATag(vars.TrendVarTags.get(), row);
        RemoveAValue(vars.TrendValues.get(), row);
        RemoveATag(vars.TrendUnits.get(), row);
        RemoveAValue(vars.enumTrendTypes.get(), row);
    });
}

void ZEFA::ChangeTrendVariable(std::int32_t& key, std::int16_t index) {
    Trap("ChangeTrendVariable", [&] {
        ZEFAVariableInfo info;
        GetZEFAVariableInfo(key, info);
        if (index < 0) throw Error::SubscriptOutOfRange();
        const auto row = static_cast<std::size_t>(index);
        auto units = Use(vars.TrendUnits).GetValues();
        auto keyTexts = Use(vars.TrendVarTags).GetValues();
        auto types = Use(vars.enumTrendTypes).GetValues().data;
        auto positions = Use(vars.TrendPositions).GetValues();
        // Every entry is checked before anything is written back.
        Entry(units, row) = info.Unit;
        Entry(keyTexts, row) = info.KeyText;
        Entry(types, row) = info.TypeCode;
        auto& position = Entry(positions, row);
        if (info.TypeCode == kZEFATypeNoPosition) position.clear();
        vars.TrendUnits->SetValues(units);
        vars.TrendVarTags->SetValues(keyTexts);
        vars.enumTrendTypes->SetValues(host::NumberArray::OneD(std::move(types)));
        vars.TrendPositions->SetValues(positions);
    });
}

std::string ZEFA::MakeTrendNames() {
    std::string names;
    Trap("MakeTrendNames", [&] {
        names = BuildTrendRequest(Use(vars.TrendPositions), Use(vars.TrendVarTags)).names;
    });
    return names;
}

bool ZEFA::UpdateTrends() {
    bool result = false;
    Trap("UpdateTrends", [&] {
        const auto request =
            BuildTrendRequest(Use(vars.TrendPositions), Use(vars.TrendVarTags), trends_.leftOut);
        const double now = IntegratorTime();
        if (!request.names.empty()) {
            if (server_.lngServerState != ServerState::Initialised) {
                result = true;
                return;
            }
            std::vector<double> received;
            if (!Deref(mobjZefaClient.get()).SetSendTrendNames(received, request.names)) return;
            if (received.size() != request.rows.size()) {
                throw Error("The server sent " + std::to_string(received.size()) +
                            " trend values for " + std::to_string(request.rows.size()) +
                            " trends.");
            }
            // Each value goes to the row it was asked for; rows not yet placed
            // keep theirs, and the array keeps one entry per row.
            auto values = Use(vars.TrendValues).GetValues().data;
            values.resize(CountOf(Use(vars.TrendPositions)), 0.0);
            for (std::size_t j = 0; j < received.size(); ++j) values[request.rows[j]] = received[j];
            vars.TrendValues->SetValues(host::NumberArray::OneD(std::move(values)));
        }
        trends_.dblLastTrendTime = now;
        pending_.boolTrendsChanged = false;
        result = true;
    });
    return result;
}

bool ZEFA::LeaveOutRefusedTrends() {
    bool any = false;
    Trap("LeaveOutRefusedTrends", [&] {
        if (server_.lngServerState != ServerState::Initialised) return;
        const auto request =
            BuildTrendRequest(Use(vars.TrendPositions), Use(vars.TrendVarTags), trends_.leftOut);
        auto& client = Deref(mobjZefaClient.get());
        // Each row on its own tells the rows the model has from those it has not.
        for (const auto& part : request.parts) {
            std::vector<double> received;
            if (client.SetSendTrendNames(received, part) && received.size() == 1) continue;
            trends_.leftOut.push_back(part);
            any = true;
            strLastMessage = "Unable to obtain trend: check position names. The trend" + part +
                             " is left out of the trends for the rest of this run.";
            ReportError(strLastMessage);
        }
    });
    return any;
}

bool ZEFA::RefreshTrendsBetweenSteps() {
    // A step outstanding keeps the server busy; its results come first.
    if (!mobjZefaClient || !mobjZefaClient->StepComplete || step_.boolStepPending) return false;
    return UpdateTrends();
}

}  // namespace zefa

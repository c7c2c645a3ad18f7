// Profiles: one pipeline variable along one branch. Every enabled profile row
// is fetched from the server; the first is shown in the profile plot.
#include <algorithm>
#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "catalogue/zefa_variables.h"
#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

namespace {

constexpr std::int32_t kNewRowKey = 825;  // AL, the catalogue's first variable

// The profile shown: its row, branch label and catalogue entry.
struct ShownProfile {
    std::size_t row = 0;
    std::string branch;
    ZEFAVariableInfo info;
};

// Every row whose "ProfileEnable" is 1, in row order.
std::vector<ShownProfile> EnabledProfiles(const BoundVariables& vars) {
    std::vector<ShownProfile> rows;
    const auto enabled = Use(vars.ProfileEnable).GetValues().data;
    for (std::size_t i = 0; i < enabled.size(); ++i) {
        if (enabled[i] != 1.0) continue;
        const auto branches = Use(vars.ProfileBranches).GetValues();
        const auto keys = Use(vars.enumProfileVars).GetValues().data;
        if (i >= branches.size() || i >= keys.size()) throw Error::SubscriptOutOfRange();
        ShownProfile shown;
        shown.row = i;
        shown.branch = branches[i];
        GetZEFAVariableInfo(RoundToInt32(keys[i]), shown.info);
        rows.push_back(std::move(shown));
    }
    return rows;
}

// The first of them, the one the plot shows; nothing when no row is enabled.
std::optional<ShownProfile> FirstEnabledProfile(const BoundVariables& vars) {
    auto rows = EnabledProfiles(vars);
    if (rows.empty()) return std::nullopt;
    return std::move(rows.front());
}

void CheckRow(std::int32_t index, std::size_t count) {
    if (index < 0 || static_cast<std::size_t>(index) >= count) throw Error::SubscriptOutOfRange();
}

}  // namespace

void ZEFA::AddProfile() {
    Trap("AddProfile", [&] {
        ZEFAVariableInfo info;
        GetZEFAVariableInfo(kNewRowKey, info);
        AddANewText(vars.ProfileBranches.get(), trend_texts::kNewBranch);
        AddANewValue(vars.enumProfileVars.get(), kNewRowKey);
        AddANewValue(vars.ProfileEnable.get(), 0.0);
        AddANewText(vars.ProfileUnits.get(), info.Unit);
        AddANewValue(vars.enumProfileTypes.get(), info.TypeCode);
    });
}

void ZEFA::RemoveProfile(std::int32_t index) {
    Trap("RemoveProfile", [&] {
        // A row that does not exist removes nothing (the list operations
        // would drop the last row instead).
        CheckRow(index, CountOf(Use(vars.ProfileBranches)));
        const auto enabled = Use(vars.ProfileEnable).GetValues().data;
        CheckRow(index, enabled.size());
        const std::int16_t row = RoundToInt16(index);
        RemoveATag(vars.ProfileBranches.get(), row);
        RemoveAValue(vars.enumProfileVars.get(), row);
        RemoveATag(vars.ProfileUnits.get(), row);
        if (enabled[static_cast<std::size_t>(index)] != 0.0) {
            // The shown profile goes: the plot is emptied.
            trends_.boolProfilesEnabled = false;
            UpdatePlot();
            UpdateProfiles();
        }
        RemoveAValue(vars.ProfileEnable.get(), row);
        RemoveAValue(vars.enumProfileTypes.get(), row);
    });
}

void ZEFA::ChangeProfileVariable(std::int32_t& key, std::int16_t index) {
    Trap("ChangeProfileVariable", [&] {
        ZEFAVariableInfo info;
        GetZEFAVariableInfo(key, info);
        auto units = Use(vars.ProfileUnits).GetValues();
        auto types = Use(vars.enumProfileTypes).GetValues().data;
        CheckRow(index, units.size());
        CheckRow(index, types.size());
        const auto row = static_cast<std::size_t>(index);
        units[row] = info.Unit;
        types[row] = info.TypeCode;
        vars.ProfileUnits->SetValues(units);
        vars.enumProfileTypes->SetValues(host::NumberArray::OneD(std::move(types)));
    });
}

void ZEFA::SelectProfile(std::int16_t& index, double& value) {
    Trap("SelectProfile", [&] {
        if (value == 0.0) {
            trends_.boolProfilesEnabled = false;
            return;
        }
        auto enabled = Use(vars.ProfileEnable).GetValues().data;
        // Enabling a row that does not exist would switch every row off.
        CheckRow(index, enabled.size());
        for (std::size_t i = 0; i < enabled.size(); ++i) {
            if (i != static_cast<std::size_t>(index)) enabled[i] = 0.0;
        }
        trends_.boolProfilesEnabled = true;
        vars.ProfileEnable->SetValues(host::NumberArray::OneD(std::move(enabled)));
    });
}

void ZEFA::UpdatePlot() {
    Trap("UpdatePlot", [&] {
        if (server_.lngServerState != ServerState::Initialised || !trends_.objProfilePlot) return;
        auto& plot = *trends_.objProfilePlot;
        // With the flag set but no row at 1 there is nothing to show either.
        const auto shown = trends_.boolProfilesEnabled ? FirstEnabledProfile(vars) : std::nullopt;
        if (shown) {
            plot.SetTitle(shown->branch);
            plot.SetAxisLabels(trend_texts::kAbscissaLabel,
                               shown->info.KeyText + " " + shown->info.Unit);
        } else {
            plot.SetTitle("");
            plot.SetAxisLabels(trend_texts::kAbscissaLabel, "");
        }
    });
}

bool ZEFA::UpdateProfiles() {
    bool result = false;
    trends_.lastProfileRequest.clear();
    Trap("UpdateProfiles", [&] {
        const auto rows =
            trends_.boolProfilesEnabled ? EnabledProfiles(vars) : std::vector<ShownProfile>{};
        if (rows.empty()) {
            Use(vars.xData).SetBounds(0);
            Use(vars.yData).SetBounds(0);
            trends_.profiles.clear();
            result = true;
            return;
        }
        // Every enabled row is fetched; the first goes into "xData" and
        // "yData" for the plot. A failure names its row for leaving it out.
        const double now = IntegratorTime();
        std::vector<FetchedProfile> fetched;
        for (std::size_t n = 0; n < rows.size(); ++n) {
            const ShownProfile& shown = rows[n];
            // The profile's own name: what a refused profile is left out by.
            trends_.lastProfileRequest = "$" + shown.branch + " " + shown.info.KeyText;
            const auto& left_out = trends_.leftOut;
            if (std::find(left_out.begin(), left_out.end(), trends_.lastProfileRequest) !=
                left_out.end())
                continue;
            const char* abscissa = nullptr;
            if (shown.info.TypeCode == kZEFATypeAtBoundaries) abscissa = " ZZBOU ";
            if (shown.info.TypeCode == kZEFATypeAtVolumes) abscissa = " ZZVOL ";
            if (!abscissa) {
                strLastMessage = "Can't plot this type of variable.";
                ReportError(strLastMessage);
                return;
            }
            std::vector<double> values;
            std::vector<std::int32_t> sizes;
            const std::string request = "$" + shown.branch + abscissa + shown.info.KeyText;
            if (!Deref(mobjZefaClient.get()).SetSendProfileNames(values, sizes, request)) return;
            // The reply holds the abscissa values, then the variable's values,
            // each list as long as its size says.
            if (sizes.size() < 2 || sizes[0] < 0 || sizes[1] < 0 ||
                values.size() <
                    static_cast<std::size_t>(sizes[0]) + static_cast<std::size_t>(sizes[1])) {
                throw Error("The server's profile reply does not match its sizes.");
            }
            const auto nx = static_cast<std::ptrdiff_t>(sizes[0]);
            const auto ny = static_cast<std::ptrdiff_t>(sizes[1]);
            FetchedProfile profile{
                shown.branch, shown.info.KeyText, shown.info.Unit,
                std::vector<double>(values.begin(), values.begin() + nx),
                std::vector<double>(values.begin() + nx, values.begin() + nx + ny)};
            if (n == 0) {
                Use(vars.xData).SetValues(host::NumberArray::OneD(profile.x));
                Use(vars.yData).SetValues(host::NumberArray::OneD(profile.y));
            }
            fetched.push_back(std::move(profile));
        }
        if (!fetched.empty()) {
            trends_.profiles = std::move(fetched);
            trends_.dblLastProfileTime = now;
        }
        pending_.boolProfilesChanged = false;
        result = true;
    });
    return result;
}

}  // namespace zefa

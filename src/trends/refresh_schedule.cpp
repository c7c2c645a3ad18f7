// When the step refreshes trends and profiles: at once after their
// definitions changed, else whenever their period has passed. A row the
// server refuses during a run is reported once and left out of the run's
// refreshes; the rest, and the pipeline's steps, go on.
#include "extension/zefa.h"

namespace zefa {

bool ZEFA::RefreshTrendsAndProfiles(double now) {
    bool result = false;
    Trap("RefreshTrendsAndProfiles", [&] {
        bool ok = true;
        const double trend_every = Num(vars.TrendFrequency);
        if (pending_.boolTrendsChanged ||
            (trend_every > 0 && now - trends_.dblLastTrendTime > trend_every)) {
            // The refused rows are left out and the others asked for again.
            if (!UpdateTrends() && (!LeaveOutRefusedTrends() || !UpdateTrends())) {
                strLastMessage = "Unable to obtain trend: check position names.";
                ReportError(strLastMessage);
                ok = false;
            }
        }
        const double profile_every = Num(vars.ProfileFrequency);
        const bool profile_changed = pending_.boolProfilesChanged;
        if (profile_changed) UpdatePlot();
        if (profile_changed ||
            (profile_every > 0 && now - trends_.dblLastProfileTime > profile_every)) {
            if (!UpdateProfiles()) {
                ok = false;
                if (!trends_.lastProfileRequest.empty()) {
                    trends_.leftOut.push_back(trends_.lastProfileRequest);
                    strLastMessage = "Unable to obtain profile: Check branch labels. The profile " +
                                     trends_.lastProfileRequest +
                                     " is left out of the profiles for the rest of this run.";
                } else {
                    strLastMessage = "Unable to obtain profile: Check branch labels";
                }
                ReportError(strLastMessage);
                // Asked for once: a definition that cannot be fetched is not
                // retried at every step.
                pending_.boolProfilesChanged = false;
            }
        }
        result = ok;
    });
    return result;
}

}  // namespace zefa

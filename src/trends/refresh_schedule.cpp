// When the step refreshes trends and profiles: at once after their
// definitions changed, else whenever their period has passed.
#include "extension/zefa.h"

namespace zefa {

bool ZEFA::RefreshTrendsAndProfiles(double now) {
    bool result = false;
    Trap("RefreshTrendsAndProfiles", [&] {
        if (pending_.boolTrendsChanged) {
            if (!UpdateTrends()) {
                strLastMessage = "Unable to obtain trend: check position names.";
                ReportError(strLastMessage);
                return;
            }
        } else {
            const double every = Num(vars.TrendFrequency);
            if (every > 0 && now - trends_.dblLastTrendTime > every) UpdateTrends();
        }
        if (pending_.boolProfilesChanged) {
            UpdatePlot();
            if (!UpdateProfiles()) {
                strLastMessage = "Unable to obtain profile: Check branch labels";
                ReportError(strLastMessage);
                return;
            }
        } else {
            const double every = Num(vars.ProfileFrequency);
            if (every > 0 && now - trends_.dblLastProfileTime > every) UpdateProfiles();
        }
        result = true;
    });
    return result;
}

}  // namespace zefa

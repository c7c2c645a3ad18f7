// The profile plot: created anew each time the extension is initialised.
#include "extension/zefa.h"

namespace zefa {

namespace {
// The host's colour number for red.
constexpr int kRed = 42;
}  // namespace

void ZEFA::CreatePlot() {
    Trap("CreatePlot", [&] {
        using namespace trend_texts;
        auto& flowsheet = Deref(Deref(Use(objContainer).GetCase().get()).GetFlowsheet().get());
        if (trends_.objProfilePlot) flowsheet.RemovePlot(kPlotName);
        trends_.objProfilePlot = flowsheet.CreatePlot(kPlotName);
        Use(vars.ProfilePlot).SetValue(kPlotName);
        auto& plot = Deref(trends_.objProfilePlot.get());
        plot.SetTitle(kPlotTitle);
        plot.SetAxisLabels(kAbscissaLabel, "");
        plot.SetAutoScale(true);
        plot.SetDataSetName("ProfileData");
        plot.BindData("xData", "yData");
        plot.SetColour(kRed);
    });
}

}  // namespace zefa

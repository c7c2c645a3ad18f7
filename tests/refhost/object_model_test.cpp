#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "lib/case.h"

namespace zefa::test {

using namespace refhost;
namespace {

using ::testing::ElementsAre;

TEST(Units, ConvertBothWaysAndRejectWhatDoesNotFit) {
    EXPECT_DOUBLE_EQ(FromInternal("pressure", "N/m2", 101.325), 101325.0);
    EXPECT_DOUBLE_EQ(ToInternal("pressure", "N/m2", 101325.0), 101.325);
    EXPECT_DOUBLE_EQ(FromInternal("temperature", "K", 25.0), 298.15);
    EXPECT_DOUBLE_EQ(ToInternal("temperature", "K", 298.15), 25.0);
    // One atmosphere in every pressure unit a case may use.
    for (const auto& [unit, value] : {std::pair<const char*, double>{"bar", 1.01325},
                                      {"MPa", 0.101325},
                                      {"atm", 1.0},
                                      {"psi", 14.6959487755}}) {
        EXPECT_NEAR(FromInternal("pressure", unit, 101.325), value, 1e-9) << unit;
        EXPECT_NEAR(ToInternal("pressure", unit, value), 101.325, 1e-7) << unit;
    }
    EXPECT_DOUBLE_EQ(FromInternal("", "", 0.3), 0.3);
    EXPECT_DOUBLE_EQ(FromInternal("pressure", "", 5.0), 5.0);
    EXPECT_THROW(FromInternal("pressure", "kg/s", 1.0), std::invalid_argument);
    EXPECT_THROW(FromInternal("", "N/m2", 1.0), std::invalid_argument);
}

TEST(TableOperation, ReadsAndWritesRowsInTheirUnits) {
    RefTableOperation table("T");
    auto p = std::make_shared<MemNumberVariable>("P", "pressure");
    p->SetValue(200.0);
    auto array = std::make_shared<MemNumberArrayVariable>("A");
    array->SetBounds(2, 3);
    table.AddEntry(p, "pressure", "0_P", "N/m2", 1);
    table.AddEntry(array->Element(1, 2), "flow", "1_F", "", 1);
    EXPECT_THROW(table.ReadValues(table.ValueHandle(), {"N/m2", ""}), std::runtime_error);
    table.Complete();
    const int handle = table.ValueHandle();
    EXPECT_THAT(table.ReadValues(handle, {"N/m2", ""}), ElementsAre(200000.0, host::kEmptyNumber));
    table.WriteValues(handle, {150000.0, 7.5}, {"N/m2", ""});
    EXPECT_DOUBLE_EQ(p->GetValue(), 150.0);
    EXPECT_EQ(array->GetValues().At(1, 2), 7.5);
    EXPECT_THROW(table.WriteValues(handle, {1.0}, {"N/m2"}), std::invalid_argument);
    EXPECT_THROW(table.ReadValues(handle + 1, {"N/m2", ""}), std::runtime_error);
    // An element of a shrunk array is out of range, not undefined.
    auto element = array->Element(1, 2);
    array->SetBounds(1, 3);
    EXPECT_THROW(element->GetValue(), std::out_of_range);
}

TEST(NumberArray, BoundsKeepLeadingEntriesAndFillWithTheEmptyMarker) {
    MemNumberArrayVariable v("V");
    v.SetValues(host::NumberArray::OneD({1, 2, 3}));
    v.SetBounds(5);
    EXPECT_THAT(v.GetValues().data, ElementsAre(1, 2, 3, host::kEmptyNumber, host::kEmptyNumber));
    v.SetBounds(2);
    EXPECT_THAT(v.GetValues().data, ElementsAre(1, 2));
    v.SetBounds(2, 2);
    EXPECT_TRUE(v.GetValues().IsTwoD());
    EXPECT_THROW(v.SetValues(host::NumberArray{{1, 2, 3}, 2, 2}), std::invalid_argument);
}

TEST(Flowsheet, FindsOperationsAddsTablesAndPlots) {
    RefFlowsheet sheet("Case");
    auto valve = std::make_shared<RefOperation>("VLV-1", "valveop");
    valve->AddMember("ActuatorPosition", 40.0, "percent");
    sheet.Add(valve);
    EXPECT_EQ(sheet.FindOperation("VLV-1"), valve);
    EXPECT_EQ(sheet.FindOperation("vlv-1"), nullptr);
    EXPECT_DOUBLE_EQ(sheet.FindOperation("VLV-1")->Member("ActuatorPosition")->GetValue(), 40.0);
    EXPECT_THROW(valve->Member("OP"), std::runtime_error);
    auto table = sheet.AddOperation("PIPE ZEFA Input");
    EXPECT_NE(std::dynamic_pointer_cast<host::TableOperation>(table), nullptr);
    EXPECT_THROW(sheet.AddOperation("PIPE ZEFA Input"), std::invalid_argument);
    auto plot = sheet.CreatePlot("ProfilePlot");
    EXPECT_EQ(sheet.FindPlot("ProfilePlot"), plot);
    sheet.RemovePlot("ProfilePlot");
    EXPECT_EQ(sheet.FindPlot("ProfilePlot"), nullptr);
}

}  // namespace
}  // namespace zefa::test

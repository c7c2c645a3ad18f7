#include "host_world.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;
using ::testing::IsEmpty;

TEST_F(ExtensionTest, AppendAndRemoveFollowTheRowRules) {
    auto tags = Var<host::TextArrayVariable>("SourceTags");
    zefa->AddANewText(tags.get(), "A");
    EXPECT_THAT(tags->GetValues(), ElementsAre("A"));
    // Removing any row of a one-entry array empties it.
    zefa->RemoveATag(tags.get(), 7);
    EXPECT_THAT(tags->GetValues(), IsEmpty());
    zefa->RemoveATag(tags.get(), 0);  // nothing to remove
    EXPECT_THAT(tags->GetValues(), IsEmpty());

    for (const char* t : {"A", "B", "C"}) zefa->AddANewText(tags.get(), t);
    zefa->RemoveATag(tags.get(), 1);
    EXPECT_THAT(tags->GetValues(), ElementsAre("A", "C"));
    for (const char* t : {"D"}) zefa->AddANewText(tags.get(), t);
    // An invalid row removes the last entry.
    zefa->RemoveATag(tags.get(), 5);
    EXPECT_THAT(tags->GetValues(), ElementsAre("A", "C"));
    zefa->RemoveATag(tags.get(), -1);
    EXPECT_THAT(tags->GetValues(), ElementsAre("A"));

    auto values = Var<host::NumberArrayVariable>("PlugCheckBoxes");
    zefa->AddANewValue(values.get(), host::kEmptyNumber);
    zefa->AddANewValue(values.get(), 1);
    zefa->AddANewValue(values.get(), 0);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(host::kEmptyNumber, 1, 0));
    zefa->RemoveAValue(values.get(), 0);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(1, 0));
    zefa->RemoveAValue(values.get(), 9);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), ElementsAre(1));
    zefa->RemoveAValue(values.get(), 0);
    EXPECT_THAT(Numbers("PlugCheckBoxes"), IsEmpty());
    EXPECT_TRUE(window->Lines().empty());
    EXPECT_TRUE(ui->History().empty());
}

TEST_F(ExtensionTest, RemovingAnOutletRowRemovesItFromEveryColumnAndTheList) {
    Var<host::StreamListVariable>("Outlets")->SetStreams({std::make_shared<TestStream>("A"),
                                                          std::make_shared<TestStream>("B"),
                                                          std::make_shared<TestStream>("C")});
    State().lists().intNumOutlets = 3;
    for (int i = 0; i < 3; ++i) zefa->AddANewOutlet();
    SetTexts("BoundaryTags", {"OUT1", "OUT2", "OUT3"});
    SetNumbers("bFlowSwitch", {0, 1, 0});
    SetNumbers("OutletSourceCB", {1, 0, 1});

    zefa->RemoveAnOutlet(1);

    EXPECT_THAT(StreamNames("Outlets"), ElementsAre("A", "C"));
    EXPECT_THAT(Texts("BoundaryTags"), ElementsAre("OUT1", "OUT3"));
    EXPECT_THAT(Numbers("bFlowSwitch"), ElementsAre(0, 0));
    EXPECT_THAT(Numbers("OutletSourceCB"), ElementsAre(1, 1));
    EXPECT_EQ(State().lists().intNumOutlets, 2);
}

TEST_F(ExtensionTest, AFailureInsideATableOperationIsReportedByName) {
    SetNumber("boolTraceErrors", 1);
    State().vars().bFlowSwitch.reset();
    zefa->AddANewOutlet();
    // The label was appended before the failure and stays.
    EXPECT_THAT(Texts("BoundaryTags"), ElementsAre("New Outlet"));
    ASSERT_EQ(window->Lines().size(), 1u);
    EXPECT_EQ(window->Lines()[0],
              "METHOD -- AddANewValue: Object variable or With block variable not set: "
              "PIPE-100: KAVRIS-ZEFA Link Error");
}

}  // namespace
}  // namespace zefa::test

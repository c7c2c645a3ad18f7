#include "host_world.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

constexpr const char* kRetiredMessage =
    "The old Trend or Profile selection is no longer relavent with this new version of the ZEFA "
    "Server and will be set to the first variable in the list.";

TEST_F(ExtensionTest, OldSelectionsAreRenumberedWithTheirTypes) {
    SetNumber("boolTraceErrors", 1);
    Var<host::NumberArrayVariable>("enumTrendVars")
        ->SetValues(host::NumberArray::OneD({208, 312, 100}));
    Var<host::NumberArrayVariable>("enumProfileVars")->SetValues(host::NumberArray::OneD({203}));

    zefa->FixUpTheEnums();

    EXPECT_THAT(Var<host::NumberArrayVariable>("enumTrendVars")->GetValues().data,
                ElementsAre(8050, 0, 100));
    EXPECT_THAT(Var<host::NumberArrayVariable>("enumTrendTypes")->GetValues().data,
                ElementsAre(1, 0, 0));
    EXPECT_THAT(Var<host::NumberArrayVariable>("enumProfileVars")->GetValues().data,
                ElementsAre(6125));
    EXPECT_THAT(Var<host::NumberArrayVariable>("enumProfileTypes")->GetValues().data,
                ElementsAre(15));
    EXPECT_EQ(State().lastMessage(), kRetiredMessage);
    EXPECT_THAT(window->Lines(),
                ElementsAre(std::string(kRetiredMessage) + ": PIPE-100: KAVRIS-ZEFA Link Error"));
}

TEST_F(ExtensionTest, AnUnknownOldCodeLeavesTheListAsStored) {
    SetNumber("boolTraceErrors", 1);
    Var<host::NumberArrayVariable>("enumTrendVars")
        ->SetValues(host::NumberArray::OneD({208, 999, 1e300}));
    zefa->FixUpTheEnums();
    EXPECT_THAT(Var<host::NumberArrayVariable>("enumTrendVars")->GetValues().data,
                ElementsAre(208, 999, 1e300));
    ASSERT_EQ(window->Lines().size(), 1u);
    EXPECT_EQ(window->Lines()[0].rfind("METHOD -- FixUpTheEnums: ", 0), 0u);
}

}  // namespace
}  // namespace zefa::test

#include "host_world.h"

namespace zefa::test {
namespace {

using ::testing::ElementsAre;

constexpr const char* kRetiredMessage =
    "The old Trend or Profile selection is no longer relavent with this new version of the ZEFA "
    "Server and will be set to the first variable in the list.";

TEST_F(ExtensionTest, OldSelectionsAreRenumberedWithTheirTypesAndUnknownOnesKept) {
    SetNumber("boolTraceErrors", 1);
    SetNumbers("enumTrendVars", {208, 312, 100});
    SetNumbers("enumProfileVars", {203});

    zefa->FixUpTheEnums();

    EXPECT_THAT(Numbers("enumTrendVars"), ElementsAre(8050, 0, 100));
    EXPECT_THAT(Numbers("enumTrendTypes"), ElementsAre(1, 0, 0));
    EXPECT_THAT(Numbers("enumProfileVars"), ElementsAre(6125));
    EXPECT_THAT(Numbers("enumProfileTypes"), ElementsAre(15));
    EXPECT_EQ(State().lastMessage(), kRetiredMessage);
    EXPECT_THAT(window->Lines(),
                ElementsAre(std::string(kRetiredMessage) + ": PIPE-100: KAVRIS-ZEFA Link Error"));

    // An unknown old code leaves the list as stored.
    SetNumbers("enumTrendVars", {208, 999, 1e300});
    zefa->FixUpTheEnums();
    EXPECT_THAT(Numbers("enumTrendVars"), ElementsAre(208, 999, 1e300));
    ASSERT_EQ(window->Lines().size(), 2u);
    EXPECT_EQ(window->Lines()[1].rfind("METHOD -- FixUpTheEnums: ", 0), 0u);
}

// A host whose type array does not grow when asked: the write past its end is
// a trapped subscript error, and both lists stay as stored.
TEST_F(ExtensionTest, ATypeArrayThatDoesNotGrowIsASubscriptError) {
    class StuckBounds final : public host::NumberArrayVariable {
      public:
        explicit StuckBounds(std::shared_ptr<host::NumberArrayVariable> real)
            : real_(std::move(real)) {}
        std::string Tag() const override { return real_->Tag(); }
        host::NumberArray GetValues() const override { return real_->GetValues(); }
        void SetValues(const host::NumberArray& values) override { real_->SetValues(values); }
        void SetBounds(std::size_t) override {}
        void SetBounds(std::size_t, std::size_t) override {}
        std::shared_ptr<host::RealValue> Element(std::size_t i) override {
            return real_->Element(i);
        }
        std::shared_ptr<host::RealValue> Element(std::size_t i, std::size_t j) override {
            return real_->Element(i, j);
        }

      private:
        std::shared_ptr<host::NumberArrayVariable> real_;
    };
    class UnitWithStuckTypes final : public UnitContainer {
      public:
        using UnitContainer::UnitContainer;
        std::shared_ptr<host::Variable> FindVariable(const std::string& tag) override {
            auto found = UnitContainer::FindVariable(tag);
            if (tag != "enumTrendTypes") return found;
            return std::make_shared<StuckBounds>(
                std::dynamic_pointer_cast<host::NumberArrayVariable>(found));
        }
    };
    SetNumber("boolTraceErrors", 1);
    SetNumbers("enumTrendVars", {208, 312});
    State().container() = std::make_shared<UnitWithStuckTypes>(unit);
    zefa->InitializeInternalVariables();

    zefa->FixUpTheEnums();

    EXPECT_THAT(Numbers("enumTrendVars"), ElementsAre(208, 312));
    EXPECT_THAT(Numbers("enumTrendTypes"), ::testing::IsEmpty());
    EXPECT_THAT(window->Lines(), ElementsAre("METHOD -- FixUpTheEnums: Subscript out of range: "
                                             "PIPE-100: KAVRIS-ZEFA Link Error"));
}

}  // namespace
}  // namespace zefa::test

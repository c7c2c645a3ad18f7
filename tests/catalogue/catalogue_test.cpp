#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <set>
#include <string>

#include "catalogue/zefa_variables.h"
#include "platform/error.h"

namespace zefa::test {
namespace {

// Every entry in key order is compared with catalogue.tsv by the zefalink
// catalogue test, which lists them all through GetZEFAVariableInfo.
TEST(Catalogue, RejectsEveryOtherNumberAndLeavesTheRecordAlone) {
    constexpr std::int32_t kMin = std::numeric_limits<std::int32_t>::min();
    constexpr std::int32_t kMax = std::numeric_limits<std::int32_t>::max();
    for (std::int32_t key : {1, 24, 13501, -25, 13525, kMin, kMax, kMax - kMax % 25}) {
        ZEFAVariableInfo info{"keep", "u", 7};
        try {
            GetZEFAVariableInfo(key, info);
            ADD_FAILURE() << key << " accepted";
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), -2147220503);
            EXPECT_EQ(e.Source(), "KAVRIS.ZEFA");
            EXPECT_STREQ(e.what(), "GetZEFAVarInfo: GetZEFAVariableInfo: Unknown ZEFA Variable");
        }
        EXPECT_EQ(info.KeyText + info.Unit + std::to_string(info.TypeCode), "keepu7") << key;
    }
}

TEST(OldCodes, ConvertToCatalogueKeysRetiredOnesToZeroAndTheRestAreRejected) {
    const std::pair<std::int32_t, std::int32_t> renumbered[] = {
        {208, 8050}, {0, 825}, {308, 9700}, {503, 13475}, {100, 100}};
    for (const auto& [old_code, key] : renumbered) {
        EXPECT_EQ(ConvertOldZEFAVariableCode(old_code).Key, key) << old_code;
        EXPECT_FALSE(ConvertOldZEFAVariableCode(old_code).NoLongerRelevant) << old_code;
    }
    int mapped = 0;
    std::set<std::int32_t> retired;
    for (std::int32_t code = -5; code <= 1000; ++code) {
        try {
            const OldZEFAVariableConversion converted = ConvertOldZEFAVariableCode(code);
            ZEFAVariableInfo info;
            EXPECT_NO_THROW(GetZEFAVariableInfo(converted.Key, info)) << code;
            if (converted.NoLongerRelevant) {
                EXPECT_EQ(converted.Key, 0);
                retired.insert(code);
            } else {
                ++mapped;
            }
        } catch (const Error& e) {
            EXPECT_EQ(e.Number(), -2147220503);
            EXPECT_STREQ(e.what(), "GetZEFAVariableInfo: Unknown ZEFA Variable");
        }
    }
    EXPECT_EQ(mapped, 52);  // 51 renumbered codes plus 100
    EXPECT_EQ(retired, (std::set<std::int32_t>{5, 6, 7, 8, 9, 10, 310, 311, 312, 402, 500}));
}

}  // namespace
}  // namespace zefa::test

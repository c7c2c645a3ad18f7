#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <fstream>
#include <limits>
#include <set>
#include <sstream>
#include <string>

#include "catalogue/zefa_variables.h"
#include "platform/error.h"

namespace zefa::test {
namespace {

std::string Entry(std::int32_t key) {
    ZEFAVariableInfo info;
    GetZEFAVariableInfo(key, info);
    std::ostringstream line;
    line << key << '\t' << info.KeyText << '\t' << info.Unit << '\t' << info.TypeCode;
    return line.str();
}

TEST(Catalogue, LooksUpKeysAtBothEndsAndInBetween) {
    EXPECT_EQ(Entry(0), "0\tACCGAG\tkg\t0");
    EXPECT_EQ(Entry(825), "825\tAL\t\t1");
    EXPECT_EQ(Entry(2775), "2775\tDPDGLTWTS\t(Pa s)/kg\t5");  // before DPDGGS: not alphabetical
    EXPECT_EQ(Entry(2800), "2800\tDPDGGS\t(Pa s)/kg\t5");
    EXPECT_EQ(Entry(6125), "6125\tHT\ts\t15");
    EXPECT_EQ(Entry(10550), "10550\tTM\t\xC2\xB0\x43\t1");
    EXPECT_EQ(Entry(8100), "8100\tPTJF\tN/m\xC2\xB2\t16");
    EXPECT_EQ(Entry(13450), "13450\tZZBOU\tm\t0");
    EXPECT_EQ(Entry(13500), "13500\tZZVOL\tm\t1");
}

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

TEST(Catalogue, MatchesTheExpectedTableWithItsCountPerTypeCode) {
    std::ifstream file(ZEFA_CATALOGUE_TSV, std::ios::binary);
    ASSERT_TRUE(file) << ZEFA_CATALOGUE_TSV;
    std::array<int, 24> counts{};
    std::set<std::string> texts;
    std::string line;
    std::int32_t key = 0;
    for (; std::getline(file, line); key += 25) {
        EXPECT_EQ(Entry(key), line);
        ZEFAVariableInfo info;
        GetZEFAVariableInfo(key, info);
        ++counts.at(static_cast<std::size_t>(info.TypeCode));
        texts.insert(info.KeyText);
    }
    EXPECT_EQ(key, 541 * 25);
    EXPECT_EQ(texts.size(), 541u);
    EXPECT_EQ(counts, (std::array<int, 24>{83, 85, 1,  10, 6,  19, 3, 1,  19, 10, 37, 13,
                                           18, 1,  50, 14, 85, 7,  3, 14, 12, 29, 10, 11}));
}

TEST(OldCodes, ConvertToCatalogueKeys) {
    const std::pair<std::int32_t, std::int32_t> cases[] = {
        {208, 8050}, {0, 825}, {308, 9700}, {503, 13475}, {100, 100}};
    for (const auto& [old_code, key] : cases) {
        const OldZEFAVariableConversion converted = ConvertOldZEFAVariableCode(old_code);
        EXPECT_EQ(converted.Key, key);
        EXPECT_FALSE(converted.NoLongerRelevant);
    }
    EXPECT_EQ(Entry(8050), "8050\tPT\tPa\t1");
    EXPECT_EQ(Entry(100), "100\tACCOIG\tkg\t0");
    EXPECT_EQ(kOldSelectionNoLongerRelevantMessage,
              "The old Trend or Profile selection is no longer relavent with this new version of "
              "the ZEFA Server and will be set to the first variable in the list.");
}

TEST(OldCodes, RetiredCodesBecomeZeroUnknownCodesAreRejected) {
    int mapped = 0;
    std::set<std::int32_t> retired;
    for (std::int32_t code = -5; code <= 1000; ++code) {
        try {
            const OldZEFAVariableConversion converted = ConvertOldZEFAVariableCode(code);
            EXPECT_NO_THROW(Entry(converted.Key)) << code;
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

#include "client/protocol.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace zefa::test {
namespace {

using namespace zefa::protocol;

Bytes Hex(std::initializer_list<int> values) {
    Bytes out;
    for (int v : values) out.push_back(static_cast<std::uint8_t>(v));
    return out;
}

Bytes Header(std::string_view name, std::int32_t length) {
    Bytes h(24, 0);
    PutText(h, 0, name);
    PutInt32BE(h, 20, length);
    return h;
}

// The client test checks every request's bytes; here only what it does not
// reach: negative and multi-byte integers, negative floats, the name limit.
TEST(Protocol, ListLayouts) {
    const std::int32_t sizes[] = {-2, 0x01020304};
    const Bytes ints = PackInts(MessageType::InpSizes, sizes);
    EXPECT_EQ(Bytes(ints.begin() + 20, ints.end()),
              Hex({0, 0, 0, 8, 0xFF, 0xFF, 0xFF, 0xFE, 1, 2, 3, 4}));
    const Bytes one = PackFloat(MessageType::SetTend, -2.5f);
    EXPECT_EQ(Bytes(one.begin() + 20, one.end()), Hex({0, 0, 0, 4, 0xC0, 0x20, 0, 0}));
    EXPECT_THROW(PackEmpty("ABCDEFGHIJKLMNOPQRSTU"), std::length_error);
}

TEST(Protocol, BigEndianHelpersCheckBounds) {
    Bytes buf(6, 0);
    PutInt32BE(buf, 2, -1);
    EXPECT_EQ(buf, Hex({0, 0, 0xFF, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(GetInt32BE(buf, 2), -1);
    EXPECT_THROW(PutInt32BE(buf, 3, 1), std::out_of_range);
    EXPECT_THROW(GetFloatBE(buf, 3), std::out_of_range);
    EXPECT_THROW(GetInt32BE(buf, std::numeric_limits<std::size_t>::max() - 1), std::out_of_range);
    const float nan = std::numeric_limits<float>::quiet_NaN();
    PutFloatBE(buf, 0, nan);
    EXPECT_TRUE(std::isnan(GetFloatBE(buf, 0)));
    EXPECT_EQ(GetText(buf, 4, 100).size(), 2u);
    EXPECT_EQ(GetText(buf, 7, 3), "");
}

TEST(Protocol, HeaderRecognitionAndSearch) {
    const Bytes ok = PackText("ZEFA_OK", "fine");
    auto header = ParseHeader(ok);
    ASSERT_TRUE(header);
    EXPECT_EQ(header->name, "ZEFA_OK");
    EXPECT_EQ(header->payload_length, 5);
    EXPECT_FALSE(ParseHeader(ByteView(ok.data(), 23)));

    EXPECT_TRUE(HasTypePrefix(ok, "ZEFA_OK"));
    EXPECT_TRUE(HasTypePrefix(ok, "ZEFA_"));
    EXPECT_FALSE(HasTypePrefix(ok, "ZEFA_OUTTR_DATA"));
    EXPECT_FALSE(HasTypePrefix(ok, "zefa_ok"));
    EXPECT_FALSE(HasTypePrefix(ByteView(ok.data(), 3), "ZEFA_OK"));
    // A 20-byte name without NUL is only compared on its first 19 bytes.
    const Bytes full = PackEmpty("ABCDEFGHIJKLMNOPQRST");
    EXPECT_FALSE(HasTypePrefix(full, "ABCDEFGHIJKLMNOPQRST"));
    EXPECT_EQ(ParseHeader(full)->name, "ABCDEFGHIJKLMNOPQRST");

    EXPECT_EQ(FindBytes(ok, "fine"), 24u);
    EXPECT_EQ(FindBytes(ok, "fine", 25), std::string_view::npos);
    EXPECT_EQ(FindBytes(ok, "ZEFA", 100), std::string_view::npos);
}

TEST(Protocol, ClientUnpackRule) {
    std::vector<float> out{9.0f};
    const float two[] = {1.5f, 2.5f};
    UnpackFloatList(PackFloats("ZEFA_OUTTR_DATA", two), 0, out);
    EXPECT_EQ(out, (std::vector<float>{1.5f, 2.5f}));

    // Length 0: the count is invalid and the previous values stay.
    EXPECT_THROW(UnpackFloatList(Header("ZEFA_OUTTR_DATA", 0), 0, out), UnpackError);
    EXPECT_EQ(out.size(), 2u);
    // Length 5 rounds to one value; length 6 rounds (to even) to two, and the
    // second runs past the received bytes: the first value stays.
    Bytes five = Header("X", 5);
    for (int v : {0x3F, 0x80, 0, 0, 0}) five.push_back(static_cast<std::uint8_t>(v));
    UnpackFloatList(five, 0, out);
    EXPECT_EQ(out, std::vector<float>{1.0f});
    Bytes six = Header("X", 6);
    for (int v : {0x40, 0, 0, 0, 0, 0}) six.push_back(static_cast<std::uint8_t>(v));
    EXPECT_THROW(UnpackFloatList(six, 0, out), UnpackError);
    EXPECT_EQ(out, std::vector<float>{2.0f});
    // Length 2 rounds to 0 values: an error. A length beyond what arrived keeps what was read.
    EXPECT_THROW(UnpackFloatList(Header("X", 2), 0, out), UnpackError);
    std::vector<std::int32_t> ints;
    Bytes huge = Header("X", std::numeric_limits<std::int32_t>::max());
    for (int v : {0, 0, 0, 42}) huge.push_back(static_cast<std::uint8_t>(v));
    EXPECT_THROW(UnpackIntList(huge, 0, ints), UnpackError);
    EXPECT_EQ(ints, std::vector<std::int32_t>{42});
    EXPECT_THROW(UnpackIntList(Header("X", -8), 0, ints), UnpackError);
    EXPECT_THROW(UnpackIntList(Hex({1, 2}), 0, ints), UnpackError);
    EXPECT_THROW(UnpackIntList(huge, 100, ints), UnpackError);
}

}  // namespace
}  // namespace zefa::test

// Number formatting, printable text, path joining and checked rounding.
#include "platform/text.h"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/error.h"

namespace zefa {

std::string FormatDouble(double value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    std::array<char, 64> text{};
    std::snprintf(text.data(), text.size(), "%.15g", value);
    return text.data();
}

std::string FormatSingle(float value) {
    if (std::isnan(value)) return "NaN";
    if (std::isinf(value)) return value > 0 ? "Infinity" : "-Infinity";
    std::array<char, 64> text{};
    const auto result =
        std::to_chars(text.data(), text.data() + text.size(), value, std::chars_format::fixed);
    if (result.ec != std::errc()) return FormatDouble(value);
    return std::string(text.data(), result.ptr);
}

std::string TwoDigits(int value) {
    std::array<char, 8> text{};
    std::snprintf(text.data(), text.size(), "%02d", value % 100);
    return text.data();
}

std::string PrintableText(std::string_view text, std::size_t limit) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (out.size() >= limit) {
            out += "... (" + std::to_string(text.size()) + " bytes)";
            break;
        }
        const auto c = static_cast<unsigned char>(text[i]);
        if (c >= 0x20 && c < 0x7F) {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    return out;
}

std::string JoinPath(const std::string& folder, const std::string& name) {
    if (folder.empty() || folder.back() == '/') return folder + name;
    return folder + "/" + name;
}

namespace {
template <class Int>
Int RoundChecked(double value) {
    const double rounded = std::nearbyint(value);
    if (!std::isfinite(rounded) || rounded < std::numeric_limits<Int>::min() ||
        rounded > std::numeric_limits<Int>::max())
        throw Error::Overflow();
    return static_cast<Int>(rounded);
}
}  // namespace

std::int32_t RoundToInt32(double value) {
    return RoundChecked<std::int32_t>(value);
}
std::int16_t RoundToInt16(double value) {
    return RoundChecked<std::int16_t>(value);
}

std::int16_t CountToInt16(std::size_t count) {
    if (count > static_cast<std::size_t>(std::numeric_limits<std::int16_t>::max()))
        throw Error::Overflow();
    return static_cast<std::int16_t>(count);
}

}  // namespace zefa

#pragma once

// Small text and number helpers that every subsystem of the extension uses:
// the one number formatter, checked conversions to the integer sizes the
// extension stores, and path joining.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zefa {

// A number "as text": up to 15 significant digits, no trailing zeros, no
// exponent for ordinary magnitudes (16800, 150000, 500000.5).
std::string FormatDouble(double value);
// A single-precision value as trace lines write it: the shortest digits that
// read back as the same float, without an exponent.
std::string FormatSingle(float value);
// The last two digits of a non-negative number, zero-padded ("07").
std::string TwoDigits(int value);
// `folder` and `name` joined by the platform separator (none added when the
// folder is empty or already ends with one).
// Text that is safe in a message, a log line or a JSON string: printable
// ASCII kept, every other byte (NUL, control characters, bytes above 0x7F)
// written as \xNN, and anything beyond `limit` characters cut with a note of
// how many bytes there were.
std::string PrintableText(std::string_view text, std::size_t limit = 400);

std::string JoinPath(const std::string& folder, const std::string& name);

// `value` rounded half to even; raises Error::Overflow when the result does
// not fit (or is not a number).
std::int32_t RoundToInt32(double value);
std::int16_t RoundToInt16(double value);
// A count that the extension keeps in 16 bits; raises Error::Overflow instead
// of wrapping when it exceeds 32,767.
std::int16_t CountToInt16(std::size_t count);

}  // namespace zefa

#pragma once

// ZEFAVariables: the catalogue of pipeline variables that the pipeline server
// can report. A trend or profile selection is stored in the case as a numeric
// key; the catalogue turns that key into the server's key text, the unit the
// server reports it in and the variable's type code.

#include <cstdint>
#include <string>
#include <string_view>

namespace zefa {

// What the catalogue knows about one pipeline variable.
struct ZEFAVariableInfo {
    std::string KeyText;        // the server's name of the variable, e.g. "PT"
    std::string Unit;           // e.g. "Pa"; empty for dimensionless variables
    std::int32_t TypeCode = 0;  // class of the variable, 0 to 23
};

// Keys run from 0 to kLastZEFAVariableKey in steps of kZEFAVariableKeyStep.
inline constexpr std::int32_t kZEFAVariableCount = 541;
inline constexpr std::int32_t kZEFAVariableKeyStep = 25;
inline constexpr std::int32_t kLastZEFAVariableKey =
    (kZEFAVariableCount - 1) * kZEFAVariableKeyStep;

// Type codes with a meaning of their own elsewhere in the extension.
inline constexpr std::int32_t kZEFATypeAtBoundaries = 0;  // profiles plot against ZZBOU
inline constexpr std::int32_t kZEFATypeAtVolumes = 1;     // profiles plot against ZZVOL
inline constexpr std::int32_t kZEFATypeNoPosition = 15;   // trends request an empty position

// The error raised for a number that is not a catalogue key.
inline constexpr std::int32_t kUnknownZEFAVariableNumber =
    static_cast<std::int32_t>(0x800403E9u);  // -2147220503
inline constexpr std::string_view kUnknownZEFAVariableSource = "KAVRIS.ZEFA";
// Description of the error where it is first raised ...
inline constexpr std::string_view kUnknownZEFAVariableText =
    "GetZEFAVariableInfo: Unknown ZEFA Variable";
// ... and as GetZEFAVariableInfo passes it on to its caller.
inline constexpr std::string_view kUnknownZEFAVariableLookupText =
    "GetZEFAVarInfo: GetZEFAVariableInfo: Unknown ZEFA Variable";

// Fills `info` with the catalogue entry of `key`. Any number that is not a key
// throws zefa::Error (kUnknownZEFAVariableNumber, kUnknownZEFAVariableSource,
// kUnknownZEFAVariableLookupText) and leaves `info` untouched.
void GetZEFAVariableInfo(std::int32_t key, ZEFAVariableInfo& info);

// True when `key` is a catalogue key.
constexpr bool IsZEFAVariableKey(std::int32_t key) {
    return key >= 0 && key <= kLastZEFAVariableKey && key % kZEFAVariableKeyStep == 0;
}

// An earlier version of the extension stored trend and profile selections in
// another numbering. ConvertOldZEFAVariableCode maps such a stored code to a
// catalogue key.
struct OldZEFAVariableConversion {
    std::int32_t Key = 0;
    // The old variable has no counterpart any more; Key is 0 (the first
    // variable of the catalogue) and the user is to be told with
    // kOldSelectionNoLongerRelevantMessage.
    bool NoLongerRelevant = false;
};

inline constexpr std::string_view kOldSelectionNoLongerRelevantMessage =
    "The old Trend or Profile selection is no longer relavent with this new version of the ZEFA "
    "Server and will be set to the first variable in the list.";

// Throws zefa::Error (kUnknownZEFAVariableNumber, kUnknownZEFAVariableSource,
// kUnknownZEFAVariableText) for a code the old numbering did not have.
OldZEFAVariableConversion ConvertOldZEFAVariableCode(std::int32_t old_code);

}  // namespace zefa

// FixUpTheEnums: moves the trend and profile keys of an older case to the
// catalogue's present keys.
#include <cmath>

#include "catalogue/zefa_variables.h"
#include "extension/zefa.h"

namespace zefa {

// Converts trend and profile selections stored in the old numbering to
// catalogue keys and refreshes their type codes. Each list is written back
// only when all its entries converted, so a failure leaves it as stored.
void ZEFA::FixUpTheEnums() {
    Trap("FixUpTheEnums", [&] {
        auto convert = [&](host::NumberArrayVariable& selections,
                           host::NumberArrayVariable& types) {
            host::NumberArray keys = selections.GetValues();
            const std::size_t count = keys.data.size();
            types.SetBounds(count);
            host::NumberArray codes = types.GetValues();
            for (std::size_t i = 0; i < count; ++i) {
                const double stored = keys.At(i);
                // A value no 32-bit code can hold is as unknown as any other.
                const bool representable = std::isfinite(stored) && std::fabs(stored) < 2.0e9;
                const auto old_code =
                    representable ? static_cast<std::int32_t>(std::nearbyint(stored)) : -1;
                const OldZEFAVariableConversion converted = ConvertOldZEFAVariableCode(old_code);
                if (converted.NoLongerRelevant) {
                    strLastMessage = std::string(kOldSelectionNoLongerRelevantMessage);
                    ReportError(strLastMessage);
                }
                keys.At(i) = converted.Key;
                ZEFAVariableInfo info;
                GetZEFAVariableInfo(converted.Key, info);
                codes.At(i) = info.TypeCode;
            }
            selections.SetValues(keys);
            types.SetValues(codes);
        };
        convert(Use(vars.enumTrendVars), Use(vars.enumTrendTypes));
        convert(Use(vars.enumProfileVars), Use(vars.enumProfileTypes));
    });
}

}  // namespace zefa

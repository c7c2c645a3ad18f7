#pragma once

// Reading a pipeline unit's extension variables by tag for zefalink's own
// outputs and checks: a tag the unit does not have (or of another kind)
// reads as nothing rather than failing.

#include <memory>
#include <string>
#include <vector>

#include "lib/case.h"

namespace zefalink {

// The unit's variable `tag` as the kind T; null when it has none of that kind.
template <class T>
std::shared_ptr<T> UnitVariable(refhost::PipelineUnit& unit, const char* tag) {
    try {
        return std::dynamic_pointer_cast<T>(unit.FindVariable(tag));
    } catch (const std::exception&) {
        return nullptr;
    }
}

// The values of a text array of the unit; empty when it has none.
inline std::vector<std::string> UnitTexts(refhost::PipelineUnit& unit, const char* tag) {
    auto v = UnitVariable<host::TextArrayVariable>(unit, tag);
    return v ? v->GetValues() : std::vector<std::string>{};
}

}  // namespace zefalink

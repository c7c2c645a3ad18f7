#include "extension/zefa.h"

namespace zefa {

void ZEFA::Save() {}

void ZEFA::Terminate() {
    Trap("Terminate", [&] {
        vars = BoundVariables{};
        objContainer.reset();
        objDynContainer.reset();
        intInstanceCount = static_cast<std::int16_t>(intInstanceCount - 1);
    });
}

}  // namespace zefa

// Variable-change handling is not built yet: every edit of the view is
// accepted and nothing acts on it.
#include "extension/zefa.h"

namespace zefa {

bool ZEFA::VariableChanging(host::VariableWrapper& /*wrapper*/) {
    return true;
}
void ZEFA::VariableChanged(host::VariableWrapper& /*wrapper*/) {}

}  // namespace zefa

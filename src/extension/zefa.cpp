// ZEFA's construction and destruction, its client, the user interface it
// reports through, and the row counts of array variables.
#include "extension/zefa.h"

namespace zefa {

std::int16_t ZEFA::intInstanceCount = 0;

ZEFA::ZEFA(std::shared_ptr<host::UserInterface> ui, std::shared_ptr<host::Clock> clock)
    : ui_(ui ? std::move(ui) : std::make_shared<host::NullUserInterface>()),
      clock_(clock ? std::move(clock) : host::DefaultClock()) {
    // Class_Initialize: the object's only start-up work is its client.
    mobjZefaClient = std::make_unique<ZEFA_Client>(clock_, ui_.get());
    mobjZefaClient->Owner = this;
}

ZEFA::~ZEFA() {
    if (mobjZefaClient) mobjZefaClient->Owner = nullptr;
}

host::UserInterface& ZEFA::ui() {
    if (objContainer) {
        try {
            if (auto from_host = objContainer->GetUserInterface()) return *from_host;
        } catch (...) {
            // Fall back to the user interface given at construction.
        }
    }
    return *ui_;
}

std::size_t CountOf(const host::TextArrayVariable& v) {
    return v.GetValues().size();
}
std::size_t CountOf(const host::NumberArrayVariable& v) {
    return v.GetValues().Count();
}

}  // namespace zefa

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

// Binds the variables; the defaults, upgrades and the rest of the lifecycle
// are applied by the lifecycle code once it exists.
std::int32_t ZEFA::Initialize(std::shared_ptr<host::Container> container, bool is_recalling) {
    std::int32_t result = 0;
    Trap("Initialize", [&] {
        ++intInstanceCount;
        objContainer = std::move(container);
        InitializeInternalVariables();
        if (is_recalling) {
            intNumInlets = static_cast<std::int16_t>(Use(vars.Inlets).GetStreams().size());
            intNumOutlets = static_cast<std::int16_t>(Use(vars.Outlets).GetStreams().size());
            intNumControllers = static_cast<std::int16_t>(CountOf(Use(vars.KAVRISControllers)));
        }
        lngServerState = 0;
        result = kInterfaceVersion;
    });
    return result;
}

void ZEFA::Execute(bool /*forgetting*/) {}

void ZEFA::ZEFAServerDisconnected() {
    Trap("ZEFAServerDisconnected", [&] {
        lngServerState = 0;
        Use(vars.isConnected).SetValue(0);
        Use(vars.CanLoadFile).SetValue(0);
        Use(vars.isReady).SetValue(0);
        DynamicStatusUpdate();
    });
}

// Results of a standalone run are taken by the standalone-run code; outside
// such a run the event means nothing here.
void ZEFA::FinishRunZefa() {}

bool ZEFA::OnHelp(std::int32_t& /*help_panel*/) {
    return true;
}

}  // namespace zefa

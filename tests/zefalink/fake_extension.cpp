// A stand-in extension library for the exit codes of zefalink run. The unit's
// "notabug" variable picks the behaviour: 1 never gets ready (server
// unavailable), 2 has its server step time out from the third step on,
// anything else runs quietly.
//
// It also writes every VariableChanging and VariableChanged call to the
// message window (the wrapper as received, the stored value, whether the
// integrator runs), and refuses a change whose new text is "refuse" with a
// message of its own.
#include <cstdio>
#include <memory>
#include <string>

#include "extension/tool_interface.h"
#include "null_extension.h"

namespace {

class FakeExtension final : public zefa::test::NullExtension {
  public:
    std::int32_t Initialize(std::shared_ptr<host::Container> container, bool) override {
        container_ = std::move(container);
        return 4815;
    }
    void Terminate() override { container_.reset(); }
    bool InitializeSystem(bool) override {
        Number("isReady")->SetValue(Mode() == 1 ? 0.0 : 1.0);
        return Mode() != 1;
    }
    void PreProcessStates() override {
        if (Mode() == 2 && ++steps_ >= 3) ++time_outs_;
    }
    long TimeOuts() const { return time_outs_; }

    bool VariableChanging(host::VariableWrapper& w) override {
        Record("changing", w);
        if (w.NewText() != "refuse") return true;
        container_->WriteMessage("fake: " + w.Tag() + " refused");
        return false;
    }
    void VariableChanged(host::VariableWrapper& w) override { Record("changed", w); }

  private:
    static std::string Text(double v) {
        if (host::IsEmptyNumber(v)) return "empty";
        char buffer[32];
        std::snprintf(buffer, sizeof buffer, "%g", v);
        return buffer;
    }
    // The stored value the change is about: a plain value, an array's row
    // or a stream list's length.
    std::string Stored(const host::VariableWrapper& w) {
        auto v = container_->FindVariable(w.Tag());
        const auto row = static_cast<std::size_t>(w.Row());
        if (auto n = std::dynamic_pointer_cast<host::NumberVariable>(v)) return Text(n->GetValue());
        if (auto t = std::dynamic_pointer_cast<host::TextVariable>(v)) return t->GetValue();
        if (auto a = std::dynamic_pointer_cast<host::NumberArrayVariable>(v)) {
            const auto values = a->GetValues();
            return row < values.Count() ? Text(values.At(row)) : "none";
        }
        if (auto a = std::dynamic_pointer_cast<host::TextArrayVariable>(v)) {
            const auto values = a->GetValues();
            return row < values.size() ? values[row] : "none";
        }
        if (auto l = std::dynamic_pointer_cast<host::StreamListVariable>(v))
            return std::to_string(l->GetStreams().size()) + " streams";
        return "?";
    }
    void Record(const char* what, const host::VariableWrapper& w) {
        const bool running = container_->GetCase()->GetSolver()->GetIntegrator()->IsRunning();
        container_->WriteMessage(std::string(what) + " " + w.Tag() +
                                 " row=" + std::to_string(w.Row()) +
                                 " number=" + Text(w.NewNumber()) + " text=" + w.NewText() +
                                 " object=" + (w.VariableObject() ? "yes" : "no") +
                                 " stored=" + Stored(w) + " running=" + (running ? "1" : "0"));
    }

    std::shared_ptr<host::NumberVariable> Number(const char* tag) {
        return std::dynamic_pointer_cast<host::NumberVariable>(container_->FindVariable(tag));
    }
    int Mode() { return static_cast<int>(Number("notabug")->GetValue()); }

    std::shared_ptr<host::Container> container_;
    int steps_ = 0;
    long time_outs_ = 0;
};

int NotSupported(host::UnitOperationExtension*) {
    return 0;
}
long StepTimeOuts(host::UnitOperationExtension* e) {
    auto* fake = dynamic_cast<FakeExtension*>(e);
    return fake ? fake->TimeOuts() : -1;
}
int Format(double, char*, std::size_t) {
    return -1;
}
long NoCount(host::UnitOperationExtension*) {
    return 0;
}
int NoText(host::UnitOperationExtension*, char* buffer, std::size_t size) {
    if (buffer != nullptr && size > 0) buffer[0] = '\0';
    return 0;
}

const ZefaToolInterface kTools{kZefaToolInterfaceVersion,
                               Format,
                               NotSupported,
                               NotSupported,
                               NotSupported,
                               NotSupported,
                               NotSupported,
                               NotSupported,
                               NotSupported,
                               StepTimeOuts,
                               NotSupported,
                               NoCount,
                               NoText,
                               NotSupported,
                               NoText,
                               NotSupported};

}  // namespace

extern "C" {
__attribute__((visibility("default"))) host::UnitOperationExtension* ZefaCreateExtension(
    const char* class_name) {
    if (std::string(class_name) != "ZEFAPipeline.ZEFA") return nullptr;
    return new FakeExtension();
}
__attribute__((visibility("default"))) void ZefaDestroyExtension(
    host::UnitOperationExtension* extension) {
    delete extension;
}
__attribute__((visibility("default"))) const ZefaToolInterface* ZefaGetToolInterface(
    std::uint32_t version) {
    return version == kZefaToolInterfaceVersion ? &kTools : nullptr;
}
}

// A stand-in extension library for the exit codes of zefalink run. The unit's
// "notabug" variable picks the behaviour: 1 never gets ready (server
// unavailable), 2 has its server step time out from the third step on,
// anything else runs quietly.
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

  private:
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

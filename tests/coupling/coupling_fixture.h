#pragma once

// The coupling tests' host world: streams of the reference host connected as
// inlets and outlets, and a dynamic container.
#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

#include "extension/zefa.h"
#include "host_world.h"
#include "lib/case.h"
#include "lib/dynamic_container.h"
#include "lib/fluid.h"

namespace zefa::test::coupling {

using namespace refhost;
using test::TestFluid;
using test::TestPhase;
using test::TestStream;

using test::kSuffix;
class Coupling : public zefa::test::HostWorld {
  protected:
    void SetUp() override {
        HostWorld::SetUp();
        BindOnly();
        SetNumber("boolTraceErrors", 1);
        SetNumber("boolWritePFEquations", 0);
        std::weak_ptr<PipelineUnit> weak = unit;
        dyn = std::make_shared<HostDynamicContainer>("PIPE-100", [weak] {
            return weak.lock()->Get<host::StreamListVariable>("Outlets")->GetStreams();
        });
        State().dynContainer() = dyn;
    }

    void Array(const std::string& tag, host::NumberArray a) {
        unit->Get<host::NumberArrayVariable>(tag)->SetValues(a);
    }
    host::NumberArray Values(const std::string& tag) {
        return unit->Get<host::NumberArrayVariable>(tag)->GetValues();
    }
    // Connects streams; `inlet_boundary` / `outlet_source` are the check boxes.
    using Streams = std::vector<std::shared_ptr<host::MaterialStream>>;
    void Connect(Streams inlets, std::vector<double> inlet_boundary, Streams outlets,
                 std::vector<double> outlet_source) {
        unit->Get<host::StreamListVariable>("Inlets")->SetStreams(inlets);
        unit->Get<host::StreamListVariable>("Outlets")->SetStreams(outlets);
        Array("InletBoundaryCB", host::NumberArray::OneD(inlet_boundary));
        Array("OutletSourceCB", host::NumberArray::OneD(outlet_source));
        State().lists().intNumInlets = static_cast<std::int16_t>(inlets.size());
        State().lists().intNumOutlets = static_cast<std::int16_t>(outlets.size());
    }
    StreamPtr MakeStream(const std::string& name, std::vector<double> z, double t, double p,
                         double n) {
        return Stream::Create(name, Fluid::Create(set, z, t, p, n));
    }
    std::vector<std::string> Lines() const { return window->Lines(); }

    ComponentSetPtr set = std::make_shared<ComponentSet>(
        std::vector<std::string>{"methane", "propane", "n-hexane", "water"});
    std::shared_ptr<HostDynamicContainer> dyn;
};

}  // namespace zefa::test::coupling

#pragma once

// Material streams of the reference host and their values as host variables.

#include <memory>
#include <string>

#include "fluid.h"
#include "host/objects.h"

namespace refhost {

class Stream;

// One of a stream's four values as a host variable. The pressure-flow solver
// recognises its unknowns by these objects.
class StreamValue final : public host::RealValue {
  public:
    enum class What { Pressure, Temperature, MassFlow, MolarFlow };
    StreamValue(std::shared_ptr<Stream> stream, What what)
        : stream_(std::move(stream)), what_(what) {}
    double GetValue() const override;
    void SetValue(double value) override;
    std::string Quantity() const override;
    // 1 when the stream holds this value as a spec.
    int State() const override;

    const std::shared_ptr<Stream>& GetStream() const { return stream_; }
    What Which() const { return what_; }

  private:
    std::shared_ptr<Stream> stream_;
    What what_;
};

// A material stream: a fluid at the stream's conditions plus the
// spec flags of the pressure-flow solver.
class Stream final : public host::MaterialStream, public std::enable_shared_from_this<Stream> {
  public:
    static std::shared_ptr<Stream> Create(std::string name, FluidPtr fluid);

    // Spec flags and the monikers under which the host shows them.
    static constexpr const char* kPressureSpecMoniker = ":Boolean.520";
    static constexpr const char* kFlowSpecMoniker = ":Boolean.521";
    static constexpr const char* kFlowBasisMoniker = ":Index.528";
    enum FlowBasis { kMolarBasis = 0, kMassBasis = 1 };

    bool PressureSpecified() const { return pressure_spec_; }
    bool FlowSpecified() const { return flow_spec_; }
    int FlowBasisIndex() const { return flow_basis_; }
    void SpecifyPressure(bool on) { pressure_spec_ = on; }
    void SpecifyFlow(bool on, int basis = kMassBasis);
    // Sets a flag by moniker; throws std::invalid_argument for an unknown one.
    void SetMonikerValue(const std::string& moniker, double value);

    const FluidPtr& GetFluid() const { return fluid_; }
    // Takes over another fluid's composition, conditions and flow.
    void ReplaceFluid(const Fluid& fluid) { fluid_->CopyFrom(fluid); }

    // host::MaterialStream
    std::string Name() const override { return name_; }
    std::string TaggedName() const override { return name_; }
    std::shared_ptr<host::RealValue> Pressure() override;
    std::shared_ptr<host::RealValue> Temperature() override;
    std::shared_ptr<host::RealValue> MassFlow() override;
    std::shared_ptr<host::RealValue> MolarFlow() override;
    std::shared_ptr<StreamValue> Value(StreamValue::What what);
    double MonikerValue(const std::string& moniker) const override;
    std::shared_ptr<host::Fluid> DuplicateFluid() const override { return fluid_->Copy(); }

  private:
    Stream(std::string name, FluidPtr fluid) : name_(std::move(name)), fluid_(std::move(fluid)) {}

    std::string name_;
    FluidPtr fluid_;
    bool pressure_spec_ = false;
    bool flow_spec_ = false;
    int flow_basis_ = kMassBasis;
};

using StreamPtr = std::shared_ptr<Stream>;

}  // namespace refhost

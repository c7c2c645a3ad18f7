// Material streams: their fluid, their four values as host variables and the
// pressure-flow spec flags.
#include "stream.h"

#include <cmath>
#include <stdexcept>

namespace refhost {

double StreamValue::GetValue() const {
    const Fluid& f = *stream_->GetFluid();
    switch (what_) {
        case What::Pressure:
            return f.PressureKPa();
        case What::Temperature:
            return f.TemperatureC();
        case What::MassFlow:
            return f.MassFlowValue();
        case What::MolarFlow:
            return f.MolarFlowKmol();
    }
    return 0.0;
}

void StreamValue::SetValue(double value) {
    if (!std::isfinite(value)) {
        throw std::invalid_argument("stream " + stream_->Name() + ": value is not a number");
    }
    Fluid& f = *stream_->GetFluid();
    switch (what_) {
        case What::Pressure:
            f.SetPressureKPa(value);
            break;
        case What::Temperature:
            f.SetTemperatureC(value);
            break;
        case What::MassFlow:
            f.SetMassFlow(value);
            break;
        case What::MolarFlow:
            f.SetMolarFlowKmol(value);
            break;
    }
}

std::string StreamValue::Quantity() const {
    switch (what_) {
        case What::Pressure:
            return "pressure";
        case What::Temperature:
            return "temperature";
        case What::MassFlow:
            return "massflow";
        case What::MolarFlow:
            return "molarflow";
    }
    return "";
}

int StreamValue::State() const {
    switch (what_) {
        case What::Pressure:
            return stream_->PressureSpecified() ? 1 : 0;
        case What::Temperature:
            return 0;
        case What::MassFlow:
            return stream_->FlowSpecified() && stream_->FlowBasisIndex() == Stream::kMassBasis;
        case What::MolarFlow:
            return stream_->FlowSpecified() && stream_->FlowBasisIndex() == Stream::kMolarBasis;
    }
    return 0;
}

std::shared_ptr<Stream> Stream::Create(std::string name, FluidPtr fluid) {
    if (!fluid) throw std::invalid_argument("stream " + name + " needs a fluid");
    return std::shared_ptr<Stream>(new Stream(std::move(name), std::move(fluid)));
}

void Stream::SpecifyFlow(bool on, int basis) {
    if (basis != kMolarBasis && basis != kMassBasis) {
        throw std::invalid_argument("flow basis must be 0 (molar) or 1 (mass)");
    }
    flow_spec_ = on;
    flow_basis_ = basis;
}

double Stream::MonikerValue(const std::string& moniker) const {
    if (moniker == kPressureSpecMoniker) return pressure_spec_ ? 1.0 : 0.0;
    if (moniker == kFlowSpecMoniker) return flow_spec_ ? 1.0 : 0.0;
    if (moniker == kFlowBasisMoniker) return flow_basis_;
    throw std::invalid_argument("stream " + name_ + " has no variable " + moniker);
}

void Stream::SetMonikerValue(const std::string& moniker, double value) {
    if (moniker == kPressureSpecMoniker) {
        pressure_spec_ = value == 1.0;
    } else if (moniker == kFlowSpecMoniker) {
        flow_spec_ = value == 1.0;
    } else if (moniker == kFlowBasisMoniker) {
        SpecifyFlow(flow_spec_, static_cast<int>(value));
    } else {
        throw std::invalid_argument("stream " + name_ + " has no variable " + moniker);
    }
}

std::shared_ptr<StreamValue> Stream::Value(StreamValue::What what) {
    return std::make_shared<StreamValue>(shared_from_this(), what);
}
std::shared_ptr<host::RealValue> Stream::Pressure() {
    return Value(StreamValue::What::Pressure);
}
std::shared_ptr<host::RealValue> Stream::Temperature() {
    return Value(StreamValue::What::Temperature);
}
std::shared_ptr<host::RealValue> Stream::MassFlow() {
    return Value(StreamValue::What::MassFlow);
}
std::shared_ptr<host::RealValue> Stream::MolarFlow() {
    return Value(StreamValue::What::MolarFlow);
}

}  // namespace refhost

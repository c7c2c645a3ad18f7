// Pressure-flow equations: one linear equation per connection that the host's
// pressure-flow solver takes in place of the pipeline. A boundary gives a
// flow balance (molar flow as a linear function of pressure), a source a
// pressure balance (pressure as a linear function of molar flow). Each reads
// c0*x + c1*y = c2 and is linearised at every exchange with the server.
#include <array>
#include <cmath>
#include <string>

#include "coupling/connection_walk.h"
#include "extension/zefa.h"
#include "platform/text.h"

namespace zefa {

namespace {

// Below this magnitude a derivative is taken as this (positive) value, so an
// equation never loses its second variable.
constexpr double kFloor = 1e-15;
// Trend rows per connection: pressure, three derivatives, three flows, temperature.
constexpr std::size_t kRowsPerConnection = 8;
constexpr std::array<const char*, 3> kPhaseNames = {"vapour", "light liquid", "aqueous"};

// Pipeline results read back from the server are in N/m2; the host's
// pressures are in kPa.
constexpr double kServerPerHostPressure = 1000.0;

double TrendValue(const std::vector<double>& trend, std::size_t k) {
    if (k >= trend.size()) throw Error::SubscriptOutOfRange();
    return trend[k];
}

// Mass per mole of what crosses a connection: the stream's own (the host
// books the stream's moles at its weight), else the pipeline's flows'; 0
// when neither flows.
double MolarMass(double stream_mass, double stream_moles, double mass, double moles) {
    if (std::abs(stream_moles) > kFloor && stream_mass / stream_moles > 0.0)
        return stream_mass / stream_moles;
    if (std::abs(moles) > kFloor && mass / moles > 0.0) return mass / moles;
    return 0.0;
}

}  // namespace

bool ZEFA::EquationsOn(std::int16_t count) {
    return Num(vars.boolWritePFEquations) == 1.0 && Num(vars.ignoreZEFA) == 0.0 && count >= 1;
}

// The equation operations have no trap of their own: a failure goes back to
// the host as the failure of its call.

std::int32_t ZEFA::NumberOfPressBalEquations() {
    return EquationsOn(1) ? step_.intNumSources : 0;
}

std::optional<std::vector<std::int32_t>> ZEFA::VariablesInPressBalanceEquations() {
    if (!EquationsOn(step_.intNumSources)) return std::nullopt;
    return std::vector<std::int32_t>(static_cast<std::size_t>(step_.intNumSources), 2);
}

std::optional<std::vector<std::shared_ptr<host::RealValue>>> ZEFA::PressureBalanceEquationVars(
    std::int32_t& EquationIdx) {
    if (!EquationsOn(step_.intNumSources)) return std::nullopt;
    const auto inlets = Use(vars.Inlets).GetStreams();
    const auto outlets = Use(vars.Outlets).GetStreams();
    for (const auto& c : WalkConnections()) {
        if (c.boundary || static_cast<std::int64_t>(c.kindIndex) != EquationIdx) continue;
        host::MaterialStream& stream = Item(c.inlet ? inlets : outlets, c.index);
        return std::vector<std::shared_ptr<host::RealValue>>{stream.Pressure(), stream.MolarFlow()};
    }
    return std::vector<std::shared_ptr<host::RealValue>>(2);
}

std::optional<std::vector<double>> ZEFA::PressureBalanceEquationCoef(std::int32_t) {
    if (!EquationsOn(step_.intNumSources)) return std::nullopt;
    return std::vector<double>{1.0, 0.0, 101.325};
}

std::int32_t ZEFA::NumberOfFlowBalEquations() {
    return EquationsOn(1) ? step_.intNumBoundaries : 0;
}

std::optional<std::vector<std::int32_t>> ZEFA::VariablesInFlowBalanceEquations() {
    if (!EquationsOn(step_.intNumBoundaries)) return std::nullopt;
    return std::vector<std::int32_t>(static_cast<std::size_t>(step_.intNumBoundaries), 2);
}

std::optional<std::vector<std::shared_ptr<host::RealValue>>> ZEFA::FlowBalanceEquationVars(
    std::int32_t& EquationIdx) {
    if (!EquationsOn(step_.intNumBoundaries)) return std::nullopt;
    const auto inlets = Use(vars.Inlets).GetStreams();
    const auto outlets = Use(vars.Outlets).GetStreams();
    for (const auto& c : WalkConnections()) {
        if (!c.boundary || static_cast<std::int64_t>(c.kindIndex) != EquationIdx) continue;
        host::MaterialStream& stream = Item(c.inlet ? inlets : outlets, c.index);
        return std::vector<std::shared_ptr<host::RealValue>>{stream.MolarFlow(), stream.Pressure()};
    }
    return std::vector<std::shared_ptr<host::RealValue>>(2);
}

std::optional<std::vector<double>> ZEFA::FlowBalanceEquationCoef(std::int32_t) {
    if (!EquationsOn(step_.intNumBoundaries)) return std::nullopt;
    return std::vector<double>{1.0, 0.0, 0.0};
}

void ZEFA::UpdatePFEquationCoeffs() {
    Trap("UpdatePFEquationCoeffs", [&] {
        if (!(Num(vars.boolWritePFEquations) == 1.0 && Num(vars.ignoreZEFA) != 1.0)) return;
        // Outside a dynamic run (a standalone run before the host has ever
        // integrated) there are no host equations to update.
        if (!objDynContainer) return;
        host::DynamicContainer& dyn = *objDynContainer;
        // The last results taken: a reply that could not be used never
        // reaches the equations.
        const std::vector<double>& trend = step_.dblStepResults;
        // No results taken in this run yet: the coefficients stand as they are.
        if (trend.empty()) return;
        const auto flow_switch = Use(vars.bFlowSwitch).GetValues();
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        std::size_t k = 1;
        std::size_t position = 0;  // in walking order
        const double interval = Num(vars.ZEFARunInterval);
        for (const auto& c : WalkConnections()) {
            host::MaterialStream& stream = Item(c.inlet ? inlets : outlets, c.index);
            const auto fluid = stream.DuplicateFluid();
            host::Fluid& f = Deref(fluid.get());
            std::array<std::shared_ptr<host::Phase>, 3> phases;
            GetFluidPhases(&f, phases[0], phases[1], phases[2]);
            // A phase the fluid does not have has no molecular weight: its
            // flow cannot be turned into moles and is left out, as is that
            // of a phase whose molecular weight the host gives as 0.
            std::array<double, 3> m{};
            for (std::size_t p = 0; p < 3; ++p) {
                if (!phases[p]) continue;
                m[p] = phases[p]->MolecularWeight();
                if (m[p] == 0.0) {
                    ReportError(stream.TaggedName() + ": the " + kPhaseNames[p] +
                                " phase has a molecular weight of 0; its flow is left out of "
                                "the pressure-flow equation.");
                }
            }

            // The host's flows of a reversed connection are the server's
            // negated, and so are the derivatives of and by those flows.
            const double sign = FlowsReversed(c, flow_switch) ? -1.0 : 1.0;
            std::array<double, 3> g{}, d{};
            double pressure = 0.0;
            if (c.boundary) {
                // The flows are interpolated to the host's time: so is the
                // pressure they belong to, or the equation would tie one
                // interval's flow to another interval's pressure.
                const std::vector<double>& before =
                    step_.dblPreviousStepResults.empty() ? trend : step_.dblPreviousStepResults;
                pressure = GetInterpolatedValue(TrendValue(trend, k), TrendValue(before, k)) /
                           kServerPerHostPressure;
                for (std::size_t p = 0; p < 3; ++p) {
                    g[p] = step_.dblBoundaryFlows.At(c.kindIndex, p);  // already the host's sign
                    d[p] = sign * TrendValue(trend, k + 1 + p) * kServerPerHostPressure;
                }
            } else {
                if (c.kindIndex >= step_.dblSourcePressures.size())
                    throw Error::SubscriptOutOfRange();
                pressure = step_.dblSourcePressures[c.kindIndex];
                for (std::size_t p = 0; p < 3; ++p) {
                    g[p] = sign * TrendValue(trend, k + 4 + p);
                    d[p] = sign * TrendValue(trend, k + 1 + p) / kServerPerHostPressure;
                }
            }

            double molar_flow = 0.0;
            bool unconverted_flow = false;  // a flowing phase without a molecular weight
            for (std::size_t p = 0; p < 3; ++p) {
                if (m[p] != 0.0)
                    molar_flow += g[p] / m[p];
                else if (std::abs(g[p]) > kFloor)
                    unconverted_flow = true;
            }

            const int equation = static_cast<int>(c.kindIndex);
            if (c.boundary) {
                double dF = 0.0;
                for (std::size_t p = 0; p < 3; ++p)
                    if (m[p] > 0.0) dF += d[p] / m[p];
                // Flow towards the pipeline rises with the host's pressure at
                // the connection. Over an interval in which a riser slugs, the
                // server's response can come out of the other sign; the host's
                // solve would then settle on a reversed flow at a pressure far
                // from the pipeline's (9.6 bar behind a 40 bar sink), and with
                // no response at all it would push a slug's flow through the
                // valve at any pressure (550 bar). Such a slope is replaced by
                // the boundary's last usable one.
                std::vector<double>& slopes = step_.dblBoundarySlopes;
                if (slopes.size() <= c.kindIndex) slopes.resize(c.kindIndex + 1, 0.0);
                const double towards = dF * (c.inlet ? 1.0 : -1.0);
                if (towards > 0.0) slopes[c.kindIndex] = dF;
                if (towards < 0.0) dF = slopes[c.kindIndex];
                if (std::abs(dF) < kFloor) dF = kFloor;
                // What the host booked beyond what the pipeline passed is
                // taken from the flow the host gets over the next interval,
                // in the host's moles of the stream's fluid.
                const double weight = MolarMass(stream.MassFlowValue(), stream.MolarFlowValue(),
                                                g[0] + g[1] + g[2], molar_flow);
                if (weight > 0.0)
                    molar_flow -=
                        step_.interfaceMass.Correction(position, g[0] + g[1] + g[2], interval) /
                        weight;
                dyn.SetFlowBalanceCoefficient(equation, 0, 1.0);
                dyn.SetFlowBalanceCoefficient(equation, 1, -dF);
                dyn.SetFlowBalanceCoefficient(equation, 2, molar_flow - pressure * dF);
            } else {
                std::array<double, 3> z{};
                if (std::abs(molar_flow) <= 1e-10 || unconverted_flow) {
                    // No usable flow to split: the fluid's own phase split.
                    z[0] = f.VapourFraction();
                    const double fluid_flow = f.MolarFlowValue();
                    if (std::abs(fluid_flow) >= kFloor && phases[2])
                        z[2] = phases[2]->MolarFlow() / fluid_flow;
                    z[1] = 1.0 - z[0] - z[2];
                } else {
                    // A phase without a molecular weight has no flow here
                    // (else the branch above is taken): its fraction is 0.
                    for (std::size_t p = 0; p < 3; ++p)
                        z[p] = m[p] != 0.0 ? (g[p] / m[p]) / molar_flow : 0.0;
                }
                double c1 = 0.0;
                for (std::size_t p = 0; p < 3; ++p) c1 -= z[p] * m[p] * d[p];
                if (std::abs(c1) < kFloor) c1 = kFloor;
                dyn.SetPressureBalanceCoefficient(equation, 0, 1.0);
                dyn.SetPressureBalanceCoefficient(equation, 1, c1);
                dyn.SetPressureBalanceCoefficient(equation, 2,
                                                  c1 * stream.MolarFlowValue() + pressure);
            }
            k += kRowsPerConnection;
            ++position;
        }
    });
}

bool ZEFA::SetupDerivatives() {
    bool result = false;
    Trap("SetupDerivativeArrays", [&] {
        const auto source_tags = Use(vars.SourceTags).GetValues();
        const auto boundary_tags = Use(vars.BoundaryTags).GetValues();
        std::string names;
        std::vector<std::int32_t> sizes;
        std::size_t values = 0;
        for (const auto& c : WalkConnections()) {
            const auto& labels = c.inlet ? source_tags : boundary_tags;
            if (c.index >= labels.size()) throw Error::SubscriptOutOfRange();
            names += "$" + labels[c.index] + (c.boundary ? " BOUNDARY_DERIV " : " SOURCE_DERIV ");
            sizes.push_back(c.boundary ? 4 : 3);
            values += c.boundary ? 4 : 3;
        }
        const std::vector<float> zeros(values, 0.0f);
        ZEFA_Client& client = Deref(mobjZefaClient.get());
        if (!client.SetInputNames(names)) {
            ReportError(
                "ZEFA_INP_NAMES failed for derivatives.  Check the ZEFA Boundary/Source Labels "
                "you have specified on the Setup - Connections page under the Inlets and "
                "Outlets.");
            return;
        }
        if (!client.SetInputSizes(sizes, RoundToInt32(static_cast<double>(sizes.size())))) {
            ReportError("ZEFA_INP_SIZES failed for derivatives");
            return;
        }
        if (!client.SetInputData(zeros, RoundToInt32(static_cast<double>(zeros.size())))) {
            ReportError("ZEFA_INP_DATA failed for derivatives");
            return;
        }
        Use(vars.SourceDerivs).SetBounds(static_cast<std::size_t>(step_.intNumSources), 3);
        Use(vars.BoundaryDerivs).SetBounds(static_cast<std::size_t>(step_.intNumBoundaries), 3);
        result = true;
    });
    return result;
}

}  // namespace zefa

// The interface mass account of a coupled run (see interface_mass.h), and
// the step routines that keep it: the host's flows booked at each host step,
// the pipeline's taken with each server interval's results, and the defect
// fed back into the flows sent to sources and the boundaries' equations.
#include "coupling/interface_mass.h"

#include <algorithm>
#include <cmath>

#include "coupling/connection_walk.h"
#include "extension/zefa.h"

namespace zefa {

void InterfaceMass::Start(std::size_t connections, double t) {
    booked_.assign(connections, 0.0);
    passed_.assign(connections, 0.0);
    rate_.assign(connections, 0.0);
    bookedTime_ = passedTime_ = t;
}

void InterfaceMass::Book(const std::vector<double>& flows, double t) {
    const double dt = t - bookedTime_;
    bookedTime_ = t;
    if (!(dt > 0.0)) return;
    for (std::size_t c = 0; c < booked_.size() && c < flows.size(); ++c)
        if (std::isfinite(flows[c])) booked_[c] += flows[c] * dt;
}

void InterfaceMass::Pass(const std::vector<double>& flows, double t) {
    const double dt = t - passedTime_;
    passedTime_ = t;
    for (std::size_t c = 0; c < passed_.size() && c < flows.size(); ++c) {
        if (!std::isfinite(flows[c])) continue;
        rate_[c] = flows[c];
        if (dt > 0.0) passed_[c] += flows[c] * dt;
    }
}

double InterfaceMass::Defect(std::size_t connection) const {
    if (connection >= booked_.size()) return 0.0;
    // The pipeline's mass at the host's time, along its latest flow.
    const double passed = passed_[connection] + rate_[connection] * (bookedTime_ - passedTime_);
    return booked_[connection] - passed;
}

double InterfaceMass::Correction(std::size_t connection, double flow, double interval) const {
    if (!(interval > 0.0) || !std::isfinite(flow)) return 0.0;
    const double wanted = Defect(connection) / interval;
    // At most a quarter of the flow itself: the account is paid back over
    // several intervals, never reverses the flow, and never drives a line
    // that is being closed (repaid in full, the last interval's flow before
    // a shut-in kept the closed line ringing for a further 500 s).
    const double most = kMostRepaidShare * std::abs(flow);
    return std::clamp(wanted, -most, most);
    return 0.0;
}

namespace {

// Sum of the three phase flows of row `i`.
double RowTotal(const host::NumberArray& a, std::size_t i) {
    return a.At(i, 0) + a.At(i, 1) + a.At(i, 2);
}

}  // namespace

void ZEFA::BookInterfaceMass() {
    Trap("BookInterfaceMass", [&] {
        const auto inlets = Use(vars.Inlets).GetStreams();
        const auto outlets = Use(vars.Outlets).GetStreams();
        std::vector<double> flows;
        for (const auto& c : WalkConnections())
            flows.push_back(Item(c.inlet ? inlets : outlets, c.index).MassFlowValue());
        step_.interfaceMass.Book(flows, step_.dblKavrisTime);
    });
}

void ZEFA::PassInterfaceMass() {
    Trap("PassInterfaceMass", [&] {
        const auto boundary_flows = Use(vars.OutletMassFlows).GetValues();
        const auto source_flows = Use(vars.SourceMassFlows).GetValues();
        std::vector<double> flows;
        for (const auto& c : WalkConnections())
            flows.push_back(RowTotal(c.boundary ? boundary_flows : source_flows, c.kindIndex));
        step_.interfaceMass.Pass(flows, Num(vars.ZEFAsimTime));
    });
}

void ZEFA::AddInterfaceCorrections(std::vector<double>& lvarData) {
    Trap("AddInterfaceCorrections", [&] {
        const double interval = Num(vars.ZEFARunInterval);
        std::size_t position = 0;  // connections passed so far: 5 rows each
        for (const auto& c : WalkConnections()) {
            const std::size_t row = 5 * position + 1;
            if (!c.boundary && row < lvarData.size())
                lvarData[row] += step_.interfaceMass.Correction(position, lvarData[row], interval);
            ++position;
        }
    });
}

}  // namespace zefa

#pragma once

// The walk over the unit operation's connections that every coupling routine
// shares: the inlets in list order, then the outlets. An inlet ticked in
// "InletBoundaryCB" or an outlet not ticked in "OutletSourceCB" is attached to
// a pipeline boundary (the host gives its pressure); every other connection is
// attached to a source (the host gives its mass flow). Sources and boundaries
// are numbered separately from 0 in walking order.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

#include "extension/variables.h"
#include "host/objects.h"
#include "platform/error.h"

namespace zefa {

struct Connection {
    bool inlet;
    std::size_t index;  // in its own list (inlets or outlets)
    bool boundary;
    std::size_t kindIndex;  // boundary index or source index
};

inline std::vector<Connection> Walk(std::int16_t inlets, std::int16_t outlets,
                                    const host::NumberArray& inlet_cb,
                                    const host::NumberArray& outlet_cb) {
    std::vector<Connection> walk;
    std::size_t sources = 0, boundaries = 0;
    const auto add = [&](bool inlet, std::size_t j, bool boundary) {
        walk.push_back({inlet, j, boundary, boundary ? boundaries++ : sources++});
    };
    for (std::size_t j = 0; j < static_cast<std::size_t>(std::max<std::int16_t>(inlets, 0)); ++j)
        add(true, j, inlet_cb.At(j) == 1.0);
    for (std::size_t j = 0; j < static_cast<std::size_t>(std::max<std::int16_t>(outlets, 0)); ++j)
        add(false, j, outlet_cb.At(j) != 1.0);
    return walk;
}

// Whether the host counts the connection's flows opposite to the server,
// which counts them in the branch direction: an outlet source (the server's
// flow into the pipeline is the host's draw out of it) and an outlet boundary
// whose flow switch is on. Such a connection's flows, and every derivative
// taken of or with respect to one of its flows, change sign on the way.
inline bool FlowsReversed(const Connection& c, const host::NumberArray& flow_switch) {
    if (c.inlet) return false;
    return !c.boundary || flow_switch.At(c.index) == 1.0;
}

using StreamList = std::vector<std::shared_ptr<host::MaterialStream>>;

// Entry `j` of a stream list; a missing entry or an empty row is an error.
inline host::MaterialStream& Item(const StreamList& list, std::size_t j) {
    if (j >= list.size()) throw Error::SubscriptOutOfRange();
    return Deref(list[j].get());
}

}  // namespace zefa

#pragma once

// Sizes of the unit operation's connection tables: the inlet and outlet
// stream lists and the controller table. The per-row arrays of the view grow
// and shrink with them.

#include <cstdint>

namespace zefa {

struct ConnectionCounts {
    std::int16_t intNumInlets = 0;
    std::int16_t intNumOutlets = 0;
    std::int16_t intNumControllers = 0;
};

}  // namespace zefa

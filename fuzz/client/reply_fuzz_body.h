#pragma once

#include <cstddef>
#include <cstdint>

// Feeds arbitrary bytes to the client's reply handling. The first byte picks
// the outstanding request kind (every kind the client uses, and some it does
// not), the second the mode: one received message, or a byte stream cut into
// framed messages that are handled one after the other. Also runs the
// protocol's parsers over the same bytes. Aborts when an invariant breaks.
int FuzzReplyHandling(const std::uint8_t* data, std::size_t size);

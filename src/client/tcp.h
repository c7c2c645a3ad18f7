#pragma once

// Module TCP: the socket transport of the pipeline-server client. Free functions
// over BSD sockets; the socket handle is kept by the caller (ZEFA_Client).
//
// Every wait is bounded by a time-out in whole seconds given by the caller (a
// value below 1 counts as 1). Failures are result values; only the size and
// port limits are raised, as zefa::Error "Overflow", before anything is sent,
// read or created.

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace zefa::tcp {

// Starts the socket library. Nothing to do with BSD sockets.
void TCPStartup();

// Connects a stream socket to host:port (IPv4). The host is a dotted address
// or a name. On success `socket_handle` holds the connected socket (with
// TCP_NODELAY set, close-on-exec) and the result is true. A port above 32,767
// raises Overflow; a port below 1 and any failed step give false. The wait for
// the connection is bounded by the time-out (below 1 counts as 1), so an
// unreachable host cannot hold the caller for the system's own connect time-out.
bool TCPConnect(const std::string& host, std::int32_t port, std::int32_t& socket_handle,
                std::int32_t timeout_seconds = 1);

// Sends the whole message. Result: bytes sent, -1 when the socket did not
// become writable within the time-out, or 0/-1 when the send failed. A message
// longer than 32,767 bytes raises Overflow.
std::int32_t TCPSend(std::int32_t socket_handle, std::span<const std::uint8_t> message,
                     std::int32_t timeout_seconds);

// Results of TCPReceive other than a message length.
inline constexpr std::int32_t kNothingArrived = -1;  // silence for the whole time-out
inline constexpr std::int32_t kPeerClosed = 0;       // the peer closed the connection
// A socket error, or a message that stopped part-way (its rest did not come
// within a further time-out): the byte stream is out of step.
inline constexpr std::int32_t kBrokenMessage = -2;

// Reads exactly one framed message into `buffer` (resized to 24 + payload
// length). Result: 24 + payload length, or one of the values above. A payload
// length above 32,767 raises Overflow, a negative one raises a subscript
// error, before any payload byte is read; the stream is then out of step too.
std::int32_t TCPReceive(std::int32_t socket_handle, std::vector<std::uint8_t>& buffer,
                        std::int32_t timeout_seconds);

// Closes the socket.
void TCPClose(std::int32_t socket_handle);

// IPv4 address in network byte order; all ones when it cannot be resolved.
std::uint32_t ResolveAddress(const std::string& host);

// Dotted text of the host's first IPv4 address, or "No DNS Entry". A name of
// more than 64 characters raises an invalid-argument error.
std::string GetHostIP(const std::string& host);

// Dotted decimal text of four address bytes in network order.
std::string FormatIPAddress(const std::array<std::uint8_t, 4>& address);

}  // namespace zefa::tcp

#pragma once

// Who listens on a local TCP port: read from the kernel's socket tables and
// the processes' open descriptors, so that a started server can be told apart
// from another program that already held its port.

#include <cstdint>
#include <optional>
#include <string>

namespace zefa::server_start {

struct PortListener {
    // Process holding the listening socket; 0 when it cannot be seen (a
    // process of another user).
    std::int32_t pid = 0;
    std::uint32_t uid = 0;  // owner of the socket
    std::string program;    // the process's command name, when seen
    std::string folder;     // its working folder, when readable
};

// The listener on `port` (IPv4 or IPv6, any local address); nullopt when no
// socket listens there.
std::optional<PortListener> FindPortListener(std::int32_t port);

// True when the process `pid`, or a process it started, holds the socket
// listening on `port`.
bool ProcessListensOn(std::int32_t pid, std::int32_t port);

// The parent process of `pid`; 0 when it cannot be read.
std::int32_t ParentOf(std::int32_t pid);

// True when `pid` is `ancestor` or one of its descendants (a server that a
// wrapper script started without exec is still the started server's).
bool DescendsFrom(std::int32_t pid, std::int32_t ancestor);

// "zefa-server, process 4242, folder /models/line" or "a program of user 1001":
// what a message names as holding a port.
std::string DescribeListener(const PortListener& listener);

}  // namespace zefa::server_start

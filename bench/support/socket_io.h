#pragma once

// Whole-buffer blocking reads and writes on a connected socket, for the
// benchmarks' bare loopback peers.

#include <sys/socket.h>
#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace zefa::bench {

// False when the peer closed or the socket failed before `count` bytes came.
inline bool ReadAll(int fd, std::uint8_t* out, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::recv(fd, out + done, count - done, 0);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

inline bool WriteAll(int fd, const std::uint8_t* data, std::size_t count) {
    std::size_t done = 0;
    while (done < count) {
        const ssize_t n = ::send(fd, data + done, count - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace zefa::bench

// The address behind a host name that only the SSH configuration knows.
#include "server/ssh_host.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <thread>

#include "server/server_start.h"

extern char** environ;

namespace zefa::server_start {

std::string HostNameFromSshConfig(std::string_view output) {
    constexpr std::string_view key = "hostname ";
    std::size_t start = 0;
    while (start < output.size()) {
        std::size_t end = output.find('\n', start);
        if (end == std::string_view::npos) end = output.size();
        std::string_view line = output.substr(start, end - start);
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.substr(0, key.size()) == key) return std::string(line.substr(key.size()));
        start = end + 1;
    }
    return "";
}

std::string SshHostName(const std::string& alias, std::uint32_t timeoutMs) {
    if (!IsSafeName(alias)) return "";
    int fds[2] = {-1, -1};
    if (::pipe2(fds, O_CLOEXEC) != 0) return "";
    posix_spawn_file_actions_t actions;
    if (posix_spawn_file_actions_init(&actions) != 0) {
        ::close(fds[0]);
        ::close(fds[1]);
        return "";
    }
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
    std::string program = "ssh", option = "-G", name = alias;
    char* argv[] = {program.data(), option.data(), name.data(), nullptr};
    pid_t child = -1;
    const int rc = posix_spawnp(&child, "ssh", &actions, nullptr, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(fds[1]);
    std::string output;
    if (rc == 0) {
        // Read until ssh closes its output or the time is up; a configuration
        // that runs commands of its own cannot hold the connect up for long.
        const auto deadline =
            std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        char buffer[4096];
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                                  deadline - std::chrono::steady_clock::now())
                                  .count();
            if (left <= 0 || output.size() > (1u << 20)) break;
            pollfd p{fds[0], POLLIN, 0};
            const int ready = ::poll(&p, 1, static_cast<int>(left));
            if (ready < 0 && errno == EINTR) continue;
            if (ready <= 0) break;
            const ssize_t got = ::read(fds[0], buffer, sizeof buffer);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) break;
            output.append(buffer, static_cast<std::size_t>(got));
        }
        // ssh ends just after closing its output: wait for it, within the time.
        int status = 0;
        pid_t waited = 0;
        while ((waited = ::waitpid(child, &status, WNOHANG)) == 0 &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        if (waited != child) {
            ::kill(child, SIGKILL);
            while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
            }
            output.clear();
        } else if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            output.clear();
        }
    }
    ::close(fds[0]);
    const std::string host = HostNameFromSshConfig(output);
    return host == alias ? "" : host;
}

}  // namespace zefa::server_start

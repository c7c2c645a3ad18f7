// Who listens on a local TCP port, read from the kernel's socket tables and
// the processes' open descriptors.
#include "server/port_owner.h"

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <vector>

namespace zefa::server_start {

namespace fs = std::filesystem;

namespace {

struct ListeningSocket {
    std::uint64_t inode = 0;
    std::uint32_t uid = 0;
};

// The listening sockets on `port` in one of the kernel's tables
// (/proc/net/tcp or tcp6): "sl local rem st queues timer retr uid timeout inode".
void ReadTable(const char* table, std::int32_t port, std::vector<ListeningSocket>& found) {
    std::ifstream in(table);
    std::string line;
    std::getline(in, line);  // header
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, state, queues, timer, retransmits;
        std::uint32_t uid = 0;
        std::string timeout;
        std::uint64_t inode = 0;
        if (!(fields >> slot >> local >> remote >> state >> queues >> timer >> retransmits >> uid >>
              timeout >> inode))
            continue;
        if (state != "0A") continue;  // LISTEN
        const std::size_t colon = local.rfind(':');
        if (colon == std::string::npos) continue;
        try {
            if (std::stol(local.substr(colon + 1), nullptr, 16) != port) continue;
        } catch (const std::exception&) {
            continue;
        }
        found.push_back({inode, uid});
    }
}

std::vector<ListeningSocket> ListeningSockets(std::int32_t port) {
    std::vector<ListeningSocket> found;
    ReadTable("/proc/net/tcp", port, found);
    ReadTable("/proc/net/tcp6", port, found);
    return found;
}

// True when one of the process's descriptors is one of the sockets.
bool HoldsSocket(const fs::path& process, const std::vector<ListeningSocket>& sockets) {
    std::error_code ec;
    for (fs::directory_iterator it(process / "fd", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string target = fs::read_symlink(it->path(), ec).string();
        if (ec || target.rfind("socket:[", 0) != 0) {
            ec.clear();
            continue;
        }
        for (const auto& s : sockets)
            if (target == "socket:[" + std::to_string(s.inode) + "]") return true;
    }
    return false;
}

std::string FirstLine(const fs::path& file) {
    std::ifstream in(file);
    std::string line;
    std::getline(in, line);
    return line;
}

}  // namespace

std::optional<PortListener> FindPortListener(std::int32_t port) {
    const auto sockets = ListeningSockets(port);
    if (sockets.empty()) return std::nullopt;
    PortListener listener;
    listener.uid = sockets.front().uid;
    std::error_code ec;
    for (fs::directory_iterator it("/proc", ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        if (!HoldsSocket(it->path(), sockets)) continue;
        listener.pid = std::stoi(name);
        listener.program = FirstLine(it->path() / "comm");
        std::error_code cwd_error;
        listener.folder = fs::read_symlink(it->path() / "cwd", cwd_error).string();
        break;
    }
    return listener;
}

bool ProcessListensOn(std::int32_t pid, std::int32_t port) {
    if (pid < 1) return false;
    const auto sockets = ListeningSockets(port);
    if (sockets.empty()) return false;
    if (HoldsSocket(fs::path("/proc") / std::to_string(pid), sockets)) return true;
    const auto listener = FindPortListener(port);
    return listener && DescendsFrom(listener->pid, pid);
}

std::int32_t ParentOf(std::int32_t pid) {
    // "pid (comm) state ppid ...": the command may hold blanks and ")".
    const std::string stat = FirstLine(fs::path("/proc") / std::to_string(pid) / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream rest(stat.substr(close + 1));
    char state = 0;
    std::int32_t parent = 0;
    return rest >> state >> parent ? parent : 0;
}

bool DescendsFrom(std::int32_t pid, std::int32_t ancestor) {
    for (int depth = 0; depth < 16 && pid > 1; ++depth, pid = ParentOf(pid))
        if (pid == ancestor) return true;
    return false;
}

std::string DescribeListener(const PortListener& listener) {
    if (listener.pid < 1) return "a program of user " + std::to_string(listener.uid);
    std::string text = (listener.program.empty() ? "a program" : listener.program) + ", process " +
                       std::to_string(listener.pid);
    if (!listener.folder.empty()) text += ", folder " + listener.folder;
    return text;
}

}  // namespace zefa::server_start

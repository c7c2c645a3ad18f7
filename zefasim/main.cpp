// zefa-server: the pipeline simulator stand-in. Listens on one TCP port, serves
// one connection at a time, answers the requests of the pipeline link protocol
// with the model of the working folder, and exits after a stop request.

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <iostream>
#include <optional>
#include <string>

#include "client/protocol.h"
#include "session.h"

namespace {

namespace proto = zefa::protocol;

constexpr int kDefaultPort = 16800;
// Largest request payload accepted (a longer one ends the connection).
constexpr std::int32_t kMaxRequestPayload = 16 << 20;
// A message that has begun must be complete within this many milliseconds.
constexpr int kMessageTimeoutMs = 30000;
// A client that sends nothing for this long is dropped (--idle-timeout).
constexpr int kDefaultIdleTimeoutS = 3600;
// During a run interval the connection is looked at this often (ms).
constexpr int kInterruptCheckMs = 20;

const char* kHelp =
    "Usage: zefa-server -server SERVICE [--port N] [--bind ADDRESS] [--idle-timeout S]\n"
    "\n"
    "The pipeline simulator stand-in. The working folder is the model folder:\n"
    "input files (.inp), snapshots (.snp) and the input log are read and written\n"
    "there, by plain names only (no path separators, no \"..\").\n"
    "\n"
    "  -server SERVICE   service whose TCP port to listen on: a name is looked up\n"
    "                    in /etc/services (16800 when not found); a SERVICE made\n"
    "                    only of digits is itself the port\n"
    "  --port N          listen on port N, whatever SERVICE says\n"
    "  --bind ADDRESS    listen on this IPv4 address only (default: all local\n"
    "                    addresses)\n"
    "  --idle-timeout S  drop a client that sends nothing for S seconds, so that\n"
    "                    the next one can connect (default 3600; 0: never)\n"
    "  --help            show this text\n"
    "\n"
    "One connection is served at a time; a connection that closes without a stop\n"
    "request leaves the model loaded and the next one is accepted. A stop request\n"
    "or a closed connection ends a running step at its next internal step. The\n"
    "program exits with status 0 after ZEFA_STOP_SERVER.\n";

bool AllDigits(const std::string& s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos;
}

std::optional<int> ParsePort(const std::string& s) {
    if (!AllDigits(s) || s.size() > 5) return std::nullopt;
    int v = std::atoi(s.c_str());
    if (v < 1 || v > 65535) return std::nullopt;
    return v;
}

int PortOfService(const std::string& service) {
    if (AllDigits(service)) {
        auto p = ParsePort(service);
        return p ? *p : -1;
    }
    if (servent* s = getservbyname(service.c_str(), "tcp"))
        return ntohs(static_cast<uint16_t>(s->s_port));
    return kDefaultPort;
}

// Sends all bytes; false when the peer is gone.
bool SendAll(int fd, const proto::Bytes& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// Serves one connection; returns true when the client asked the server to stop.
bool Serve(int fd, zefasim::Session& session, int idle_timeout_s) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    proto::FrameAssembler frames(kMaxRequestPayload);
    std::deque<proto::Message> pending;  // read while a step ran, not yet handled
    std::uint8_t buf[65536];
    bool stop = false, gone = false;
    // Asked after every internal step of a run interval: reads what has arrived
    // (at most every kInterruptCheckMs) and ends the step on a stop request or
    // a closed connection. Other requests wait their turn in `pending`.
    using Clock = std::chrono::steady_clock;
    Clock::time_point last_check = Clock::now();
    session.SetInterrupt([&]() {
        if (stop || gone) return true;
        Clock::time_point now = Clock::now();
        if (now - last_check < std::chrono::milliseconds(kInterruptCheckMs)) return false;
        last_check = now;
        for (;;) {
            pollfd p{fd, POLLIN, 0};
            int r = poll(&p, 1, 0);
            if (r < 0 && errno == EINTR) continue;
            if (r <= 0) break;
            ssize_t n = recv(fd, buf, sizeof buf, 0);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                gone = true;
                break;
            }
            frames.Append(proto::ByteView(buf, static_cast<size_t>(n)));
        }
        while (auto msg = frames.Next()) {
            if (msg->name == proto::TypeName(proto::MessageType::StopServer)) stop = true;
            pending.push_back(std::move(*msg));
        }
        if (frames.Failed()) gone = true;
        return stop || gone;
    });
    struct Reset {
        zefasim::Session& s;
        ~Reset() { s.SetInterrupt(nullptr); }
    } reset{session};
    for (;;) {
        for (;;) {
            std::optional<proto::Message> msg;
            if (!pending.empty()) {
                msg = std::move(pending.front());
                pending.pop_front();
            } else {
                msg = frames.Next();
            }
            if (!msg) break;
            proto::Bytes reply;
            bool go_on = session.Handle(*msg, reply);
            if (stop) {
                std::cerr << "zefa-server: stop request during a step\n";
                return true;
            }
            if (gone) {
                std::cerr << "zefa-server: connection closed during a step\n";
                return false;
            }
            // The whole reply (one or two messages) goes out in one write.
            if (!reply.empty() && !SendAll(fd, reply)) return false;
            if (!go_on) return true;
        }
        if (frames.Failed()) {
            SendAll(fd, proto::PackText(proto::MessageType::Error,
                                        "message length out of range: connection closed"));
            return false;
        }
        pollfd p{fd, POLLIN, 0};
        bool partial = frames.Buffered() > 0;
        int timeout = partial ? kMessageTimeoutMs : idle_timeout_s > 0 ? idle_timeout_s * 1000 : -1;
        int r = poll(&p, 1, timeout);
        if (r < 0 && errno == EINTR) continue;
        if (r == 0) {
            std::cerr << "zefa-server: "
                      << (partial ? "an incomplete message stalled"
                                  : "the client was idle too long")
                      << ": connection closed\n";
            return false;
        }
        if (r < 0) return false;
        ssize_t n = recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        frames.Append(proto::ByteView(buf, static_cast<size_t>(n)));
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string service, bind_address;
    std::optional<int> port;
    int idle_timeout_s = kDefaultIdleTimeoutS;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        auto value = [&](const char* what) -> std::string {
            if (i + 1 >= argc) {
                std::cerr << "zefa-server: " << a << " needs " << what << "\n";
                std::exit(2);
            }
            return argv[++i];
        };
        if (a == "--help" || a == "-help" || a == "-h") {
            std::cout << kHelp;
            return 0;
        } else if (a == "-server" || a == "--server") {
            service = value("a service name or port");
        } else if (a == "--port" || a == "-port") {
            std::string v = value("a port number");
            port = ParsePort(v);
            if (!port) {
                std::cerr << "zefa-server: invalid port '" << v << "'\n";
                return 2;
            }
        } else if (a == "--bind" || a == "-bind") {
            bind_address = value("an IPv4 address");
        } else if (a == "--idle-timeout" || a == "-idle-timeout") {
            std::string v = value("a number of seconds");
            if (!AllDigits(v) || v.size() > 7) {
                std::cerr << "zefa-server: invalid idle time-out '" << v << "'\n";
                return 2;
            }
            idle_timeout_s = std::atoi(v.c_str());
        } else {
            std::cerr << "zefa-server: unknown argument '" << a << "'\n" << kHelp;
            return 2;
        }
    }
    if (!port) {
        if (service.empty()) {
            std::cerr << "zefa-server: -server SERVICE or --port N is required\n" << kHelp;
            return 2;
        }
        int p = PortOfService(service);
        if (p < 0) {
            std::cerr << "zefa-server: invalid port '" << service << "'\n";
            return 2;
        }
        port = p;
    }
    signal(SIGPIPE, SIG_IGN);

    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(*port));
    addr.sin_addr.s_addr = htonl(INADDR_ANY);
    if (!bind_address.empty() && inet_pton(AF_INET, bind_address.c_str(), &addr.sin_addr) != 1) {
        std::cerr << "zefa-server: invalid bind address '" << bind_address << "'\n";
        return 2;
    }
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    if (listener < 0) {
        std::perror("zefa-server: socket");
        return 1;
    }
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 4) != 0) {
        std::cerr << "zefa-server: cannot listen on port " << *port << ": " << std::strerror(errno)
                  << "\n";
        return 1;
    }
    char cwd[4096];
    std::string folder = getcwd(cwd, sizeof cwd) ? cwd : ".";
    std::cerr << "zefa-server: listening on port " << *port << ", model folder " << folder << "\n";

    zefasim::Session session(folder);
    for (;;) {
        int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            std::perror("zefa-server: accept");
            usleep(100000);  // e.g. out of descriptors: do not spin
            continue;
        }
        bool stop = Serve(fd, session, idle_timeout_s);
        close(fd);
        if (stop) break;
    }
    close(listener);
    return 0;
}

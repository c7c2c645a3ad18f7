// zefalink ping: connect to a pipeline server with ZEFA_Client, send pings and
// print their round-trip times.

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "client/zefa_client.h"
#include "commands.h"

namespace zefalink {
namespace {

struct PingOptions {
    std::string host = "127.0.0.1";
    std::int32_t port = 16800;
    int count = 3;
    double timeout = 5.0;
    std::string trace_prefix;
};

// Shows the client's reports on standard error.
class PingOwner : public zefa::ZEFA_ClientOwner {
  public:
    void ReportError(const std::string& message) override {
        std::cerr << "zefalink ping: " << message << '\n';
    }
    void ZEFAServerDisconnected() override {}
    void FinishRunZefa() override {}
};

std::string Milliseconds(double ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%.3f", ms);
    return text;
}

int RunPing(const PingOptions& options) {
    PingOwner owner;
    zefa::ZEFA_Client client;
    client.Owner = &owner;
    client.TCPTimeOut = options.timeout;
    if (!options.trace_prefix.empty()) {
        client.IsTracingClient = true;
        client.TraceFilePath = options.trace_prefix;
        client.CreateNewTraceFile();
    }
    if (!client.OpenConnection(options.host, options.port)) {
        std::cerr << "zefalink ping: cannot connect to " << options.host << ":" << options.port
                  << '\n';
        return 1;
    }

    std::vector<double> times;
    for (int seq = 1; seq <= options.count; ++seq) {
        const auto start = std::chrono::steady_clock::now();
        const bool pong = client.Ping();
        const double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
                .count();
        if (pong) {
            times.push_back(ms);
            std::cout << "pong from " << options.host << ":" << options.port << ": seq=" << seq
                      << " time=" << Milliseconds(ms) << " ms\n";
        } else {
            std::cout << "no pong from " << options.host << ":" << options.port << ": seq=" << seq
                      << '\n';
        }
    }

    std::cout << options.count << " pings, " << times.size() << " pongs";
    if (!times.empty()) {
        std::vector<double> sorted = times;
        std::sort(sorted.begin(), sorted.end());
        const std::size_t n = sorted.size();
        const double median = n % 2 == 1 ? sorted[n / 2] : (sorted[n / 2 - 1] + sorted[n / 2]) / 2;
        std::cout << ", min/median/max = " << Milliseconds(sorted.front()) << "/"
                  << Milliseconds(median) << "/" << Milliseconds(sorted.back()) << " ms";
    }
    std::cout << '\n';
    if (!client.TraceFileName().empty()) {
        std::cout << "trace: " << client.TraceFileName() << '\n';
    }
    // The client's reports went to standard error as they came.
    return times.size() == static_cast<std::size_t>(options.count) ? 0 : 1;
}

}  // namespace

void AddPingCommand(CLI::App& app, int& exit_code) {
    auto options = std::make_shared<PingOptions>();
    CLI::App* ping = app.add_subcommand("ping", "Send pings to a pipeline server and time them");
    ping->add_option("--host", options->host, "Server host name or dotted address")
        ->capture_default_str();
    ping->add_option("--port", options->port, "Server port (1 to 32767)")->capture_default_str();
    ping->add_option("--count", options->count, "Number of pings")
        ->capture_default_str()
        ->check(CLI::Range(1, 1000000));
    ping->add_option("--timeout", options->timeout, "Time-out of each reply in seconds")
        ->capture_default_str()
        ->check(CLI::Range(0.0, 3600.0));
    ping->add_option("--trace", options->trace_prefix,
                     "Write a client trace file with this prefix (e.g. /tmp/)");
    ping->callback([options, &exit_code] { exit_code = RunPing(*options); });
}

}  // namespace zefalink

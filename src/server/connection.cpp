// Connecting to the pipeline server (starting it first when asked), closing
// it, and finding the server program.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "client/tcp.h"
#include "extension/zefa.h"
#include "platform/text.h"
#include "server/server_start.h"
#include "server/ssh_host.h"

namespace zefa {

namespace fs = std::filesystem;

namespace {

// The client carries ports as signed 16-bit numbers.
constexpr std::int32_t kMaxPort = 32767;
// What the address look-up gives for a host without an address.
constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

// Pause between connect attempts while a started server gets ready to listen.
constexpr std::uint32_t kConnectPollMs = 20;

}  // namespace

void ZEFA::OpenTheConnection(bool autoStart) {
    Trap("OpenTheConnection", [&] {
        if (server_.lngServerState != ServerState::NotConnected) return;
        auto& client = Deref(mobjZefaClient.get());
        client.StepComplete = true;

        std::int32_t server_pid = 0;
        // The start, begun here or ahead of the connect; its scripts go when
        // the connect attempts end.
        ServerLaunch launch;
        if (autoStart || Num(vars.useAutoConnect) == 1) {
            launch = server_.launch.begun ? std::move(server_.launch) : LaunchServer();
            server_.launch = ServerLaunch{};
            if (!launch.ok) return;
            server_pid = launch.pid;
        }

        const std::string host = Text(vars.zefaHost);
        const double port_value = Num(vars.PortNumber);
        const std::int32_t port = RoundToInt32(port_value);
        // A server started here on this computer must be the one that
        // listens: one that ends instead found its port taken.
        if (launch.ownLocal && !AwaitOwnListener(server_pid, port)) return;
        // A host that only the SSH configuration names is reached where ssh
        // reaches it.
        std::string address = host;
        if (tcp::ResolveAddress(host) == kNoAddress)
            if (std::string ssh_name = server_start::SshHostName(host); !ssh_name.empty())
                address = std::move(ssh_name);
        // One connect attempt. `refused`: it failed as a server that does not
        // listen yet makes it fail, without a report from the client, on a
        // port the client can use, to a host that has an address.
        bool refused = false;
        auto attempt = [&] {
            const std::uint64_t reports_before = reportsMade_;
            const bool ok = client.OpenConnection(address, port);
            refused = !ok && reportsMade_ == reports_before && port >= 1 && port <= kMaxPort &&
                      tcp::ResolveAddress(address) != kNoAddress;
            return ok;
        };
        bool connected = attempt();
        // A server that was just started may still be getting ready to listen:
        // its port is polled while its start process runs, for at most the
        // request time-out. Any other failure would only repeat itself.
        if (server_pid > 0) {
            const double timeout = std::max(1.0, std::nearbyint(Num(vars.TCPTimeOut)));
            const std::uint64_t start = clock()->TickCountMs();
            while (!connected && refused && server_start::IsProcessRunning(server_pid) &&
                   static_cast<double>(clock()->TickCountMs() - start) < timeout * 1000.0) {
                clock()->SleepMs(kConnectPollMs);
                connected = attempt();
            }
            // A start process (the server, or ssh for a remote one) that ended
            // before anything listened says how it ended.
            if (!connected && !server_start::IsProcessRunning(server_pid))
                if (const auto status = server_start::ExitStatus(server_pid))
                    ReportError("The ZEFA server start on " + host + " ended with exit status " +
                                std::to_string(*status) + " before the server listened on port " +
                                FormatDouble(port_value));
        }
        if (connected && client.IsZEFAConnected()) {
            server_.lngServerState = ServerState::Connected;
            Use(vars.isConnected).SetValue(1);
            Use(vars.CanLoadFile).SetValue(1);
            if (Num(vars.boolLogClient) != 0) client.SetLogging();
            Use(vars.PlannedTimeStep).SetValue(host::kEmptyNumber);
            Use(vars.ZEFAsimTime).SetValue(host::kEmptyNumber);
        } else if (!connected) {
            strLastMessage =
                "Could not connect to " + host + " on Port: " + FormatDouble(port_value);
            ReportError(strLastMessage);
        }
    });
}

void ZEFA::CloseTheConnection() {
    Trap("CloseTheConnection", [&] {
        if (server_.lngServerState == ServerState::NotConnected) return;
        if (ui().AskYesNo("You are about to shutdown ZEFA.  Would you like to save an ZEFA "
                          "snapshot file?  If no, then you will not be able to restart your "
                          "simulation with the ZEFA model at the same point in time.",
                          "Save an ZEFA snapshot file?"))
            Save();
        if (Deref(mobjZefaClient.get()).CloseFile()) {
            server_.lngServerState = ServerState::NotConnected;
            Use(vars.PlannedTimeStep).SetValue(host::kEmptyNumber);
            Use(vars.ZEFAsimTime).SetValue(host::kEmptyNumber);
            if (step_.objInputTable) step_.objInputTable->Clear();
            if (step_.objOutputTable) step_.objOutputTable->Clear();
        } else {
            strLastMessage = "Could not close connection to " + Text(vars.ServerName) +
                             "on Port: " + FormatDouble(Num(vars.PortNumber));
            ReportError(strLastMessage);
        }
    });
}

void ZEFA::GetZefaServerPath() {
    Trap("GetZefaServerPath", [&] {
        auto& exe = Use(vars.zefaExe);
        if (!exe.GetValue().empty()) return;
        if (const char* env = std::getenv("ZEFA_SERVERPATH"); env && *env) exe.SetValue(env);
        if (exe.GetValue().empty()) exe.SetValue(server_start::ExtensionFolder() + "zefa-server");
    });
}

// The server program's path was once kept in the registry of the desktop
// system. There is no registry here: the look-ups take their failure paths.
void ZEFA::GetZefaServerPathFromRegistry() {
    Trap("GetZefaServerPathFromRegistry", [&] { Use(vars.zefaExe).SetValue(""); });
}

bool ZEFA::QueryValueEx(std::uint32_t /*lhkey*/, const std::string& /*szValueName*/,
                        std::variant<std::monostate, std::string, std::int32_t>& vValue) {
    vValue = std::monostate{};
    return false;
}

std::string ZEFA::RemoteReg(const std::string& /*txtRemMachName*/,
                            const std::string& /*txtKeyName*/, const std::string& /*txtKeyValue*/) {
    try {
        ui().ProcessPendingEvents();
    } catch (...) {
        // Failures only make the look-up fail, which it does anyway.
    }
    return " ";
}

}  // namespace zefa

// Connecting to the pipeline server (starting it first when asked), closing
// it, and finding the server program.
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <limits>

#include "client/tcp.h"
#include "extension/zefa.h"
#include "platform/text.h"
#include "server/port_owner.h"
#include "server/server_start.h"

namespace zefa {

namespace fs = std::filesystem;

namespace {

// The client carries ports as signed 16-bit numbers.
constexpr std::int32_t kMaxPort = 32767;
// What the address look-up gives for a host without an address.
constexpr std::uint32_t kNoAddress = 0xFFFFFFFFu;

// Removes the generated start scripts however the start attempt ends.
class ScriptCleanup {
  public:
    void Add(std::string path) { paths_.push_back(std::move(path)); }
    ~ScriptCleanup() {
        std::error_code ec;
        for (const auto& path : paths_) fs::remove(path, ec);
    }

  private:
    std::vector<std::string> paths_;
};

// The refusal when another program holds the port of this unit's server.
std::string HeldPortMessage(std::int32_t port, const std::string& holder) {
    return "Port " + std::to_string(port) + " is held by another program (" + holder +
           "): it is not the ZEFA server started for this unit, so it is not used. That "
           "program is left alone; stop it, or give this unit another PortNumber and "
           "ServerName.";
}

// What holds `port` when it is not a process this program started: empty
// when nothing listens there or the listener is a server started here.
std::string ForeignListener(std::int32_t port) {
    const auto listener = server_start::FindPortListener(port);
    if (!listener) return "";
    for (std::int32_t pid = listener->pid, depth = 0; pid > 1 && depth < 16; ++depth) {
        if (server_start::StartedByThisProcess(pid)) return "";
        pid = server_start::ParentOf(pid);
    }
    return server_start::DescribeListener(*listener);
}

}  // namespace

void ZEFA::OpenTheConnection(bool autoStart) {
    Trap("OpenTheConnection", [&] {
        if (server_.lngServerState != ServerState::NotConnected) return;
        auto& client = Deref(mobjZefaClient.get());
        client.StepComplete = true;

        // The scripts stay until the connect attempts end: a remote shell may
        // read its script only long after the start.
        ScriptCleanup cleanup;
        std::int32_t server_pid = 0;
        const std::string host = Text(vars.zefaHost);
        const double port_value = Num(vars.PortNumber);
        const std::int32_t port = RoundToInt32(port_value);
        if (autoStart || Num(vars.useAutoConnect) == 1) {
            const std::string model_path = Text(vars.zefaModelPath);
            std::error_code ec;
            if (model_path.empty() || !fs::is_directory(model_path, ec)) {
                ReportError(server_start::kInvalidModelPathMessage);
                return;
            }
            const auto dialect = server_start::ScriptDialect::Shell;
            const std::string local_script = Deref(Use(objContainer).GetCase().get()).Folder() +
                                             server_start::LocalScriptName(dialect);
            server_start::StartScriptRequest request;
            request.dialect = dialect;
            request.modelPath = model_path;
            request.exe = Text(vars.zefaExe);
            request.serverName = Text(vars.ServerName);
            request.host = host;
            request.remote = server_start::IsRemoteHost(host);
            if (request.remote)
                request.remoteScriptPath =
                    JoinPath(model_path, server_start::RemoteScriptName(dialect));
            // Refuses a server name that is no plain file name, which would
            // also name a process-id file outside the extension folder.
            const server_start::StartScripts scripts = server_start::BuildStartScripts(request);
            if (!scripts.error.empty()) {
                strLastMessage = scripts.error;
                ReportError(strLastMessage);
                return;
            }
            // A port another program holds would make the new server fail to
            // listen while that program answered in its place.
            if (const std::string holder = request.remote ? "" : ForeignListener(port);
                !holder.empty()) {
                strLastMessage = HeldPortMessage(port, holder);
                ReportError(strLastMessage);
                return;
            }
            cleanup.Add(local_script);
            if (!server_start::WriteScript(local_script, scripts.local, dialect))
                throw Error::FileAccess(local_script);
            if (request.remote) {
                cleanup.Add(request.remoteScriptPath);
                if (!server_start::WriteScript(request.remoteScriptPath, scripts.remote, dialect))
                    throw Error::FileAccess(request.remoteScriptPath);
            }
            bool started_here = false;
            server_pid = server_start::StartServerProcess(request.serverName, local_script, 1000,
                                                          &started_here);
            if (server_pid < 1) {
                ReportError("The ZEFA Server Application (exe) could not start.");
                return;
            }
            // A server recorded by another program (another run of the same
            // case) is that program's: it is neither used nor stopped here.
            if (!started_here && !server_start::StartedByThisProcess(server_pid)) {
                strLastMessage = "The ZEFA server recorded for " + request.serverName +
                                 " (process " + std::to_string(server_pid) +
                                 ") was started by another program, such as another run of "
                                 "this case: it is not used here and is left alone. Stop it, "
                                 "or give this unit another ServerName and PortNumber.";
                ReportError(strLastMessage);
                return;
            }
            // Only a process this object spawned is its own to end.
            if (started_here) server_.startedPid = server_pid;
            if (started_here && !request.remote && !AwaitOwnListener(server_pid, port)) return;
        }

        // One connect attempt. `refused`: it failed as a server that does not
        // listen yet makes it fail, without a report from the client, on a
        // port the client can use, to a host that has an address.
        bool refused = false;
        auto attempt = [&] {
            const std::uint64_t reports_before = reportsMade_;
            const bool ok = client.OpenConnection(host, port);
            refused = !ok && reportsMade_ == reports_before && port >= 1 && port <= kMaxPort &&
                      tcp::ResolveAddress(host) != kNoAddress;
            return ok;
        };
        bool connected = attempt();
        // A server that was just started may still be getting ready to listen:
        // a plain refusal is tried again while its process runs, for at most
        // the request time-out. Any other failure would only repeat itself.
        if (server_pid > 0) {
            const double timeout = std::max(1.0, std::nearbyint(Num(vars.TCPTimeOut)));
            const std::uint64_t start = clock()->TickCountMs();
            while (!connected && refused && server_start::IsProcessRunning(server_pid) &&
                   static_cast<double>(clock()->TickCountMs() - start) < timeout * 1000.0) {
                clock()->SleepMs(100);
                connected = attempt();
            }
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

bool ZEFA::AwaitOwnListener(std::int32_t server_pid, std::int32_t port) {
    // The server started here must be the one that listens: one that ends
    // instead found its port taken (or could not start at all).
    const double timeout = std::max(1.0, std::nearbyint(Num(vars.TCPTimeOut)));
    const std::uint64_t start = clock()->TickCountMs();
    while (server_start::IsProcessRunning(server_pid) &&
           !server_start::ProcessListensOn(server_pid, port) &&
           static_cast<double>(clock()->TickCountMs() - start) < timeout * 1000.0)
        clock()->SleepMs(100);
    if (server_start::IsProcessRunning(server_pid)) return true;
    const std::string holder = ForeignListener(port);
    strLastMessage = holder.empty() ? "The ZEFA server (process " + std::to_string(server_pid) +
                                          ") ended before it listened on port " +
                                          std::to_string(port) + "; see its own messages."
                                    : HeldPortMessage(port, holder);
    ReportError(strLastMessage);
    server_.startedPid = 0;
    return false;
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

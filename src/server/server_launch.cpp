// Starting the pipeline server through its generated scripts, apart from the
// connect that follows: a host with several pipeline units starts all their
// servers first, then each unit's connect finds its server starting.
#include <filesystem>

#include "extension/zefa.h"
#include "platform/text.h"
#include "server/port_owner.h"
#include "server/server_start.h"

namespace zefa {

namespace fs = std::filesystem;

namespace {

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

StartScriptFiles::~StartScriptFiles() {
    RemoveAll();
}

StartScriptFiles::StartScriptFiles(StartScriptFiles&& other) noexcept
    : paths_(std::move(other.paths_)) {
    other.paths_.clear();
}

StartScriptFiles& StartScriptFiles::operator=(StartScriptFiles&& other) noexcept {
    if (this != &other) {
        RemoveAll();
        paths_ = std::move(other.paths_);
        other.paths_.clear();
    }
    return *this;
}

void StartScriptFiles::RemoveAll() {
    std::error_code ec;
    for (const auto& path : paths_) fs::remove(path, ec);
    paths_.clear();
}

ServerLaunch ZEFA::LaunchServer() {
    ServerLaunch launch;
    launch.begun = true;
    const std::string model_path = Text(vars.zefaModelPath);
    std::error_code ec;
    if (model_path.empty() || !fs::is_directory(model_path, ec)) {
        ReportError(server_start::kInvalidModelPathMessage);
        return launch;
    }
    const auto dialect = server_start::ScriptDialect::Shell;
    const std::string host = Text(vars.zefaHost);
    server_start::StartScriptRequest request;
    request.dialect = dialect;
    request.modelPath = model_path;
    request.exe = Text(vars.zefaExe);
    request.serverName = Text(vars.ServerName);
    request.host = host;
    request.remote = server_start::IsRemoteHost(host);
    // Refuses a server name that is no plain file name, which would also
    // name a process-id file or a script outside its folder.
    if (request.remote)
        request.remoteScriptPath =
            JoinPath(model_path, server_start::ScriptNameFor(
                                     server_start::RemoteScriptName(dialect), request.serverName));
    const server_start::StartScripts scripts = server_start::BuildStartScripts(request);
    if (!scripts.error.empty()) {
        strLastMessage = scripts.error;
        ReportError(strLastMessage);
        return launch;
    }
    // A port another program holds would make the new server fail to listen
    // while that program answered in its place.
    const std::int32_t port = RoundToInt32(Num(vars.PortNumber));
    if (const std::string holder = request.remote ? "" : ForeignListener(port); !holder.empty()) {
        strLastMessage = HeldPortMessage(port, holder);
        ReportError(strLastMessage);
        return launch;
    }
    // Each server has scripts of its own: servers started side by side from
    // one case folder and one model folder never run each other's.
    const std::string local_script =
        Deref(Use(objContainer).GetCase().get()).Folder() +
        server_start::ScriptNameFor(server_start::LocalScriptName(dialect), request.serverName);
    launch.scripts.Add(local_script);
    if (!server_start::WriteScript(local_script, scripts.local, dialect))
        throw Error::FileAccess(local_script);
    if (request.remote) {
        launch.scripts.Add(request.remoteScriptPath);
        if (!server_start::WriteScript(request.remoteScriptPath, scripts.remote, dialect))
            throw Error::FileAccess(request.remoteScriptPath);
    }
    // No settling wait: the connect polls the port while the start process runs.
    bool started_here = false;
    launch.pid =
        server_start::StartServerProcess(request.serverName, local_script, 0, &started_here);
    if (launch.pid < 1) {
        ReportError("The ZEFA Server Application (exe) could not start.");
        return launch;
    }
    // A server recorded by another program (another run of the same case) is
    // that program's: it is neither used nor stopped here.
    if (!started_here && !server_start::StartedByThisProcess(launch.pid)) {
        strLastMessage = "The ZEFA server recorded for " + request.serverName + " (process " +
                         std::to_string(launch.pid) +
                         ") was started by another program, such as another run of this case: "
                         "it is not used here and is left alone. Stop it, or give this unit "
                         "another ServerName and PortNumber.";
        ReportError(strLastMessage);
        return launch;
    }
    // Only a process this object spawned is its own to end.
    if (started_here) server_.startedPid = launch.pid;
    launch.ownLocal = started_here && !request.remote;
    launch.ok = true;
    return launch;
}

bool ZEFA::AwaitOwnListener(std::int32_t server_pid, std::int32_t port) {
    // The server started here must be the one that listens: one that ends
    // instead found its port taken (or could not start at all).
    const double timeout = std::max(1.0, std::nearbyint(Num(vars.TCPTimeOut)));
    const std::uint64_t start = clock()->TickCountMs();
    while (server_start::IsProcessRunning(server_pid) &&
           !server_start::ProcessListensOn(server_pid, port) &&
           static_cast<double>(clock()->TickCountMs() - start) < timeout * 1000.0)
        clock()->SleepMs(20);
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


bool ZEFA::LaunchServerAhead() {
    if (server_.lngServerState != ServerState::NotConnected || server_.launch.begun) return true;
    if (Num(vars.boolUseAutoStart) != 1 || Num(vars.ignoreZEFA) != 0) return true;
    // A start that fails here is reported here, as the connect would report
    // it, and the connect of the run's initialisation does not try again.
    server_.launch.begun = true;
    Trap("OpenTheConnection", [&] { server_.launch = LaunchServer(); });
    return server_.launch.ok;
}

}  // namespace zefa

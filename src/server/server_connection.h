#pragma once

// What the extension knows about its pipeline server: how far the server has
// got (connected, model loaded, initialised), the process it started, and the
// client's time-out while a long request runs.

#include <cstdint>
#include <string>
#include <vector>

namespace zefa {

class ZEFA_Client;

// State of the pipeline server as the extension sees it. The numbers are the
// ones the status line and the tools show; 3 is never used.
enum class ServerState : std::int32_t {
    NotConnected = 0,
    Connected = 1,    // no model loaded
    InputLoaded = 2,  // input file or snapshot loaded
    Initialised = 4,  // model initialised and ready to step
};

constexpr std::int32_t StateNumber(ServerState state) {
    return static_cast<std::int32_t>(state);
}

// Generated start scripts, removed when the owner goes (moved: when the new
// owner goes), whatever the start attempt came to.
class StartScriptFiles {
  public:
    StartScriptFiles() = default;
    ~StartScriptFiles();
    StartScriptFiles(StartScriptFiles&& other) noexcept;
    StartScriptFiles& operator=(StartScriptFiles&& other) noexcept;
    StartScriptFiles(const StartScriptFiles&) = delete;
    StartScriptFiles& operator=(const StartScriptFiles&) = delete;

    void Add(std::string path) { paths_.push_back(std::move(path)); }
    void RemoveAll();

  private:
    std::vector<std::string> paths_;
};

// A server start begun before its connection is opened: the servers of
// several pipeline units start side by side, and each unit's connect then
// takes over its own start.
struct ServerLaunch {
    bool begun = false;  // a start was attempted and not taken over yet
    bool ok = false;     // the start process runs (or a recorded one was found)
    std::int32_t pid = 0;
    // The server was started here, on this computer: it must be the one
    // that comes to listen on the unit's port.
    bool ownLocal = false;
    // The scripts stay until the connect attempts end: a remote shell may
    // read its script only long after the start.
    StartScriptFiles scripts;
};

struct ServerConnection {
    ServerState lngServerState = ServerState::NotConnected;
    // A standalone run of the pipeline model waits for its results.
    bool boolRunningStandalone = false;
    // Process id of the server this object spawned itself (0: none); a server
    // found running from an earlier start is not recorded here. Only this
    // process is ever signalled on the extension's behalf.
    std::int32_t startedPid = 0;
    // The start begun ahead of the connect, if any.
    ServerLaunch launch;
    // The services file searched for the port of "ServerName" in a new case.
    std::string strServicesFile = "/etc/services";
};

// Gives the client another request time-out for as long as it lives, then
// puts the normal one back (initialising a model may take far longer than
// an ordinary request).
class TimeOutSwap {
  public:
    TimeOutSwap(ZEFA_Client& client, double longTimeOut, double normalTimeOut);
    ~TimeOutSwap();
    TimeOutSwap(const TimeOutSwap&) = delete;
    TimeOutSwap& operator=(const TimeOutSwap&) = delete;

  private:
    ZEFA_Client& client_;
    double normal_;
};

}  // namespace zefa

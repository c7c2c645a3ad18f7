#pragma once

// modServerStart: starting the pipeline server through a generated start
// script, and the process-id files that keep a server from being started
// twice.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace zefa::server_start {

// ---- The extension folder: where the process-id files live.

// The folder of the loaded extension library (or of the program the extension
// is linked into), ending with "/". An override set for tests wins.
std::string ExtensionFolder();
// Replaces the folder (tests, tools); nullopt goes back to the library folder.
void SetExtensionFolder(std::optional<std::string> folder);

// Process-id file of a server name: extension folder + ServerName + ".pid".
// Empty when the name is not a safe file name (IsSafeName): a name such as
// "../x" would point outside the extension folder.
std::string PidFileName(const std::string& serverName);

// ---- Processes.

// True when a process of that id exists and has not exited. Ids below 1 are
// never running: on this platform they name process groups, not processes.
// A server process started here that has exited is reaped.
bool IsProcessRunning(std::int32_t pid);

// True when this process spawned `pid` through StartServerProcess and it has
// not been reaped yet.
bool StartedByThisProcess(std::int32_t pid);

// Starts the server through `scriptPath`, unless the process recorded in the
// server's process-id file is still running, in which case its id is returned.
// A new start runs "/bin/sh scriptPath" in its own process group, records the
// new id, waits `settleMs` milliseconds and returns the id. Below 1: failure,
// also for a server name that names no process-id file. `startedHere`, when
// given, tells whether this call spawned the process: a recorded one was
// started by someone else, whoever wrote the file.
std::int32_t StartServerProcess(const std::string& serverName, const std::string& scriptPath,
                                std::uint32_t settleMs = 1000, bool* startedHere = nullptr);

// How a process that StartServerProcess started has ended, once
// IsProcessRunning has seen it end: its exit status, or 128 + the signal that
// ended it. Empty while it runs or when it was not started here.
std::optional<int> ExitStatus(std::int32_t pid);

// What a process-id file holds: the id on the first line, then a line that
// marks the file as written by this extension.
std::string PidFileText(std::int32_t pid);

// Deletes the process-id files this extension wrote in the extension folder:
// plain files named by a safe server name and ".pid" holding PidFileText.
// Any other "*.pid" there belongs to someone else and stays.
void DeletePidFiles();

// ---- Start scripts.

enum class ScriptDialect {
    Shell,  // POSIX shell script (this platform)
    Batch,  // Windows batch file
};

struct StartScriptRequest {
    ScriptDialect dialect = ScriptDialect::Shell;
    std::string modelPath;         // zefaModelPath
    std::string exe;               // zefaExe
    std::string serverName;        // ServerName
    std::string host;              // zefaHost (used only when remote)
    bool remote = false;           // the server runs on another computer
    std::string remoteScriptPath;  // where the remote script is written
};

struct StartScripts {
    // Empty when the scripts could be built; otherwise the message to report.
    std::string error;
    std::vector<std::string> local;   // lines of the local script
    std::vector<std::string> remote;  // lines of the remote script (remote only)
};

inline constexpr const char* kInvalidModelPathMessage =
    "The Zefa Model Path was not recognized as being a valid path.";

// Builds the lines of the start scripts. Pure: touches no file.
StartScripts BuildStartScripts(const StartScriptRequest& request);

// File names of the generated scripts in the given dialect.
std::string LocalScriptName(ScriptDialect dialect);   // zefaserverstartLocal.sh / .bat
std::string RemoteScriptName(ScriptDialect dialect);  // zefaserverstartRemote.sh / .bat
// The name of a script for one server: "zefaserverstartLocal.sh" for server
// "16801" is "zefaserverstartLocal-16801.sh". Several servers started at once
// from one case folder and one model folder each run their own scripts.
std::string ScriptNameFor(const std::string& scriptName, const std::string& serverName);

// Drive part of a Windows path: "c:" for "c:\x", "\\server\share" for a
// network path, empty otherwise.
std::string DrivePart(const std::string& path);

// Quotes a value for the POSIX shell: 'text', an embedded ' written as '\''.
std::string ShellQuote(const std::string& value);

// True when every character is a letter, digit, '.', '_' or '-' (and there is
// at least one).
bool IsSafeName(const std::string& value);

// Writes the lines, one per line ending "\n" (or "\r\n" for batch files),
// into a new file for the owner only (WriteNewFile). False when the file
// cannot be written.
bool WriteScript(const std::string& path, const std::vector<std::string>& lines,
                 ScriptDialect dialect);

// Removes whatever has that name (a planted symbolic link included) and
// creates a new file with `mode` holding `text`. The file is created
// exclusively and a link is never followed, so the text cannot land anywhere
// else. False when the name cannot be freed or the file not written.
bool WriteNewFile(const std::string& path, const std::string& text, unsigned mode);

// ---- Local or remote.

// True when `host` names another computer: its lower-case text contains
// neither "localhost" nor "127.0.0.1", and its IPv4 address differs from that
// of this computer's name.
bool IsRemoteHost(const std::string& host);
// Replaces this computer's name as IsRemoteHost sees it (tests); nullopt goes
// back to the system's host name.
void SetComputerName(std::optional<std::string> name);

}  // namespace zefa::server_start

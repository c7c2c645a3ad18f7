// Starting the pipeline server: the start scripts, running them, and the
// process-id files that keep a server from being started twice.
#include "server/server_start.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <charconv>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "client/tcp.h"

extern char** environ;

namespace zefa::server_start {

namespace fs = std::filesystem;

namespace {

// Second line of every process-id file this extension writes.
constexpr const char* kPidFileMarker = "written by ZEFAPipeline.ZEFA for its server start";

std::mutex folder_mutex;
std::optional<std::string> folder_override;
std::optional<std::string> computer_name_override;

// Processes this module started: only these are reaped here, so the exit
// status of any other child of the host stays for the host to collect.
std::mutex spawned_mutex;
std::set<pid_t> spawned;
// How the processes this module started and reaped ended, by process id.
std::map<pid_t, int> exit_statuses;

std::string WithSeparator(std::string folder) {
    if (folder.empty() || folder.back() != '/') folder += '/';
    return folder;
}

std::string Lower(std::string text) {
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Replaces every occurrence of `from` in `text` by `to` (exact, case-sensitive).
std::string ReplaceAll(std::string text, const std::string& from, const std::string& to) {
    if (from.empty()) return text;
    std::size_t pos = 0;
    while ((pos = text.find(from, pos)) != std::string::npos) {
        text.replace(pos, from.size(), to);
        pos += to.size();
    }
    return text;
}

// First line of the file as a whole number; text that is no number gives 0,
// a missing file -1. A symbolic link is no process-id file of ours: -1.
std::int32_t ReadRecordedPid(const std::string& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    char text[64] = {};
    ssize_t got = 0;
    while ((got = ::read(fd, text, sizeof text - 1)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    std::string line(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    line = line.substr(0, line.find('\n'));
    std::size_t start = 0;
    while (start < line.size() && (line[start] == ' ' || line[start] == '\t')) ++start;
    std::int32_t pid = 0;
    const auto [ptr, ec] = std::from_chars(line.data() + start, line.data() + line.size(), pid);
    (void)ptr;
    return ec == std::errc() ? pid : 0;
}

}  // namespace

std::string ExtensionFolder() {
    {
        std::lock_guard lock(folder_mutex);
        if (folder_override) return WithSeparator(*folder_override);
    }
    Dl_info info{};
    std::string file;
    if (dladdr(reinterpret_cast<void*>(&ExtensionFolder), &info) != 0 && info.dli_fname)
        file = info.dli_fname;
    std::error_code ec;
    if (file.find('/') == std::string::npos) file = fs::read_symlink("/proc/self/exe", ec).string();
    fs::path path = fs::weakly_canonical(fs::absolute(file, ec), ec);
    return WithSeparator(path.parent_path().string());
}

void SetExtensionFolder(std::optional<std::string> folder) {
    std::lock_guard lock(folder_mutex);
    folder_override = std::move(folder);
}

std::string PidFileName(const std::string& serverName) {
    if (!IsSafeName(serverName)) return "";
    return ExtensionFolder() + serverName + ".pid";
}

bool IsProcessRunning(std::int32_t pid) {
    if (pid < 1) return false;
    {
        std::lock_guard lock(spawned_mutex);
        if (spawned.count(static_cast<pid_t>(pid)) != 0) {
            int status = 0;
            const pid_t waited = waitpid(static_cast<pid_t>(pid), &status, WNOHANG);
            if (waited == 0) return true;  // still running
            spawned.erase(static_cast<pid_t>(pid));
            if (waited == pid) {  // just exited, now reaped
                exit_statuses[waited] =
                    WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
                return false;
            }
        }
    }
    if (kill(static_cast<pid_t>(pid), 0) != 0 && errno != EPERM) return false;
    // Exists; a zombie is a process that has already ended.
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string text;
    if (stat && std::getline(stat, text)) {
        const std::size_t close = text.rfind(')');
        if (close != std::string::npos && close + 2 < text.size()) {
            const char state = text[close + 2];
            if (state == 'Z' || state == 'X') return false;
        }
    }
    return true;
}

bool StartedByThisProcess(std::int32_t pid) {
    std::lock_guard lock(spawned_mutex);
    return pid > 0 && spawned.count(static_cast<pid_t>(pid)) != 0;
}

std::int32_t StartServerProcess(const std::string& serverName, const std::string& scriptPath,
                                std::uint32_t settleMs, bool* startedHere) {
    if (startedHere) *startedHere = false;
    const std::string pid_file = PidFileName(serverName);
    if (pid_file.empty()) return -1;
    const std::int32_t recorded = ReadRecordedPid(pid_file);
    if (IsProcessRunning(recorded)) return recorded;

    pid_t child = -1;
    posix_spawn_file_actions_t actions;
    posix_spawnattr_t attributes;
    if (posix_spawn_file_actions_init(&actions) != 0) return -1;
    if (posix_spawnattr_init(&attributes) != 0) {
        posix_spawn_file_actions_destroy(&actions);
        return -1;
    }
    // Own process group: a terminal's interrupt for the host does not reach
    // the server. Standard input is not shared with the host.
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawnattr_setpgroup(&attributes, 0);
    sigset_t defaults;
    sigemptyset(&defaults);
    sigaddset(&defaults, SIGPIPE);
    sigaddset(&defaults, SIGINT);
    sigaddset(&defaults, SIGTERM);
    posix_spawnattr_setsigdefault(&attributes, &defaults);
    sigset_t none;
    sigemptyset(&none);
    posix_spawnattr_setsigmask(&attributes, &none);
    posix_spawnattr_setflags(
        &attributes,
        static_cast<short>(POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK));
    std::string shell = "/bin/sh";
    std::string script = scriptPath;
    char* argv[] = {shell.data(), script.data(), nullptr};
    const int rc = posix_spawn(&child, "/bin/sh", &actions, &attributes, argv, environ);
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
    if (rc != 0) {
        child = -1;
    } else {
        std::lock_guard lock(spawned_mutex);
        spawned.insert(child);
        if (startedHere) *startedHere = true;
    }

    (void)WriteNewFile(pid_file, PidFileText(child), 0600);
    std::this_thread::sleep_for(std::chrono::milliseconds(settleMs));
    return static_cast<std::int32_t>(child);
}

std::string PidFileText(std::int32_t pid) {
    return std::to_string(pid) + "\n" + kPidFileMarker + "\n";
}

namespace {

// True when the file is one PidFileText wrote: read without following a link.
bool IsOurPidFile(const fs::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return false;
    char text[128] = {};
    ssize_t got = 0;
    while ((got = ::read(fd, text, sizeof text - 1)) < 0 && errno == EINTR) {
    }
    ::close(fd);
    const std::string content(text, got > 0 ? static_cast<std::size_t>(got) : 0);
    const std::size_t end = content.find('\n');
    if (end == 0 || end == std::string::npos) return false;
    const std::string id = content.substr(0, end);
    if (id.find_first_not_of("-0123456789") != std::string::npos) return false;
    return content.substr(end + 1) == std::string(kPidFileMarker) + "\n";
}

}  // namespace

std::optional<int> ExitStatus(std::int32_t pid) {
    std::lock_guard lock(spawned_mutex);
    const auto it = exit_statuses.find(static_cast<pid_t>(pid));
    if (it == exit_statuses.end()) return std::nullopt;
    return it->second;
}

void DeletePidFiles() {
    std::error_code ec;
    const fs::path folder = ExtensionFolder();
    std::vector<fs::path> doomed;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.size() <= 4 || name.compare(name.size() - 4, 4, ".pid") != 0) continue;
        if (!IsSafeName(name.substr(0, name.size() - 4))) continue;
        if (it->is_symlink(ec) || !it->is_regular_file(ec)) continue;
        if (IsOurPidFile(it->path())) doomed.push_back(it->path());
    }
    for (const auto& path : doomed) fs::remove(path, ec);
}

// ---- Start scripts.

std::string LocalScriptName(ScriptDialect dialect) {
    return dialect == ScriptDialect::Batch ? "zefaserverstartLocal.bat" : "zefaserverstartLocal.sh";
}

std::string RemoteScriptName(ScriptDialect dialect) {
    return dialect == ScriptDialect::Batch ? "zefaserverstartRemote.bat"
                                           : "zefaserverstartRemote.sh";
}

std::string ScriptNameFor(const std::string& scriptName, const std::string& serverName) {
    const std::size_t dot = scriptName.rfind('.');
    if (dot == std::string::npos) return scriptName + "-" + serverName;
    return scriptName.substr(0, dot) + "-" + serverName + scriptName.substr(dot);
}

std::string DrivePart(const std::string& path) {
    if (path.size() >= 2 && std::isalpha(static_cast<unsigned char>(path[0])) && path[1] == ':')
        return path.substr(0, 2);
    if (path.size() > 2 && path[0] == '\\' && path[1] == '\\') {
        const std::size_t server_end = path.find('\\', 2);
        if (server_end == std::string::npos || server_end == 2) return "";
        const std::size_t share_end = path.find('\\', server_end + 1);
        if (share_end == server_end + 1) return "";
        return path.substr(0, share_end);
    }
    return "";
}

std::string ShellQuote(const std::string& value) {
    std::string out = "'";
    for (char c : value) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    out += "'";
    return out;
}

bool IsSafeName(const std::string& value) {
    if (value.empty() || value.front() == '-') return false;
    for (char c : value) {
        const auto u = static_cast<unsigned char>(c);
        if (!(std::isalnum(u) || c == '.' || c == '_' || c == '-') || u > 127) return false;
    }
    return true;
}

namespace {

StartScripts BuildBatch(const StartScriptRequest& r) {
    StartScripts out;
    std::vector<std::string>& start = r.remote ? out.remote : out.local;
    if (r.remote) {
        out.local.push_back("rsh " + r.host + " \\\"" + r.remoteScriptPath + "\\\"");
        for (int i = 0; i < 4; ++i) out.local.push_back("pause");
    }
    const std::string drive = DrivePart(r.modelPath);
    if (drive.find(':') != std::string::npos) {
        start.push_back(drive);
        start.push_back("cd " + r.modelPath);
        start.push_back("\"" + r.exe + "\" -server " + r.serverName);
    } else if (drive.find("\\\\") != std::string::npos) {
        const std::string mapped = ReplaceAll(r.modelPath, drive, "%myDrive%");
        start.push_back("set myDrive=nothing");
        for (char letter = 'D'; letter <= 'Z'; ++letter) {
            start.push_back(std::string("set myDrive=") + letter + ":");
            start.push_back("if exist \"" + mapped + "\" goto worky");
            start.push_back("net use %myDrive% \"" + drive + "\" /PERSISTENT:NO");
            start.push_back("if NOT ERRORLEVEL 1 goto worky");
        }
        for (const char* line : {"goto noworky", ":worky", "%myDrive%"}) start.push_back(line);
        start.push_back("cd " + mapped);
        start.push_back("Start /WAIT /I \"ZEFA2000 Server\" \"" + r.exe + "\" -server " +
                        r.serverName);
        for (const char* line :
             {"c:", "net use %myDrive% /delete", "goto end", ":noworky",
              "echo YOU HAVE NO FURTHER AVAILABLE DRIVE LETTERS ON THIS MACHINE!!!", "pause",
              ":end", "set myDrive="})
            start.push_back(line);
    } else {
        out.error = kInvalidModelPathMessage;
    }
    return out;
}

StartScripts BuildShell(const StartScriptRequest& r) {
    StartScripts out;
    if (!IsSafeName(r.serverName)) {
        out.error = "The ZEFA Server Name \"" + r.serverName +
                    "\" may only contain letters, digits, \".\", \"_\" and \"-\".";
        return out;
    }
    if (r.remote && !IsSafeName(r.host)) {
        out.error = "The ZEFA Host \"" + r.host +
                    "\" may only contain letters, digits, \".\", \"_\" and \"-\".";
        return out;
    }
    if (r.modelPath.empty() || r.modelPath.front() != '/') {
        out.error = kInvalidModelPathMessage;
        return out;
    }
    std::vector<std::string>& start = r.remote ? out.remote : out.local;
    if (r.remote) {
        // The remote shell parses the command again, so the script path is
        // quoted once for it and once more for the local shell. `exec` makes
        // the started process ssh itself, so it is the process recorded and
        // ended with the run; BatchMode makes a start that would need a
        // password fail at once instead of waiting for an answer.
        out.local.push_back("exec ssh -o BatchMode=yes " + ShellQuote(r.host) + " " +
                            ShellQuote("sh " + ShellQuote(r.remoteScriptPath)));
    }
    start.push_back("cd " + ShellQuote(r.modelPath) + " || exit 1");
    // A server listens on its own computer's loopback interface unless told
    // otherwise: one on another computer, or one reached by this computer's
    // network name, must take connections on its network interfaces.
    const std::string host = Lower(r.host);
    const bool loopback = !r.remote && (host.find("localhost") != std::string::npos ||
                                        host.find("127.0.0.1") != std::string::npos);
    start.push_back("exec " + ShellQuote(r.exe) + " -server " + ShellQuote(r.serverName) +
                    (loopback ? "" : " --listen 0.0.0.0"));
    return out;
}

}  // namespace

StartScripts BuildStartScripts(const StartScriptRequest& request) {
    return request.dialect == ScriptDialect::Batch ? BuildBatch(request) : BuildShell(request);
}

bool WriteScript(const std::string& path, const std::vector<std::string>& lines,
                 ScriptDialect dialect) {
    const char* end = dialect == ScriptDialect::Batch ? "\r\n" : "\n";
    std::string text;
    for (const auto& line : lines) text += line + end;
    return WriteNewFile(path, text, 0700);
}

bool WriteNewFile(const std::string& path, const std::string& text, unsigned mode) {
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return false;
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                          static_cast<mode_t>(mode));
    if (fd < 0) return false;
    std::size_t offset = 0;
    bool ok = true;
    while (ok && offset < text.size()) {
        const ssize_t written = ::write(fd, text.data() + offset, text.size() - offset);
        if (written > 0)
            offset += static_cast<std::size_t>(written);
        else if (written < 0 && errno == EINTR)
            continue;
        else
            ok = false;
    }
    return ::close(fd) == 0 && ok;
}

// ---- Local or remote.

bool IsRemoteHost(const std::string& host) {
    const std::string lower = Lower(host);
    if (lower.find("localhost") != std::string::npos ||
        lower.find("127.0.0.1") != std::string::npos)
        return false;
    std::string name;
    {
        std::lock_guard lock(folder_mutex);
        if (computer_name_override) name = *computer_name_override;
    }
    if (name.empty()) {
        char buffer[256] = {};
        if (gethostname(buffer, sizeof buffer - 1) == 0) name = buffer;
    }
    return tcp::ResolveAddress(name) != tcp::ResolveAddress(host);
}

void SetComputerName(std::optional<std::string> name) {
    std::lock_guard lock(folder_mutex);
    computer_name_override = std::move(name);
}

}  // namespace zefa::server_start

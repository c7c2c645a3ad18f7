// The signals that interrupt a run, and ending the child processes it started
// when it is interrupted.
#include "run_signals.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace zefalink {

namespace {

constexpr int kSignals[4] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
// How long the run has to notice a signal by itself before its servers are
// ended for it.
constexpr int kNoticeMs = 700;
// How long a run that has noticed it has to stop its servers by itself.
constexpr int kEndingMs = 1500;

volatile std::sig_atomic_t g_signal = 0;

extern "C" void OnRunSignal(int signal) {
    if (g_signal == 0) g_signal = signal;
}

// Ids of the processes whose parent is this program.
std::vector<pid_t> ChildProcesses() {
    std::vector<pid_t> children;
    const pid_t self = ::getpid();
    std::error_code ec;
    for (std::filesystem::directory_iterator it("/proc", ec), end; !ec && it != end;
         it.increment(ec)) {
        const std::string name = it->path().filename().string();
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream stat(it->path() / "stat");
        std::string text;
        if (!std::getline(stat, text)) continue;
        // "pid (comm) state ppid ...": the command may hold blanks and ")".
        const std::size_t close = text.rfind(')');
        if (close == std::string::npos) continue;
        char state = 0;
        long parent = 0;
        if (std::sscanf(text.c_str() + close + 1, " %c %ld", &state, &parent) != 2) continue;
        if (parent == self && state != 'Z') children.push_back(std::stoi(name));
    }
    return children;
}

}  // namespace

RunSignals::RunSignals() {
    g_signal = 0;
    struct sigaction action {};
    action.sa_handler = OnRunSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &action, &old_[i]);
    // The watch starts with the signals blocked, so they reach the run's own
    // thread and interrupt what it waits in.
    sigset_t blocked, previous;
    sigemptyset(&blocked);
    for (int signal : kSignals) sigaddset(&blocked, signal);
    ::pthread_sigmask(SIG_BLOCK, &blocked, &previous);
    watch_ = std::thread([this] { Watch(); });
    ::pthread_sigmask(SIG_SETMASK, &previous, nullptr);
}

RunSignals::~RunSignals() {
    Disarm();
    for (int i = 0; i < 4; ++i) ::sigaction(kSignals[i], &old_[i], nullptr);
}

bool RunSignals::Interrupted() {
    return g_signal != 0;
}

const char* RunSignals::Name() {
    switch (g_signal) {
        case SIGINT:
            return "SIGINT";
        case SIGTERM:
            return "SIGTERM";
        case SIGHUP:
            return "SIGHUP";
        case SIGPIPE:
            return "SIGPIPE";
        default:
            return "";
    }
}

void RunSignals::Disarm() {
    stop_ = true;
    if (watch_.joinable()) watch_.join();
}

void RunSignals::Watch() {
    using Clock = std::chrono::steady_clock;
    while (!stop_ && g_signal == 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto signalled = Clock::now();
    const auto waited = [&] { return Clock::now() - signalled; };
    while (!stop_ && (waited() < std::chrono::milliseconds(kNoticeMs) ||
                      (acknowledged_ && waited() < std::chrono::milliseconds(kEndingMs))))
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    if (!stop_) EndChildProcesses(500);
}

int EndChildProcesses(int grace_ms) {
    const std::vector<pid_t> children = ChildProcesses();
    for (pid_t pid : children) {
        ::kill(pid, SIGTERM);
        ::kill(pid, SIGCONT);
    }
    for (int waited = 0; waited < grace_ms && !ChildProcesses().empty(); waited += 20)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (pid_t pid : ChildProcesses()) ::kill(pid, SIGKILL);
    return static_cast<int>(children.size());
}

}  // namespace zefalink

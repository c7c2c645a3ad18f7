#pragma once

// The signals that end a run early (SIGINT, SIGTERM, SIGHUP, SIGPIPE): the
// run finishes the step it is in, stops its servers and writes what it has.
// A run held inside a pipeline unit (a long model initialisation, a server
// that stopped answering) is freed by ending the servers this program
// started, so that it ends within two seconds of the signal.

#include <atomic>
#include <csignal>
#include <thread>

namespace zefalink {

class RunSignals {
  public:
    // Catches the signals while it lives; the previous handlers come back
    // afterwards.
    RunSignals();
    ~RunSignals();
    RunSignals(const RunSignals&) = delete;
    RunSignals& operator=(const RunSignals&) = delete;

    // True once one of the signals has arrived.
    static bool Interrupted();
    // "SIGINT", "SIGHUP", ... of the first signal; empty before one came.
    static const char* Name();
    // The run has seen the signal and is ending by itself: its servers get
    // a second more to stop before they are ended for it.
    void Acknowledge() { acknowledged_ = true; }
    // The servers are stopped: nothing is left for the watch to end.
    void Disarm();

  private:
    void Watch();
    struct sigaction old_[4]{};
    std::atomic<bool> stop_{false};
    std::atomic<bool> acknowledged_{false};
    std::thread watch_;
};

// Ends the child processes of this program (the servers it started), first
// asking them to stop, then for certain; a stopped one is resumed so it can
// take the request. Returns how many there were.
int EndChildProcesses(int grace_ms);

}  // namespace zefalink

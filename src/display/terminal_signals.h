#pragma once
// What Ctrl-C, Ctrl-\, Ctrl-Z and the other ending signals do while the status area is on the
// terminal: the terminal is put right first, then the signal acts as it would have.

#include <signal.h>

// Called inside a signal handler: it must be async-signal-safe and must not allocate.
using TerminalRestorer = void (*)();

class TerminalSignals {
public:
    // Until destroyed, SIGINT, SIGQUIT, SIGTERM, SIGHUP and SIGTSTP call `restore` before
    // they end or stop the process; a signal ignored now stays ignored. At most one exists
    // at a time.
    explicit TerminalSignals(TerminalRestorer restore);
    // Puts back what the signals did before.
    ~TerminalSignals();
    TerminalSignals(const TerminalSignals&) = delete;
    TerminalSignals& operator=(const TerminalSignals&) = delete;

    // True once after each time the process was stopped by SIGTSTP and continued since the
    // last call: what `restore` erased must be set up again. Until then no signal calls
    // `restore`, since what it put right still is.
    bool takeContinued();

    // The caller put the terminal right itself: no signal calls `restore` until the caller
    // has set it up again and says so with `setUpAgain`. Call both with the signals held.
    void putRightByCaller();
    void setUpAgain();

private:
    TerminalRestorer restore_;
    struct sigaction previousActions[5] = {};
};

// Holds SIGINT, SIGQUIT, SIGTERM, SIGHUP and SIGTSTP back while alive, so that `restore` never runs
// while the terminal is being set up or put right by the caller itself.
class TerminalSignalsHeld {
public:
    TerminalSignalsHeld();
    ~TerminalSignalsHeld();
    TerminalSignalsHeld(const TerminalSignalsHeld&) = delete;
    TerminalSignalsHeld& operator=(const TerminalSignalsHeld&) = delete;

private:
    sigset_t previous;
};

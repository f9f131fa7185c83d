#include "display/terminal_signals.h"

#include <cerrno>
#include <cstddef>
#include <iterator>

namespace {

constexpr int kHandledSignals[] = {SIGINT, SIGQUIT, SIGTERM, SIGHUP, SIGTSTP};

// Only a signal handler needs these, and it can reach nothing else: the restorer of the one
// live TerminalSignals, and whether a stop came since the caller last looked.
TerminalRestorer volatile restorer = nullptr;
volatile sig_atomic_t continuedSinceTaken = 0;

sigset_t handledSignalSet() {
    sigset_t set;
    sigemptyset(&set);
    for (const int signal : kHandledSignals) sigaddset(&set, signal);
    return set;
}

void restoreTerminal() {
    // Since a stop, the terminal is as it was put right and the rows may hold the shell's
    // words, until the caller takes the continuation and sets up again.
    if (continuedSinceTaken != 0) return;
    const TerminalRestorer restore = restorer;
    if (restore != nullptr) restore();
}

// Lets the signal act by its default action, which ends or stops the process.
void actByDefault(int signal) {
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    sigset_t only;
    sigemptyset(&only);
    sigaddset(&only, signal);
    sigprocmask(SIG_UNBLOCK, &only, nullptr);
    raise(signal);
}

// Ends the process by the same signal, so that a shell sees 130 for Ctrl-C, and Ctrl-\ dumps
// core where the system is set to.
void restoreThenEnd(int signal) {
    restoreTerminal();
    actByDefault(signal);
}

void restoreThenStop(int signal);

struct sigaction handlerAction(int signal) {
    struct sigaction action {};
    action.sa_handler = signal == SIGTSTP ? restoreThenStop : restoreThenEnd;
    action.sa_mask = handledSignalSet();
    // The stop handler returns: what it interrupted goes on rather than failing with EINTR.
    action.sa_flags = SA_RESTART;
    return action;
}

// Stops as the shell expects, and once continued takes the signal again for the next stop.
void restoreThenStop(int signal) {
    const int savedErrno = errno;
    restoreTerminal();
    actByDefault(signal);
    const struct sigaction again = handlerAction(signal);
    sigaction(signal, &again, nullptr);
    continuedSinceTaken = 1;
    errno = savedErrno;
}

}  // namespace

TerminalSignals::TerminalSignals(TerminalRestorer restore) : restore_(restore) {
    static_assert(std::size(kHandledSignals) == sizeof previousActions / sizeof previousActions[0]);
    const TerminalSignalsHeld held;
    restorer = restore;
    continuedSinceTaken = 0;
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        sigaction(kHandledSignals[i], nullptr, &previousActions[i]);
        // Ignored from the start, as under nohup: it stays ignored.
        if (previousActions[i].sa_handler != SIG_IGN) {
            const struct sigaction action = handlerAction(kHandledSignals[i]);
            sigaction(kHandledSignals[i], &action, nullptr);
        }
    }
}

TerminalSignals::~TerminalSignals() {
    const TerminalSignalsHeld held;
    for (std::size_t i = 0; i < std::size(kHandledSignals); ++i) {
        sigaction(kHandledSignals[i], &previousActions[i], nullptr);
    }
    restorer = nullptr;
}

bool TerminalSignals::takeContinued() {
    if (continuedSinceTaken == 0) return false;
    continuedSinceTaken = 0;
    return true;
}

void TerminalSignals::putRightByCaller() { restorer = nullptr; }

void TerminalSignals::setUpAgain() { restorer = restore_; }

TerminalSignalsHeld::TerminalSignalsHeld() {
    const sigset_t held = handledSignalSet();
    sigprocmask(SIG_BLOCK, &held, &previous);
}

TerminalSignalsHeld::~TerminalSignalsHeld() { sigprocmask(SIG_SETMASK, &previous, nullptr); }

#pragma once
// The status area: the two bottom terminal rows while a command works. The upper row
// shows a bar, a percentage and a label; the lower one "Fact: " and a trivia sentence.
// Labels are drawn as given: callers escape what comes from names.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include "display/terminal_signals.h"

struct TerminalSize {
    std::uint16_t rows = 0;
    std::uint16_t columns = 0;
};

// Size of the terminal on standard output: 24x80 when unknown, at least 3x20.
TerminalSize queryTerminalSize();

class ProgressDisplay {
public:
    // Hides the cursor, makes room for the two rows below it and picks the first
    // sentence; draws nothing. Until destroyed, SIGINT, SIGQUIT, SIGTERM, SIGHUP and SIGTSTP
    // (unless ignored) erase the rows and show the cursor before they end or stop the
    // process; after a stop, the next drawing makes room again. Until destroyed, the first
    // write to std::cerr while the area is shown erases the rows and shows the cursor
    // before it, so that a message stays on the screen; a drawing after it makes room again.
    ProgressDisplay();
    // Erases both rows and shows the cursor, on every way out, unless a message did already;
    // restores the signals and std::cerr.
    ~ProgressDisplay();
    ProgressDisplay(const ProgressDisplay&) = delete;
    ProgressDisplay& operator=(const ProgressDisplay&) = delete;

    // Rotates the sentence when 5 s have passed since the last change, then redraws. Each
    // drawing reaches the terminal in one write system call, whatever its length.
    void update(std::uint64_t done, std::uint64_t total, const std::string& label);
    // What update does with the monotonic clock already read: the sentence rotates when
    // `now` is 5 s or more after the last change or the construction, then both rows are drawn.
    void updateAt(std::chrono::steady_clock::time_point now, std::uint64_t done,
                  std::uint64_t total, const std::string& label);

private:
    class ErrorStreamGuard;

    void render(std::uint64_t done, std::uint64_t total, const std::string& label);
    void pickNextFact();
    // The teardown's erasing of the rows and showing of the cursor, when the area is shown.
    void takeOffScreen();

    std::vector<std::string> facts;
    std::mt19937 rng;
    std::size_t currentFact = 0;
    std::chrono::steady_clock::time_point lastFactChange;
    // Made and dropped with the signals held, so that no signal erases the rows before the
    // room is made or after the teardown.
    std::optional<TerminalSignals> signals;
    // From the hiding of the cursor until the rows are erased and the cursor shown.
    bool onScreen = false;
    std::unique_ptr<ErrorStreamGuard> errorGuard;
};

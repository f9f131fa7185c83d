#pragma once
// Helpers for the status-area tests: run a display on a pseudo-terminal of a chosen size,
// and recognise the trivia line it draws.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>

namespace display_testing {

struct PtyResult {
    std::string out;  // every byte the child wrote to the terminal
    int status = -1;  // the child's exit status, or 128 + signal
};

// Runs `body` in a child process whose standard streams are a raw pseudo-terminal of
// rows x columns, and returns what it wrote.
PtyResult runOnTerminal(std::uint16_t rows, std::uint16_t columns,
                        const std::function<void()>& body);

// What the teardown writes when the terminal has `rows` rows.
std::string teardownBytes(unsigned rows);

// A line as the status area draws it on `columns` columns.
std::string fitted(const std::string& line, std::size_t columns);

// Whether `line` is "Fact: " and a trivia sentence, as drawn on `columns` columns.
bool isFactLine(const std::string& line, std::size_t columns);

}  // namespace display_testing

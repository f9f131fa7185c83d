#include "display/progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <charconv>
#include <cstdio>
#include <iostream>

#include "display/trivia.h"

namespace {

constexpr std::chrono::nanoseconds factRotationInterval{5000000000};
constexpr std::uint16_t kFallbackRows = 24;
constexpr std::uint16_t kFallbackColumns = 80;
constexpr std::uint16_t kMinimumRows = 3;
constexpr std::uint16_t kMinimumColumns = 20;
constexpr std::uint16_t kWideBarColumns = 80;
constexpr std::size_t kNarrowBarWidth = 15;
constexpr std::size_t kWideBarWidth = 30;
constexpr char kEllipsis[] = "...";

constexpr char kHideCursor[] = "\x1b[?25l";
constexpr char kShowCursor[] = "\x1b[?25h";
constexpr char kSaveCursor[] = "\x1b[s";
constexpr char kRestoreCursor[] = "\x1b[u";
constexpr char kEraseRow[] = "\x1b[2K";

std::uint32_t seedFromDevice() {
    std::random_device device("default");
    return device();
}

void appendNumber(std::string& out, std::uint64_t value) {
    char digits[20];
    const auto result = std::to_chars(digits, digits + sizeof digits, value);
    out.append(digits, result.ptr);
}

// "\e[<row>;1H": first column of the row, rows counted from 1.
void appendMoveToRow(std::string& out, unsigned row) {
    out += "\x1b[";
    appendNumber(out, row);
    out += ";1H";
}

// Cuts the line that starts at `from` in `out` as fitToWidth cuts it, in place.
void fitTail(std::string& out, std::size_t from, std::uint16_t columns) {
    // The last column stays empty so that no terminal wraps the row.
    const std::size_t limit = columns > 0 ? columns - 1u : 0u;
    if (out.size() - from <= limit) return;
    const std::size_t kept = limit >= sizeof kEllipsis - 1 ? limit - (sizeof kEllipsis - 1) : 0;
    out.resize(from + kept);
    out += kEllipsis;
}

}  // namespace

TerminalSize queryTerminalSize() {
    winsize window{};
    if (ioctl(STDOUT_FILENO, TIOCGWINSZ, &window) != 0 || window.ws_row == 0 ||
        window.ws_col == 0) {
        return {kFallbackRows, kFallbackColumns};
    }
    TerminalSize size;
    size.rows = window.ws_row < kMinimumRows ? kMinimumRows : window.ws_row;
    size.columns = window.ws_col < kMinimumColumns ? kMinimumColumns : window.ws_col;
    return size;
}

std::string fitToWidth(const std::string& line, std::uint16_t columns) {
    std::string fitted(line);
    fitTail(fitted, 0, columns);
    return fitted;
}

ProgressDisplay::ProgressDisplay()
    : rng(seedFromDevice()), lastFactChange(std::chrono::steady_clock::now()) {
    facts.assign(triviaFacts, triviaFacts + kTriviaFactCount);
    pickNextFact();
    std::cout << kHideCursor;
    std::cout.flush();
}

ProgressDisplay::~ProgressDisplay() {
    // Built without allocating: the destructor also runs while an allocation failure unwinds.
    const unsigned rows = queryTerminalSize().rows;
    char erase[64];
    const int length =
        std::snprintf(erase, sizeof erase, "%s\x1b[%u;1H%s\x1b[%u;1H%s%s", kSaveCursor, rows - 1,
                      kEraseRow, rows, kEraseRow, kRestoreCursor);
    std::cout.write(erase, length);
    std::cout.flush();
    std::cout << kShowCursor;
    std::cout.flush();
}

void ProgressDisplay::update(std::uint64_t done, std::uint64_t total, const std::string& label) {
    updateAt(std::chrono::steady_clock::now(), done, total, label);
}

void ProgressDisplay::updateAt(std::chrono::steady_clock::time_point now, std::uint64_t done,
                               std::uint64_t total, const std::string& label) {
    // Measured from the last change, not on a fixed beat, so reports every 3 s change it every 6 s.
    if (now - lastFactChange >= factRotationInterval) {
        pickNextFact();
        lastFactChange = now;
    }
    render(done, total, label);
}

void ProgressDisplay::render(std::uint64_t done, std::uint64_t total,
                             const std::string& label) const {
    const TerminalSize size = queryTerminalSize();

    double ratio = 0.0;
    if (total != 0) {
        ratio = static_cast<double>(done) / static_cast<double>(total);
        if (ratio > 1.0) ratio = 1.0;
    }
    const std::size_t progressBarWidth =
        size.columns < kWideBarColumns ? kNarrowBarWidth : kWideBarWidth;
    // Truncated, never rounded: 29 of 100 shows 28% since 0.29 * 100.0 is just below 29.
    const auto filled = static_cast<std::size_t>(ratio * static_cast<double>(progressBarWidth));
    const auto percent = static_cast<unsigned>(ratio * 100.0);

    // Both lines are built and cut in place in the one string that is written: a drawing
    // is made for every MiB packed or restored and for every file.
    const std::string& fact = facts[currentFact];
    std::string drawing;
    drawing.reserve(64 + progressBarWidth + label.size() + fact.size());
    drawing += kSaveCursor;
    appendMoveToRow(drawing, size.rows - 1u);
    drawing += kEraseRow;
    const std::size_t progressStart = drawing.size();
    drawing += '[';
    drawing.append(filled, '#');
    drawing.append(progressBarWidth - filled, '-');
    drawing += "] ";
    appendNumber(drawing, percent);
    drawing += "%  ";
    drawing += label;
    fitTail(drawing, progressStart, size.columns);
    appendMoveToRow(drawing, size.rows);
    drawing += kEraseRow;
    const std::size_t triviaStart = drawing.size();
    drawing += "Fact: ";
    drawing += fact;
    fitTail(drawing, triviaStart, size.columns);
    drawing += kRestoreCursor;
    std::cout.write(drawing.data(), static_cast<std::streamsize>(drawing.size()));
    std::cout.flush();
}

void ProgressDisplay::pickNextFact() {
    if (facts.size() < 2) return;
    std::uniform_int_distribution<unsigned long> pick(0, facts.size() - 1);
    unsigned long index = pick(rng);
    // Never the sentence on show, so the first pick is never entry 0.
    while (index == currentFact) index = pick(rng);
    currentFact = index;
}

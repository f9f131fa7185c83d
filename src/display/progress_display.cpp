#include "display/progress_display.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <iostream>
#include <iterator>
#include <streambuf>

#include "display/trivia.h"
#include "format/file_descriptor.h"

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

// The two line feeds scroll a full screen by two rows and the cursor goes back up to
// where its row now is, so that the status rows never cover what the screen shows.
constexpr char kHideCursorAndMakeRoom[] = "\x1b[?25l\n\n\x1b[2A";
constexpr char kShowCursor[] = "\x1b[?25h";
constexpr char kSaveCursor[] = "\x1b[s";
constexpr char kRestoreCursor[] = "\x1b[u";
constexpr char kEraseRow[] = "\x1b[2K";

// Room for the erasing of both rows and the shown cursor, with row numbers of 5 digits.
constexpr std::size_t kTeardownCapacity = 64;

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

// The appenders below write into a fixed buffer without allocating or calling anything
// that is unsafe in a signal handler: the signal handlers' teardown is built with them.
char* appendText(char* at, const char* text) {
    while (*text != '\0') *at++ = *text++;
    return at;
}

char* appendDecimal(char* at, unsigned value) {
    char digits[10];
    int count = 0;
    do {
        digits[count++] = static_cast<char>('0' + value % 10);
        value /= 10;
    } while (value != 0);
    while (count > 0) *at++ = digits[--count];
    return at;
}

// The teardown's erasing of the two bottom rows, cursor kept where it stands.
char* appendErase(char* at, unsigned rows) {
    at = appendText(at, kSaveCursor);
    for (const unsigned row : {rows - 1, rows}) {
        at = appendText(at, "\x1b[");
        at = appendDecimal(at, row);
        at = appendText(at, ";1H");
        at = appendText(at, kEraseRow);
    }
    return appendText(at, kRestoreCursor);
}

// What is already in the stream goes first, so that the terminal gets everything in order.
// Then straight to the descriptor, not through the stream: standard output's buffer would
// cut a drawing longer than itself into two writes, and a signal could come between them.
void writeAfterStream(const char* bytes, std::size_t count) {
    std::cout.flush();
    writeAll(STDOUT_FILENO, bytes, count);
}

// Erases the rows and shows the cursor as the teardown does, for the size of this moment.
// Signal handlers call it: it allocates nothing.
void eraseRowsAndShowCursor() {
    char bytes[kTeardownCapacity];
    char* const end = appendText(appendErase(bytes, queryTerminalSize().rows), kShowCursor);
    writeAll(STDOUT_FILENO, bytes, static_cast<std::size_t>(end - bytes));
}

// Fits the line that starts at `from` in `out` to the columns, in place: a line longer than
// columns - 1 bytes keeps columns - 4 of them and ends in "...". The last column stays
// empty so that no terminal wraps the row; columns are at least 20 (queryTerminalSize).
void fitToWidth(std::string& out, std::size_t from, std::uint16_t columns) {
    const std::size_t limit = columns - 1u;
    if (out.size() - from <= limit) return;
    out.resize(from + limit - (sizeof kEllipsis - 1));
    out += kEllipsis;
}

}  // namespace

// Standard error's buffer while the display lives: every write goes on to the buffer it
// replaced, and the first one while the area is shown takes the area off the screen before
// it. Messages written on a full screen land on the rows the area erases; erased before,
// the rows are free and the message stays. Holds no buffer of its own, so that standard
// error stays unit-buffered.
class ProgressDisplay::ErrorStreamGuard : public std::streambuf {
public:
    explicit ErrorStreamGuard(ProgressDisplay& display) : display_(display) {
        // Swapping the buffer clears the stream's state: what it was stays.
        const std::ios_base::iostate state = std::cerr.rdstate();
        previous_ = std::cerr.rdbuf(this);
        std::cerr.clear(state);
    }
    ~ErrorStreamGuard() override {
        const std::ios_base::iostate state = std::cerr.rdstate();
        std::cerr.rdbuf(previous_);
        std::cerr.clear(state);
    }
    ErrorStreamGuard(const ErrorStreamGuard&) = delete;
    ErrorStreamGuard& operator=(const ErrorStreamGuard&) = delete;

protected:
    int_type overflow(int_type c) override {
        if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
        display_.takeOffScreen();
        return previous_->sputc(traits_type::to_char_type(c));
    }
    std::streamsize xsputn(const char* text, std::streamsize count) override {
        if (count > 0) display_.takeOffScreen();
        return previous_->sputn(text, count);
    }
    int sync() override { return previous_->pubsync(); }

private:
    ProgressDisplay& display_;
    std::streambuf* previous_ = nullptr;
};

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

ProgressDisplay::ProgressDisplay()
    : rng(seedFromDevice()), lastFactChange(std::chrono::steady_clock::now()) {
    facts.assign(triviaFacts, triviaFacts + kTriviaFactCount);
    pickNextFact();
    errorGuard = std::make_unique<ErrorStreamGuard>(*this);
    const TerminalSignalsHeld held;
    signals.emplace(eraseRowsAndShowCursor);
    writeAfterStream(kHideCursorAndMakeRoom, sizeof kHideCursorAndMakeRoom - 1);
    onScreen = true;
}

ProgressDisplay::~ProgressDisplay() {
    // A signal that comes now acts once the terminal is restored, as it did before.
    const TerminalSignalsHeld held;
    takeOffScreen();
    signals.reset();
}

void ProgressDisplay::takeOffScreen() {
    if (!onScreen) return;
    onScreen = false;
    const TerminalSignalsHeld held;
    // Built without allocating: the destructor also runs while an allocation failure unwinds.
    char erase[kTeardownCapacity];
    const char* const end = appendErase(erase, queryTerminalSize().rows);
    // After a stop with no drawing since, the rows are erased already and may hold the
    // shell's words: they are left alone.
    if (!signals->takeContinued()) writeAfterStream(erase, static_cast<std::size_t>(end - erase));
    writeAfterStream(kShowCursor, sizeof kShowCursor - 1);
    // The rows may hold a message now: no signal erases them until room is made again.
    signals->putRightByCaller();
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
                             const std::string& label) {
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
    drawing.reserve(80 + progressBarWidth + label.size() + fact.size());
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
    fitToWidth(drawing, progressStart, size.columns);
    appendMoveToRow(drawing, size.rows);
    drawing += kEraseRow;
    const std::size_t triviaStart = drawing.size();
    drawing += "Fact: ";
    drawing += fact;
    fitToWidth(drawing, triviaStart, size.columns);
    drawing += kRestoreCursor;
    if (onScreen) {
        // A stop erased the rows and the shell wrote below the command: room is made anew
        // there. Asked last, so that a stop while the drawing was built is not missed.
        if (signals->takeContinued()) drawing.insert(0, kHideCursorAndMakeRoom);
        // One write: a signal's teardown comes before or after it, never inside it.
        writeAfterStream(drawing.data(), drawing.size());
        return;
    }
    // A message took the area off the screen: room is made anew below it, and no signal
    // may erase the rows before then, since they may hold the message.
    drawing.insert(0, kHideCursorAndMakeRoom);
    const TerminalSignalsHeld held;
    signals->takeContinued();
    writeAfterStream(drawing.data(), drawing.size());
    onScreen = true;
    signals->setUpAgain();
}

void ProgressDisplay::pickNextFact() {
    if (facts.size() < 2) return;
    std::uniform_int_distribution<unsigned long> pick(0, facts.size() - 1);
    unsigned long index = pick(rng);
    // Never the sentence on show, so the first pick is never entry 0.
    while (index == currentFact) index = pick(rng);
    currentFact = index;
}

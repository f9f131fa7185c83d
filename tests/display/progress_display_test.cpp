#include "display/progress_display.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <cstdint>
#include <iostream>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

#include "display_test_support.h"
#include "support/test_support.h"

namespace {

using display_testing::CapturedOutput;
using display_testing::runOnTerminal;
using display_testing::teardownBytes;
using Access = ProgressDisplayTestAccess;
using std::chrono::nanoseconds;

constexpr std::size_t kByteFact = 15;  // "A byte normally contains eight bits."
// The constructor hides the cursor and makes room for the two rows, in one write.
const std::string kHideAndRoom = "\x1b[?25l\n\n\x1b[2A";

// The bytes of one drawing on a terminal with `rows` rows.
std::string drawing(unsigned rows, const std::string& progressLine, const std::string& triviaLine) {
    return "\x1b[s\x1b[" + std::to_string(rows - 1) + ";1H\x1b[2K" + progressLine + "\x1b[" +
           std::to_string(rows) + ";1H\x1b[2K" + triviaLine + "\x1b[u";
}

// The progress line of the last drawing in redirected output (rows 23 and 24).
std::string lastProgressLine(const std::string& out) {
    const std::string start = "\x1b[23;1H\x1b[2K";
    const std::size_t from = out.rfind(start);
    if (from == std::string::npos) return "<no drawing>";
    const std::size_t begin = from + start.size();
    return out.substr(begin, out.find("\x1b[24;1H", begin) - begin);
}

std::string lastTriviaLine(const std::string& out) {
    const std::string start = "\x1b[24;1H\x1b[2K";
    const std::size_t from = out.rfind(start);
    if (from == std::string::npos) return "<no drawing>";
    const std::size_t begin = from + start.size();
    return out.substr(begin, out.find("\x1b[u", begin) - begin);
}

TEST(FitToWidth, KeepsShortLinesAndCutsLongOnesToOneLessThanTheColumns) {
    const std::string forty(40, 'x');
    struct Row {
        std::string line;
        std::uint16_t columns;
        std::string expected;
    };
    const std::vector<Row> rows = {
        {"", 20, ""},
        {forty.substr(0, 39), 40, forty.substr(0, 39)},
        {forty, 40, forty.substr(0, 36) + "..."},
        {forty + "y", 40, forty.substr(0, 36) + "..."},
        {"[#####----------] 33%  Packing: photos/2019/holiday/beach.jpg", 40,
         "[#####----------] 33%  Packing: phot..."},
        {"Fact: A byte normally contains eight bits.", 40,
         "Fact: A byte normally contains eight..."},
        {"Fact: A byte normally contains eight bits.", 20, "Fact: A byte nor..."},
        {"Fact: A byte normally contains eight bits.", 43,
         "Fact: A byte normally contains eight bits."},
        {"Fact: A byte normally contains eight bits.", 42,
         "Fact: A byte normally contains eight b..."},
        // Bytes, not characters: the cut may fall inside a UTF-8 character.
        {"\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9",
         21, "\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3\xa9\xc3..."},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(fitToWidth(row.line, row.columns), row.expected)
            << row.line << " on " << row.columns;
    }
}

TEST(ProgressDisplay, RedirectedOutputGetsTheFallbackAreaByteForByte) {
    CapturedOutput capture;
    EXPECT_EQ(queryTerminalSize().rows, 24);
    EXPECT_EQ(queryTerminalSize().columns, 80);
    std::string sentence;
    {
        ProgressDisplay display;
        EXPECT_EQ(capture.out(), kHideAndRoom);  // nothing drawn before the first report
        sentence = Access::facts(display)[Access::currentFact(display)];
        display.update(0, 0, "Preparing archive...");
        EXPECT_EQ(capture.out(),
                  kHideAndRoom + drawing(24, "[------------------------------] 0%  Preparing archive...",
                                  "Fact: " + sentence));
        capture.clear();
    }
    EXPECT_EQ(capture.out(), "\x1b[s\x1b[23;1H\x1b[2K\x1b[24;1H\x1b[2K\x1b[u\x1b[?25h");
    EXPECT_EQ(capture.err(), "");
}

TEST(ProgressDisplay, WorkedExamplesOnTerminalsOfEverySize) {
    struct Row {
        std::uint16_t rows, columns;  // as the terminal reports them
        std::uint64_t done, total;
        std::string label;
        unsigned drawnRows;
        std::string progressLine, triviaLine;
    };
    const std::string byteFact = "Fact: A byte normally contains eight bits.";
    const std::vector<Row> table = {
        {24, 80, 1, 3, "Verified: 000001.zst", 24,
         "[##########--------------------] 33%  Verified: 000001.zst", byteFact},
        {24, 80, 2, 3, "Verified: 000002.zst", 24,
         "[####################----------] 66%  Verified: 000002.zst", byteFact},
        {30, 40, 1, 3, "Packing: photos/2019/holiday/beach.jpg", 30,
         "[#####----------] 33%  Packing: phot...", "Fact: A byte normally contains eight..."},
        {1, 10, 0, 5, "Packing: a", 3, "[---------------...", "Fact: A byte nor..."},
        {24, 79, 1, 3, "Verified: 000001.zst", 24, "[#####----------] 33%  Verified: 000001.zst",
         byteFact},
        {30, 0, 1, 3, "Verified: 000001.zst", 24,
         "[##########--------------------] 33%  Verified: 000001.zst", byteFact},
        {0, 120, 1, 3, "Verified: 000001.zst", 24,
         "[##########--------------------] 33%  Verified: 000001.zst", byteFact},
        {120, 200, 3, 3, "Archive complete", 120,
         "[##############################] 100%  Archive complete", byteFact},
        {25, 19, 3, 3, "x", 25, "[###############...", "Fact: A byte nor..."},
    };
    for (const Row& row : table) {
        const auto result = runOnTerminal(row.rows, row.columns, [&row] {
            ProgressDisplay display;
            Access::setCurrentFact(display, kByteFact);
            display.update(row.done, row.total, row.label);
        });
        EXPECT_EQ(result.status, 0);
        EXPECT_EQ(result.out, kHideAndRoom + drawing(row.drawnRows, row.progressLine, row.triviaLine) +
                                  teardownBytes(row.drawnRows))
            << row.rows << "x" << row.columns;
    }
}

TEST(ProgressDisplay, EachDrawingAndTheTeardownUseTheSizeOfThatMoment) {
    const auto result = runOnTerminal(24, 80, [] {
        ProgressDisplay display;
        Access::setCurrentFact(display, kByteFact);
        display.update(0, 2, "a");
        winsize window{};
        window.ws_row = 40;
        window.ws_col = 60;
        ioctl(STDOUT_FILENO, TIOCSWINSZ, &window);
        display.update(1, 2, "b");
    });
    EXPECT_EQ(result.status, 0);
    const std::string fact = "Fact: A byte normally contains eight bits.";
    EXPECT_EQ(result.out, kHideAndRoom + drawing(24, "[------------------------------] 0%  a", fact) +
                              drawing(40, "[#######--------] 50%  b", fact) + teardownBytes(40));
}

TEST(ProgressDisplay, BarAndPercentageAreTruncatedDoubleArithmetic) {
    constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
    struct Row {
        std::uint64_t done, total;
        std::string expected;
    };
    const std::vector<Row> table = {
        {0, 0, "[------------------------------] 0%  "},
        {5, 0, "[------------------------------] 0%  "},
        {0, 100, "[------------------------------] 0%  "},
        {29, 100, "[########----------------------] 28%  "},
        {1, 3, "[##########--------------------] 33%  "},
        {2, 3, "[####################----------] 66%  "},
        {99, 100, "[#############################-] 99%  "},
        {3, 3, "[##############################] 100%  "},
        {7, 3, "[##############################] 100%  "},
        {kMax, kMax, "[##############################] 100%  "},
        {kMax - 1, kMax, "[##############################] 100%  "},
        {1, kMax, "[------------------------------] 0%  "},
        {kMax, 1, "[##############################] 100%  "},
    };
    CapturedOutput capture;
    ProgressDisplay display;
    for (const Row& row : table) {
        display.update(row.done, row.total, "");
        EXPECT_EQ(lastProgressLine(capture.out()), row.expected) << row.done << " of " << row.total;
    }
    display.update(0, 0, "Archive complete");
    EXPECT_EQ(lastProgressLine(capture.out()),
              "[------------------------------] 0%  Archive complete");
}

TEST(ProgressDisplay, LabelIsWrittenAsGiven) {
    CapturedOutput capture;
    ProgressDisplay display;
    const std::string label = std::string("Packing: a\nb\x1b[31mc\td") + '\0' + "e";
    display.update(0, 1, label);
    EXPECT_EQ(lastProgressLine(capture.out()), "[------------------------------] 0%  " + label);
}

TEST(ProgressDisplay, EveryDrawingIsOneWriteAndOneFlush) {
    CapturedOutput capture;
    {
        ProgressDisplay display;
        EXPECT_EQ(capture.outBuffer.writes, 1);
        EXPECT_EQ(capture.outBuffer.flushes, 1);
        for (int i = 0; i < 3; ++i) {
            capture.clear();
            display.update(static_cast<std::uint64_t>(i), 3, "Packing: some/long/path/name.bin");
            EXPECT_EQ(capture.outBuffer.writes, 1);
            EXPECT_EQ(capture.outBuffer.flushes, 1);
        }
        capture.clear();
    }
    // The erasing and the shown cursor are each flushed.
    EXPECT_EQ(capture.outBuffer.flushes, 2);
    EXPECT_EQ(capture.err(), "");
}

TEST(ProgressDisplay, SentenceRotatesAtTheFirstReportFiveSecondsAfterTheLastChange) {
    CapturedOutput capture;
    ProgressDisplay display;
    const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    Access::setLastFactChange(display, start);
    const std::size_t first = Access::currentFact(display);

    Access::updateAt(display, start + std::chrono::milliseconds(4900), 0, 1, "a");
    EXPECT_EQ(Access::currentFact(display), first);
    Access::updateAt(display, start + nanoseconds(4999999999), 0, 1, "a");
    EXPECT_EQ(Access::currentFact(display), first);
    EXPECT_EQ(Access::lastFactChange(display), start);

    const auto changed = start + nanoseconds(5000000000);
    Access::updateAt(display, changed, 0, 1, "a");
    const std::size_t second = Access::currentFact(display);
    EXPECT_NE(second, first);
    EXPECT_EQ(Access::lastFactChange(display), changed);
    // The same report already draws the new sentence.
    EXPECT_EQ(lastTriviaLine(capture.out()), "Fact: " + Access::facts(display)[second]);

    // The interval restarts from the report that made the change.
    Access::updateAt(display, changed + nanoseconds(4999999999), 0, 1, "a");
    EXPECT_EQ(Access::currentFact(display), second);
    Access::updateAt(display, changed + std::chrono::seconds(5), 0, 1, "a");
    EXPECT_NE(Access::currentFact(display), second);

    // A clock that seems to go back changes nothing.
    const std::size_t third = Access::currentFact(display);
    Access::updateAt(display, start, 0, 1, "a");
    EXPECT_EQ(Access::currentFact(display), third);
}

TEST(ProgressDisplay, ReportsEveryThreeSecondsChangeTheSentenceEverySixSeconds) {
    CapturedOutput capture;
    ProgressDisplay display;
    const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    Access::setLastFactChange(display, start);
    std::vector<bool> changes;
    for (int second = 3; second <= 15; second += 3) {
        const std::size_t before = Access::currentFact(display);
        Access::updateAt(display, start + std::chrono::seconds(second), 0, 1, "a");
        changes.push_back(Access::currentFact(display) != before);
    }
    EXPECT_EQ(changes, (std::vector<bool>{false, true, false, true, false}));
}

TEST(ProgressDisplay, IntervalRestartsEvenWhenNoOtherSentenceExists) {
    CapturedOutput capture;
    ProgressDisplay display;
    Access::setFacts(display, {"Only one."});
    const auto start = std::chrono::steady_clock::time_point{} + std::chrono::hours(1);
    Access::setLastFactChange(display, start);
    Access::updateAt(display, start + std::chrono::seconds(7), 0, 1, "a");
    EXPECT_EQ(Access::currentFact(display), 0u);
    EXPECT_EQ(Access::lastFactChange(display), start + std::chrono::seconds(7));
    EXPECT_EQ(lastTriviaLine(capture.out()), "Fact: Only one.");
}

TEST(ProgressDisplay, ADisplayNeverUpdatedStillRestoresTheTerminal) {
    {
        CapturedOutput capture;
        { ProgressDisplay display; }
        EXPECT_EQ(capture.out(), kHideAndRoom + teardownBytes(24));
    }

    const auto result = runOnTerminal(30, 100, [] { ProgressDisplay display; });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kHideAndRoom + teardownBytes(30));
}

// SIGINT, SIGTERM and SIGHUP erase the rows of the size at that moment and show the cursor
// as the teardown does, then end the process by the same signal.
TEST(ProgressDisplay, AnEndingSignalRestoresTheTerminalThenEndsTheProcessByIt) {
    const std::string fact = "Fact: A byte normally contains eight bits.";
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        const auto result = runOnTerminal(24, 80, [signal] {
            ProgressDisplay display;
            Access::setCurrentFact(display, kByteFact);
            display.update(1, 2, "a");
            winsize window{};
            window.ws_row = 40;
            window.ws_col = 60;
            ioctl(STDOUT_FILENO, TIOCSWINSZ, &window);
            std::raise(signal);
        });
        EXPECT_EQ(result.status, 128 + signal);
        EXPECT_EQ(result.out, kHideAndRoom + drawing(24, "[###############---------------] 50%  a", fact) +
                                  teardownBytes(40))
            << signal;
    }

    // Ignored from the start, as under nohup, a signal stays ignored; once the display is
    // gone, the others act as before it.
    const auto result = runOnTerminal(30, 100, [] {
        std::signal(SIGHUP, SIG_IGN);
        {
            ProgressDisplay display;
            std::raise(SIGHUP);
        }
        std::raise(SIGTERM);
    });
    EXPECT_EQ(result.status, 128 + SIGTERM);
    EXPECT_EQ(result.out, kHideAndRoom + teardownBytes(30));
}

TEST(ProgressDisplay, AnExceptionPassingThroughStillRestoresTheTerminal) {
    CapturedOutput capture;
    try {
        ProgressDisplay display;
        display.update(0, 10, "Packing: a");
        capture.clear();
        throw std::runtime_error("Archive path is too long.");
    } catch (const std::runtime_error&) {
    }
    EXPECT_EQ(capture.out(), teardownBytes(24));
}

// Drives a display the way pack does and checks what a terminal receives.
TEST(ProgressDisplay, PackLikeRunDrawsOnTheBottomRowsAndLeavesThemClean) {
    const auto result = runOnTerminal(30, 100, [] {
        std::cout << "Packing \"tree\"\n";
        {
            ProgressDisplay display;
            const std::uint64_t total = 3 * 1048576 + 10;
            display.update(0, total, "Preparing archive...");
            std::uint64_t done = 0;
            for (const char* name : {"a.bin", "b.bin", "c.bin"}) {
                done += 1048576;
                display.update(done, total, std::string("Packing: ") + name);
            }
            display.update(total, total, "Archive complete");
        }
        std::cout << "Files: 3\n";
    });
    ASSERT_EQ(result.status, 0);
    const std::string& out = result.out;

    EXPECT_EQ(testing_support::withoutStatusArea(out), "Packing \"tree\"\nFiles: 3\n");
    EXPECT_EQ(
        testing_support::progressLines(out),
        (std::vector<std::string>{"[------------------------------] 0%  Preparing archive...",
                                  "[#########---------------------] 33%  Packing: a.bin",
                                  "[###################-----------] 66%  Packing: b.bin",
                                  "[#############################-] 99%  Packing: c.bin",
                                  "[##############################] 100%  Archive complete"}));
    EXPECT_EQ(out.find(kHideAndRoom), std::string("Packing \"tree\"\n").size());
    EXPECT_NE(out.find(teardownBytes(30) + "Files: 3\n"), std::string::npos);

    // Every drawing goes to rows 29 and 30 and puts the cursor back.
    std::size_t drawings = 0;
    for (std::size_t at = out.find("\x1b[s"); at != std::string::npos;
         at = out.find("\x1b[s", at + 1)) {
        const std::string start = "\x1b[s\x1b[29;1H\x1b[2K";
        EXPECT_EQ(out.compare(at, start.size(), start), 0) << at;
        EXPECT_NE(out.find("\x1b[30;1H\x1b[2K", at), std::string::npos);
        ++drawings;
    }
    EXPECT_EQ(drawings, 6u);  // five drawings and the teardown
}

}  // namespace

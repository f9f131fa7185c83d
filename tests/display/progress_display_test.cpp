#include "display/progress_display.h"

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "display/trivia.h"
#include "display_test_support.h"
#include "support/test_support.h"

namespace {

using display_testing::isFactLine;
using display_testing::runOnTerminal;
using display_testing::teardownBytes;
using testing_support::CapturedOutput;
using Clock = std::chrono::steady_clock;
using std::chrono::nanoseconds;
using std::chrono::seconds;

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

// The trivia line of the last drawing: the sentence on show, as drawn.
std::string lastFactLine(const std::string& out) {
    const std::size_t from = out.rfind("\x1b[2KFact: ");
    if (from == std::string::npos) return "<no drawing>";
    const std::size_t begin = from + 4;  // past the erasing of the row
    return out.substr(begin, out.find("\x1b[u", begin) - begin);
}

TEST(ProgressDisplay, RedirectedOutputGetsTheFallbackAreaByteForByte) {
    const testing_support::CapturedStream err;
    CapturedOutput capture;
    EXPECT_EQ(queryTerminalSize().rows, 24);
    EXPECT_EQ(queryTerminalSize().columns, 80);
    {
        ProgressDisplay display;
        EXPECT_EQ(capture.text(), kHideAndRoom);  // nothing drawn before the first report
        display.update(0, 0, "Preparing archive...");
        const std::string fact = lastFactLine(capture.text());
        EXPECT_TRUE(isFactLine(fact, 80)) << fact;
        EXPECT_EQ(capture.text(),
                  kHideAndRoom + drawing(24, "[------------------------------] 0%  Preparing archive...",
                                         fact));
        capture.clear();
    }
    EXPECT_EQ(capture.text(), "\x1b[s\x1b[23;1H\x1b[2K\x1b[24;1H\x1b[2K\x1b[u\x1b[?25h");
    EXPECT_EQ(err.text(), "");
}

// Lines are cut in bytes, not characters, so a cut may fall inside a UTF-8 character. The
// sentence is the display's own pick: its line must be one of the table, cut alike.
TEST(ProgressDisplay, WorkedExamplesOnTerminalsOfEverySize) {
    struct Row {
        std::uint16_t rows, columns;  // as the terminal reports them
        std::uint64_t done, total;
        std::string label;
        unsigned drawnRows, drawnColumns;
        std::string progressLine;
    };
    const std::string empty = "[------------------------------] 0%  ";
    std::string accents;  // 22 two-byte characters
    for (int i = 0; i < 22; ++i) accents += "\xc3\xa9";
    const std::vector<Row> table = {
        {24, 80, 1, 3, "Verified: 000001.zst", 24, 80,
         "[##########--------------------] 33%  Verified: 000001.zst"},
        {24, 80, 2, 3, "Verified: 000002.zst", 24, 80,
         "[####################----------] 66%  Verified: 000002.zst"},
        {30, 40, 1, 3, "Packing: photos/2019/holiday/beach.jpg", 30, 40,
         "[#####----------] 33%  Packing: phot..."},
        {1, 10, 0, 5, "Packing: a", 3, 20, "[---------------..."},
        {24, 79, 1, 3, "Verified: 000001.zst", 24, 79, "[#####----------] 33%  Verified: 000001.zst"},
        {30, 0, 1, 3, "Verified: 000001.zst", 24, 80,
         "[##########--------------------] 33%  Verified: 000001.zst"},
        {0, 120, 1, 3, "Verified: 000001.zst", 24, 80,
         "[##########--------------------] 33%  Verified: 000001.zst"},
        {120, 200, 3, 3, "Archive complete", 120, 200,
         "[##############################] 100%  Archive complete"},
        {25, 19, 3, 3, "x", 25, 20, "[###############..."},
        {24, 80, 0, 1, std::string(42, 'x'), 24, 80, empty + std::string(42, 'x')},
        {24, 80, 0, 1, std::string(43, 'x'), 24, 80, empty + std::string(39, 'x') + "..."},
        {24, 80, 0, 1, accents, 24, 80, empty + accents.substr(0, 39) + "..."},
    };
    for (const Row& row : table) {
        const auto result = runOnTerminal(row.rows, row.columns, [&row] {
            ProgressDisplay display;
            display.update(row.done, row.total, row.label);
        });
        EXPECT_EQ(result.status, 0);
        const std::string fact = lastFactLine(result.out);
        EXPECT_TRUE(isFactLine(fact, row.drawnColumns)) << fact;
        EXPECT_EQ(result.out, kHideAndRoom + drawing(row.drawnRows, row.progressLine, fact) +
                                  teardownBytes(row.drawnRows))
            << row.rows << "x" << row.columns;
    }
}

TEST(ProgressDisplay, EachDrawingAndTheTeardownUseTheSizeOfThatMoment) {
    const auto result = runOnTerminal(24, 80, [] {
        ProgressDisplay display;
        display.update(0, 2, "a");
        winsize window{};
        window.ws_row = 40;
        window.ws_col = 79;  // a narrower bar; every sentence still fits
        ioctl(STDOUT_FILENO, TIOCSWINSZ, &window);
        display.update(1, 2, "b");
    });
    EXPECT_EQ(result.status, 0);
    const std::string fact = lastFactLine(result.out);
    EXPECT_TRUE(isFactLine(fact, 80)) << fact;
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
        EXPECT_EQ(lastProgressLine(capture.text()), row.expected) << row.done << " of " << row.total;
    }
    display.update(0, 0, "Archive complete");
    EXPECT_EQ(lastProgressLine(capture.text()),
              "[------------------------------] 0%  Archive complete");
}

TEST(ProgressDisplay, LabelIsWrittenAsGiven) {
    CapturedOutput capture;
    ProgressDisplay display;
    const std::string label = std::string("Packing: a\nb\x1b[31mc\td") + '\0' + "e";
    display.update(0, 1, label);
    EXPECT_EQ(lastProgressLine(capture.text()), "[------------------------------] 0%  " + label);
}

// The bytes of each write system call on descriptor 1 in a trace of strace -xx, which
// shows every byte as \xHH.
std::vector<std::string> writesToStandardOutput(const std::string& trace) {
    std::vector<std::string> writes;
    std::istringstream lines(trace);
    const std::string start = "write(1, \"";
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind(start, 0) != 0) continue;
        std::string bytes;
        for (std::size_t at = start.size(); line.compare(at, 2, "\\x") == 0; at += 4) {
            bytes += static_cast<char>(std::stoi(line.substr(at + 2, 2), nullptr, 16));
        }
        writes.push_back(bytes);
    }
    return writes;
}

// Standard output's buffer on a terminal holds 1,024 bytes: a drawing on 1,500 columns is
// longer, and must still reach the terminal in one write system call, never cut. Counted
// with strace on the real program packing a file with a long path.
TEST(ProgressDisplay, EachDrawingReachesTheTerminalInOneWriteSystemCallAtAnyWidth) {
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) {
        GTEST_SKIP() << "strace is not installed or may not trace here";
    }
    const testing_support::TempDir dir;
    std::filesystem::path folder = dir / "src";
    for (char name = 'a'; name < 'h'; ++name) folder /= std::string(200, name);
    testing_support::writeFile(folder / "f.bin", "data");
    const std::string trace = (dir / "trace").string();
    const std::string hlg = testing_support::hlgBinary();
    const std::string src = (dir / "src").string(), archive = (dir / "out").string();
    const auto result = runOnTerminal(24, 1500, [&] {
        // A sanitized build's leak check cannot run under ptrace; the other runs make it.
        setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
        execlp("strace", "strace", "-o", trace.c_str(), "-e", "trace=write", "-e", "signal=none",
               "-xx", "-s", "100000", hlg.c_str(), "pack", src.c_str(), archive.c_str(), nullptr);
        _exit(127);
    });
    ASSERT_EQ(result.status, 0) << result.out;

    const std::vector<std::string> writes = writesToStandardOutput(testing_support::readFile(trace));
    std::string joined;
    std::size_t whole = 0, longest = 0;
    for (const std::string& bytes : writes) {
        joined += bytes;
        if (bytes.find('\x1b') == std::string::npos) continue;  // the command's own text
        // Each drawing, and the erasing of the teardown, runs from "save" to "restore".
        const bool drawing = bytes.rfind("\x1b[s", 0) == 0 && bytes.find("\x1b[s", 1) == std::string::npos &&
                             bytes.compare(bytes.size() - 3, 3, "\x1b[u") == 0;
        EXPECT_TRUE(drawing || bytes == kHideAndRoom || bytes == "\x1b[?25h")
            << testing::PrintToString(bytes);
        if (drawing) ++whole;
        if (drawing) longest = std::max(longest, bytes.size());
    }
    EXPECT_EQ(joined, result.out);
    EXPECT_GT(longest, 1500u);
    EXPECT_EQ(whole, testing_support::progressLines(result.out).size() + 1);
}

// Moments are chosen from one read before the display was made, so they are never later
// than the real ones of the construction.
TEST(ProgressDisplay, SentenceRotatesAtTheFirstReportFiveSecondsAfterTheLastChange) {
    CapturedOutput capture;
    const Clock::time_point start = Clock::now();
    ProgressDisplay display;
    const auto shownAt = [&](Clock::time_point now) {
        display.updateAt(now, 0, 1, "a");
        return lastFactLine(capture.text());
    };
    const std::string first = shownAt(start);
    EXPECT_EQ(shownAt(start + std::chrono::milliseconds(4900)), first);
    EXPECT_EQ(shownAt(start + nanoseconds(4999999999)), first);
    // The report that changes the sentence already draws the new one.
    const Clock::time_point changed = start + seconds(6);
    const std::string second = shownAt(changed);
    EXPECT_NE(second, first);

    // The interval restarts from the report that made the change; 5 s count as elapsed.
    EXPECT_EQ(shownAt(changed + nanoseconds(4999999999)), second);
    const std::string third = shownAt(changed + nanoseconds(5000000000));
    EXPECT_NE(third, second);

    // A clock that seems to go back changes nothing.
    EXPECT_EQ(shownAt(start), third);
}

TEST(ProgressDisplay, ReportsEveryThreeSecondsChangeTheSentenceEverySixSeconds) {
    CapturedOutput capture;
    const Clock::time_point start = Clock::now();
    ProgressDisplay display;
    std::vector<bool> changes;
    std::string before;
    for (int second = 0; second <= 21; second += 3) {
        display.updateAt(start + seconds(second), 0, 1, "a");
        const std::string shown = lastFactLine(capture.text());
        if (second > 0) changes.push_back(shown != before);
        before = shown;
    }
    EXPECT_EQ(changes, (std::vector<bool>{false, true, false, true, false, true, false}));
}

TEST(PickNextFact, FirstSentenceIsNeverEntryZeroAndDiffersBetweenDisplays) {
    CapturedOutput capture;
    std::set<std::string> firsts;
    for (int i = 0; i < 1000; ++i) {
        capture.clear();
        ProgressDisplay display;
        display.update(0, 1, "a");
        const std::string first = lastFactLine(capture.text());
        ASSERT_TRUE(isFactLine(first, 80)) << first;
        ASSERT_NE(first, std::string("Fact: ") + triviaFacts[0]);
        firsts.insert(first);
    }
    // Seeded afresh from the random device for every display, not from a fixed seed.
    EXPECT_GT(firsts.size(), 40u);
}

TEST(PickNextFact, EveryRotationShowsAnotherSentenceAndReachesEveryEntry) {
    CapturedOutput capture;
    const Clock::time_point start = Clock::now();
    ProgressDisplay display;
    display.updateAt(start, 0, 1, "a");
    std::string previous = lastFactLine(capture.text());
    std::map<std::string, int> counts;
    // The first report is more than 5 s after the construction, each later one exactly 5 s
    // after the one before.
    for (int i = 1; i <= 20000; ++i) {
        capture.clear();
        display.updateAt(start + seconds(1 + 5 * i), 0, 1, "a");
        const std::string current = lastFactLine(capture.text());
        ASSERT_NE(current, previous);
        ++counts[current];
        previous = current;
    }
    // 20000 picks over 58 entries: about 345 each; entry 0 comes at later picks.
    ASSERT_EQ(counts.size(), kTriviaFactCount);
    for (const auto& [line, count] : counts) {
        EXPECT_TRUE(isFactLine(line, 80)) << line;
        EXPECT_GT(count, 200) << line;
        EXPECT_LT(count, 500) << line;
    }
}

TEST(ProgressDisplay, ADisplayNeverUpdatedStillRestoresTheTerminal) {
    {
        CapturedOutput capture;
        { ProgressDisplay display; }
        EXPECT_EQ(capture.text(), kHideAndRoom + teardownBytes(24));
    }

    const auto result = runOnTerminal(30, 100, [] { ProgressDisplay display; });
    EXPECT_EQ(result.status, 0);
    EXPECT_EQ(result.out, kHideAndRoom + teardownBytes(30));
}

// Draws "a" at half way, then the terminal takes a new size.
void drawHalfThenResize(ProgressDisplay& display, unsigned short rows, unsigned short columns) {
    display.update(1, 2, "a");
    winsize window{};
    window.ws_row = rows;
    window.ws_col = columns;
    ioctl(STDOUT_FILENO, TIOCSWINSZ, &window);
}

// SIGINT, SIGQUIT, SIGTERM and SIGHUP erase the rows of the size at that moment and show the
// cursor as the teardown does, then end the process by the same signal.
TEST(ProgressDisplay, AnEndingSignalRestoresTheTerminalThenEndsTheProcessByIt) {
    for (const int signal : {SIGINT, SIGQUIT, SIGTERM, SIGHUP}) {
        const auto result = runOnTerminal(24, 80, [signal] {
            const rlimit noCore{0, 0};  // SIGQUIT would dump one
            setrlimit(RLIMIT_CORE, &noCore);
            ProgressDisplay display;
            drawHalfThenResize(display, 40, 60);
            std::raise(signal);
        });
        EXPECT_EQ(result.status, 128 + signal);
        const std::string fact = lastFactLine(result.out);
        EXPECT_TRUE(isFactLine(fact, 80)) << fact;
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

// Ctrl-Z erases the rows of the size at that moment and shows the cursor, then stops; the
// next drawing makes room again below what the shell wrote meanwhile. On the test's
// terminal the process is alone in its session, so the stop itself is dropped.
TEST(ProgressDisplay, CtrlZRestoresTheTerminalAndTheNextDrawingMakesRoomAgain) {
    const auto result = runOnTerminal(24, 80, [] {
        ProgressDisplay display;
        drawHalfThenResize(display, 40, 79);
        std::raise(SIGTSTP);
        display.update(2, 2, "b");
        display.update(2, 2, "c");
    });
    // Ended after a stop with no drawing since, it leaves the rows to what is there now.
    const auto ended = runOnTerminal(24, 80, [] {
        ProgressDisplay display;
        std::raise(SIGTSTP);
    });
    EXPECT_EQ(ended.out, kHideAndRoom + teardownBytes(24) + "\x1b[?25h");
    EXPECT_EQ(result.status, 0);
    const std::string fact = lastFactLine(result.out);
    EXPECT_EQ(result.out, kHideAndRoom + drawing(24, "[###############---------------] 50%  a", fact) +
                              teardownBytes(40) + kHideAndRoom +
                              drawing(40, "[###############] 100%  b", fact) +
                              drawing(40, "[###############] 100%  c", fact) + teardownBytes(40));
}

// A message on standard error takes the area off the screen before it, as the teardown
// would; after it no signal erases the rows, a drawing makes room again below it, and the
// teardown erases nothing after the last message.
TEST(ProgressDisplay, AMessageOnStandardErrorErasesTheRowsBeforeItNeverAfter) {
    const auto result = runOnTerminal(24, 80, [] {
        ProgressDisplay display;
        display.update(1, 2, "a");
        std::cerr << "first\n" << "second\n";
        std::raise(SIGTSTP);
        display.update(2, 2, "b");
        std::cerr << "third\n";
        std::raise(SIGINT);
    });
    EXPECT_EQ(result.status, 128 + SIGINT);
    const std::string fact = lastFactLine(result.out);
    EXPECT_EQ(result.out, kHideAndRoom + drawing(24, "[###############---------------] 50%  a", fact) +
                              teardownBytes(24) + "first\nsecond\n" + kHideAndRoom +
                              drawing(24, "[##############################] 100%  b", fact) +
                              teardownBytes(24) + "third\n");
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
    EXPECT_EQ(capture.text(), teardownBytes(24));
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

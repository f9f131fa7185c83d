// The status area as a user sees it: the real program in a shell inside tmux, at 80x24
// and at 40x12, the screen read with capture-pane. No timing is guessed: the program is
// held at a known step by a fanotify permission gate on the file it is about to open, the
// screen is read while it waits there, and then it is let go. Afterwards the screen must
// read as the transcript of the session: command, answers, summaries, the next prompt.
// Names that hold terminal controls show them escaped, and change neither the screen nor
// the pane's title; Ctrl-C leaves the screen as the end of a run does, and Ctrl-Z leaves it
// to the shell until fg.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/fanotify.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>
#include <tuple>

#include "display_test_support.h"
#include "support/test_support.h"

using namespace testing_support;
using display_testing::fitted;
using display_testing::isFactLine;
namespace fs = std::filesystem;

namespace {

std::string shellQuoted(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) quoted += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return quoted + "'";
}

// Runs a shell command and returns what it printed; the status is 0 or the test fails.
std::string commandOutput(const std::string& command) {
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) throw std::runtime_error("popen failed");
    std::string text;
    char block[4096];
    for (std::size_t n; (n = fread(block, 1, sizeof block, pipe)) > 0;) text.append(block, n);
    const int status = pclose(pipe);
    if (status != 0) throw std::runtime_error(command + " failed: " + text);
    return text;
}

bool tmuxAvailable() { return std::system("tmux -V >/dev/null 2>&1") == 0; }

std::string rightTrimmed(std::string text) {
    while (!text.empty() && text.back() == ' ') text.pop_back();
    return text;
}

using Screen = std::vector<std::string>;

std::string shown(const Screen& screen) {
    std::string text;
    for (std::size_t i = 0; i < screen.size(); ++i) text += std::to_string(i + 1) + "|" + screen[i] + "\n";
    return text;
}

// A private tmux server with one pane running a plain shell in `folder`, whose PATH finds
// the hlg under test first. Killed with everything in it when the test ends.
class TmuxSession {
public:
    TmuxSession(int columns, int rows, const fs::path& folder) : rows_(rows) {
        static int counter = 0;
        tmux_ = "tmux -L hlg-test-" + std::to_string(getpid()) + "-" + std::to_string(++counter) +
                " -f /dev/null";
        const std::string shell = "env -i PATH=" + fs::path(hlgBinary()).parent_path().string() +
                                  ":/usr/bin:/bin TERM=screen HOME=" + folder.string() + " PS1='$ ' sh";
        commandOutput(tmux_ + " new-session -d -s main -x " + std::to_string(columns) + " -y " +
                      std::to_string(rows) + " -c " + shellQuoted(folder.string()) + " " +
                      shellQuoted(shell));
    }
    ~TmuxSession() { std::system((tmux_ + " kill-server >/dev/null 2>&1").c_str()); }
    TmuxSession(const TmuxSession&) = delete;
    TmuxSession& operator=(const TmuxSession&) = delete;

    Screen screen() const {
        std::istringstream text(commandOutput(tmux_ + " capture-pane -p -t main"));
        Screen rows;
        for (std::string line; std::getline(text, line);) rows.push_back(rightTrimmed(line));
        rows.resize(static_cast<std::size_t>(rows_));
        return rows;
    }
    bool cursorVisible() const {
        return commandOutput(tmux_ + " display -p -t main '#{cursor_flag}'") == "1\n";
    }
    std::string paneTitle() const { return commandOutput(tmux_ + " display -p -t main '#{pane_title}'"); }
    // Presses a key by its tmux name, such as "C-c".
    void press(const std::string& key) const { commandOutput(tmux_ + " send-keys -t main " + key); }
    // Types the text, then Enter, as a user would.
    void typeLine(const std::string& text) const {
        commandOutput(tmux_ + " send-keys -t main -l " + shellQuoted(text));
        commandOutput(tmux_ + " send-keys -t main Enter");
    }
    // Reads the screen every few milliseconds until `done` holds for it; returns the last
    // screen read, and the caller's expectations then tell what went wrong if it never did.
    Screen waitFor(const std::function<bool(const Screen&)>& done) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        Screen now = screen();
        while (!done(now) && std::chrono::steady_clock::now() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            now = screen();
        }
        return now;
    }

private:
    std::string tmux_;
    int rows_;
};

// Holds every open of one file until it is let go, so that the program can be stopped at
// a known step while its status area is on the screen.
class OpenGate {
public:
    explicit OpenGate(const fs::path& file)
        : fd_(fanotify_init(FAN_CLASS_CONTENT | FAN_CLOEXEC, O_RDONLY | O_LARGEFILE)) {
        if (fd_ >= 0 && fanotify_mark(fd_, FAN_MARK_ADD, FAN_OPEN_PERM, AT_FDCWD, file.c_str()) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~OpenGate() {
        letGo();
        if (fd_ >= 0) close(fd_);
    }
    OpenGate(const OpenGate&) = delete;
    OpenGate& operator=(const OpenGate&) = delete;

    bool usable() const { return fd_ >= 0; }
    // The process held by the last awaitOpen.
    int heldProcess() const { return heldProcess_; }

    // True once some process is held opening the file.
    bool awaitOpen() {
        pollfd ready{fd_, POLLIN, 0};
        if (poll(&ready, 1, 60000) != 1) return false;
        alignas(fanotify_event_metadata) char buffer[4096];
        const ssize_t length = read(fd_, buffer, sizeof buffer);
        auto* event = reinterpret_cast<fanotify_event_metadata*>(buffer);
        for (ssize_t left = length; FAN_EVENT_OK(event, left); event = FAN_EVENT_NEXT(event, left)) {
            held_.push_back(event->fd);
            heldProcess_ = event->pid;
        }
        return !held_.empty();
    }
    void letGo() {
        for (int held : held_) {
            const fanotify_response response{held, FAN_ALLOW};
            if (write(fd_, &response, sizeof response) < 0) ADD_FAILURE() << "could not let the open go";
            close(held);
        }
        held_.clear();
    }

private:
    int fd_;
    std::vector<int> held_;
    int heldProcess_ = -1;
};

// Waits until `signal` is pending for the process, or the process has ended (when the wait
// of a held open is interrupted, the signal is taken at once).
void awaitPendingSignal(int pid, int signal) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (std::chrono::steady_clock::now() < deadline) {
        std::ifstream status("/proc/" + std::to_string(pid) + "/status");
        bool pending = !status, ended = false;
        for (std::string line; std::getline(status, line);) {
            if (line.rfind("State:\tZ", 0) == 0) ended = true;
            if (line.rfind("ShdPnd:", 0) == 0 || line.rfind("SigPnd:", 0) == 0) {
                pending = pending || (std::stoull(line.substr(7), nullptr, 16) >> (signal - 1) & 1) != 0;
            }
        }
        if (pending || ended) return;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ADD_FAILURE() << "signal " << signal << " never reached process " << pid;
}

// The screen a user expects from a transcript (what was typed and what was written, as
// text): lines wrap at the width, and only the last rows stay in view.
Screen screenOf(const std::string& transcript, std::size_t columns, std::size_t rows) {
    Screen screen;
    std::istringstream text(transcript);
    for (std::string line; std::getline(text, line);) {
        if (line.empty()) screen.push_back("");
        for (std::size_t at = 0; at < line.size(); at += columns) screen.push_back(rightTrimmed(line.substr(at, columns)));
    }
    if (!transcript.empty() && transcript.back() == '\n') screen.push_back("");
    if (screen.size() > rows) screen.erase(screen.begin(), screen.end() - static_cast<std::ptrdiff_t>(rows));
    screen.resize(rows);
    return screen;
}

std::string progressRow(int percent, const std::string& label, std::size_t columns) {
    const std::size_t width = columns < 80 ? 15 : 30;
    const std::size_t filled = width * static_cast<std::size_t>(percent) / 100;
    return fitted("[" + std::string(filled, '#') + std::string(width - filled, '-') + "] " +
                      std::to_string(percent) + "%  " + label,
                  columns);
}

// The status area is on the two bottom rows, the cursor is hidden, and the rows above
// still hold the transcript so far: the area made room for itself below it, scrolling a
// full screen up by two rows.
void expectStatusArea(const TmuxSession& tmux, const std::string& transcript, int percent,
                      const std::string& label, std::size_t columns, std::size_t rows) {
    const Screen before = screenOf(transcript + "\n\n", columns, rows);
    const std::string progress = progressRow(percent, label, columns);
    const Screen screen = tmux.waitFor([&](const Screen& s) {
        return s[s.size() - 2] == progress && isFactLine(s.back(), columns);
    });
    SCOPED_TRACE("screen:\n" + shown(screen));
    EXPECT_EQ(screen[screen.size() - 2], progress);
    EXPECT_TRUE(isFactLine(screen.back(), columns)) << screen.back();
    EXPECT_EQ(Screen(screen.begin(), screen.end() - 2), Screen(before.begin(), before.end() - 2));
    EXPECT_FALSE(tmux.cursorVisible());
}

void expectNoStatusArea(const TmuxSession& tmux, const Screen& screen) {
    for (const std::string& row : screen) {
        EXPECT_EQ(row.rfind("Fact: ", 0), std::string::npos) << "status area left on screen";
        EXPECT_FALSE(row.rfind("[#", 0) == 0 || row.rfind("[-", 0) == 0) << "status area left on screen";
    }
    EXPECT_TRUE(tmux.cursorVisible());
}

// Waits for the next prompt below the last summary line, then compares the whole screen
// (or its last `tailRows` rows) with the transcript; the status rows are gone and the
// cursor is shown again.
void expectFinalScreen(const TmuxSession& tmux, const std::string& transcript, std::size_t columns,
                       std::size_t rows, std::size_t tailRows) {
    const auto tail = [tailRows](const Screen& s) { return Screen(s.end() - static_cast<std::ptrdiff_t>(tailRows), s.end()); };
    const Screen expected = screenOf(transcript, columns, rows);
    const Screen screen = tmux.waitFor([&](const Screen& s) { return tail(s) == tail(expected); });
    SCOPED_TRACE("screen:\n" + shown(screen));
    EXPECT_EQ(tail(screen), tail(expected));
    expectNoStatusArea(tmux, screen);
}

struct Geometry {
    std::size_t columns;
    std::size_t rows;
};

const Geometry kGeometries[] = {{80, 24}, {40, 12}};

// Fills the screen, as after some work, so that the next command is typed on the last row;
// returns the transcript so far.
std::string fillScreen(const TmuxSession& tmux, const Geometry& g) {
    tmux.waitFor([](const Screen& s) { return s[0] == "$"; });
    const std::string fill = "seq 1 " + std::to_string(g.rows);
    tmux.typeLine(fill);
    std::string transcript = "$ " + fill + "\n";
    for (std::size_t i = 1; i <= g.rows; ++i) transcript += std::to_string(i) + "\n";
    transcript += "$ ";
    tmux.waitFor([&](const Screen& s) { return s == screenOf(transcript, g.columns, g.rows); });
    return transcript;
}

class TerminalSession : public testing::Test {
protected:
    void SetUp() override {
        if (!tmuxAvailable()) GTEST_SKIP() << "tmux is not installed";
        OpenGate probe(dir_.path());
        if (!probe.usable())
            GTEST_SKIP() << "fanotify permission events are not available (they need root)";
    }
    TempDir dir_;
};

// What pack prints after its area for two files in one chunk, from the empty line on.
std::string packSummary(const fs::path& folder, const std::string& archive, std::uint64_t original) {
    std::uint64_t archiveSize = 0;
    for (const auto& entry : fs::directory_iterator(folder / archive)) archiveSize += entry.file_size();
    char ratio[32];
    std::snprintf(ratio, sizeof ratio, "%.2f", static_cast<double>(archiveSize) / static_cast<double>(original) * 100.0);
    return "\nArchive created: \"" + archive + "\"\nFiles packed: 2\nChunks created: 1\nOriginal size: " +
           std::to_string(original) + " bytes\nArchive size: " + std::to_string(archiveSize) +
           " bytes\nSize ratio: " + ratio + "%\n\nRecommended next step:\n  ./build/hlg verify \"" + archive + "\"\n";
}

// The command is typed on the last row of a full screen: the area must not cover it, and
// it must still be there after the run. The first file's name holds "ESC [2J" (clear the
// screen) and a line feed.
TEST_F(TerminalSession, PackShowsTheAreaThenItsSummaryBelowTheCommand) {
    for (const Geometry& g : kGeometries) {
        SCOPED_TRACE(std::to_string(g.columns) + "x" + std::to_string(g.rows));
        const fs::path folder = dir_ / ("pack" + std::to_string(g.columns));
        writeFile(folder / "src/a\x1b[2J\nb.bin", noise(1572864));
        writeFile(folder / "src/b.bin", noise(1572864));
        TmuxSession tmux(static_cast<int>(g.columns), static_cast<int>(g.rows), folder);
        std::string transcript = fillScreen(tmux, g);
        OpenGate gate(folder / "src/b.bin");
        ASSERT_TRUE(gate.usable());
        tmux.typeLine("hlg pack src out");
        transcript += "hlg pack src out\n";

        // Held opening the second file: the first one is packed, half of all bytes.
        ASSERT_TRUE(gate.awaitOpen());
        expectStatusArea(tmux, transcript, 50, "Packing: a\\x1b[2J\\x0ab.bin", g.columns, g.rows);
        gate.letGo();

        tmux.waitFor([](const Screen& s) {
            return std::find(s.begin(), s.end(), "  ./build/hlg verify \"out.hlg\"") != s.end();
        });
        transcript += packSummary(folder, "out.hlg", 3145728) + "$ ";
        expectFinalScreen(tmux, transcript, g.columns, g.rows, g.rows);
    }
}

// What sets a terminal's title: "ESC ] 2 ; PWNED BEL", and how it is shown escaped.
const std::string kTitle = "\x1b]2;PWNED\x07";
const std::string kTitleShown = "\\x1b]2;PWNED\\x07";

// Two chunks: "docs" with a.txt (5 bytes), then a chunk named after the title sequence
// with a file named so too (3 bytes) and b.txt (15 bytes); no marker.
void writeTwoChunkArchive(const fs::path& archive) {
    writeTestArchive(archive, 23, 3,
                     {{"000001.zst", {recordBytes(1, "docs", 0), recordBytes(0, "docs/a.txt", 5, "hello")}},
                      {kTitle + ".zst", {recordBytes(0, kTitle + ".txt", 3, "abc"),
                                         recordBytes(0, "b.txt", 15, "fifteen bytes!\n")}}},
                     false);
}

const std::string kVerifySummary =
    "\nVerification successful.\nChunks verified: 2\nFiles verified: 3\nBytes verified: 23\n"
    "Archive is safe to extract.\n";

TEST_F(TerminalSession, VerifyShowsTheAreaThenItsSummaryBelowTheCommand) {
    for (const Geometry& g : kGeometries) {
        SCOPED_TRACE(std::to_string(g.columns) + "x" + std::to_string(g.rows));
        const fs::path folder = dir_ / ("verify" + std::to_string(g.columns));
        writeTwoChunkArchive(folder / "a.hlg");
        TmuxSession tmux(static_cast<int>(g.columns), static_cast<int>(g.rows), folder);
        tmux.waitFor([](const Screen& s) { return s[0] == "$"; });
        const std::string title = tmux.paneTitle();
        OpenGate gate(folder / "a.hlg" / (kTitle + ".zst"));
        ASSERT_TRUE(gate.usable());
        tmux.typeLine("hlg verify a.hlg");

        ASSERT_TRUE(gate.awaitOpen());
        expectStatusArea(tmux, "$ hlg verify a.hlg\n", 50, "Verifying: " + kTitleShown + ".zst", g.columns, g.rows);
        gate.letGo();
        expectFinalScreen(tmux, "$ hlg verify a.hlg\n" + kVerifySummary + "$ ", g.columns, g.rows, g.rows);
        EXPECT_EQ(tmux.paneTitle(), title);
    }
}

TEST_F(TerminalSession, ExtractAsksThenShowsVerifyAndItsOwnAreaThenItsSummary) {
    for (const Geometry& g : kGeometries) {
        SCOPED_TRACE(std::to_string(g.columns) + "x" + std::to_string(g.rows));
        const fs::path folder = dir_ / ("extract" + std::to_string(g.columns));
        writeTwoChunkArchive(folder / "a.hlg");
        // Overwritten by extract; it is there so that its open can be held.
        writeFile(folder / "out/b.txt", "");
        TmuxSession tmux(static_cast<int>(g.columns), static_cast<int>(g.rows), folder);
        tmux.waitFor([](const Screen& s) { return s[0] == "$"; });
        const std::string title = tmux.paneTitle();
        std::string transcript =
            "$ hlg extract a.hlg out\n\nThis archive has not been verified.\n"
            "Extraction consumes and deletes archive chunks.\nVerify it now? [Y/n] ";
        {
            // Gone before the test reads b.txt, which it would otherwise hold itself.
            OpenGate chunkGate(folder / "a.hlg" / (kTitle + ".zst"));
            OpenGate fileGate(folder / "out/b.txt");
            ASSERT_TRUE(chunkGate.usable() && fileGate.usable());
            tmux.typeLine("hlg extract a.hlg out");

            const Screen asking = tmux.waitFor(
                [&](const Screen& s) { return s == screenOf(transcript, g.columns, g.rows); });
            ASSERT_EQ(asking, screenOf(transcript, g.columns, g.rows)) << shown(asking);
            EXPECT_TRUE(tmux.cursorVisible());
            tmux.typeLine("y");
            transcript += "y\n\n";

            // The verification's own area, held before its second chunk.
            ASSERT_TRUE(chunkGate.awaitOpen());
            expectStatusArea(tmux, transcript, 50, "Verifying: " + kTitleShown + ".zst", g.columns, g.rows);
            chunkGate.letGo();

            // Then extract's area, held before its second chunk (5 of 23 bytes restored), and
            // before b.txt, after the file named with the title sequence.
            transcript += kVerifySummary;
            ASSERT_TRUE(chunkGate.awaitOpen());
            expectStatusArea(tmux, transcript, 21, "Decompressing: " + kTitleShown + ".zst", g.columns, g.rows);
            chunkGate.letGo();
            ASSERT_TRUE(fileGate.awaitOpen());
            expectStatusArea(tmux, transcript, 34, "Extracting: " + kTitleShown + ".txt", g.columns, g.rows);
        }

        transcript +=
            "\nExtraction complete.\nFiles expected: 3\nFiles extracted: 3\nChunks consumed: 2\n"
            "Bytes extracted: 23\nArchive deleted: yes\n$ ";
        expectFinalScreen(tmux, transcript, g.columns, g.rows, g.rows);
        EXPECT_EQ(tmux.paneTitle(), title);
        EXPECT_EQ(readFile(folder / "out" / (kTitle + ".txt")), "abc");
        EXPECT_EQ(readFile(folder / "out/b.txt"), "fifteen bytes!\n");
    }
}

// Verify fails while its area is shown, on a full screen: every line of the message, of
// two lines or one wrapped, stays between the command and the next prompt.
TEST_F(TerminalSession, AFailuresMessageStaysOnAFullScreen) {
    const std::string longName = std::string(90, 'x') + ".zst";
    const struct {
        const char* name;
        std::string chunk;
        std::string message;
    } cases[] = {
        {"count", "000001.zst", "Record count mismatch. Expected 1, found 2.\nVerification failed in chunk: 000001.zst\n"},
        {"missing", longName, "Missing chunk: " + longName + "\n"},
    };
    for (const Geometry& g : kGeometries) {
        for (const auto& c : cases) {
            SCOPED_TRACE(std::to_string(g.columns) + "x" + std::to_string(g.rows) + " " + c.name);
            const fs::path archive = dir_ / (c.name + std::to_string(g.columns)) / "a.hlg";
            writeTestArchive(archive, 5, 1, {{c.chunk, {recordBytes(1, "docs", 0), recordBytes(0, "docs/a.txt", 5, "hello")}}},
                             false);
            // The "CHUNK" line counts one record less than the chunk holds, or its file is gone.
            std::string manifest = readFile(archive / "manifest.txt");
            writeFile(archive / "manifest.txt", manifest.replace(manifest.rfind("|2\n"), 3, "|1\n"));
            if (c.chunk == longName) fs::remove(archive / longName);
            TmuxSession tmux(static_cast<int>(g.columns), static_cast<int>(g.rows), archive.parent_path());
            const std::string transcript = fillScreen(tmux, g);
            tmux.typeLine("hlg verify a.hlg");
            expectFinalScreen(tmux, transcript + "hlg verify a.hlg\n" + c.message + "$ ", g.columns, g.rows, g.rows);
        }
    }
}

// Ctrl-C while pack, then extract, is held at a known step: the area goes, the cursor
// comes back, the shell sees 130, and extract has lost nothing: each file is complete or
// still in a chunk that is still there.
TEST_F(TerminalSession, CtrlCLeavesTheScreenAsTheEndOfARunDoes) {
    const fs::path folder = dir_ / "interrupt";
    const std::string a = noise(1572864), b = noise(1048576 + 7), c = noise(1048576 * 2);
    writeFile(folder / "src/a.bin", a);
    writeFile(folder / "src/b.bin", b);
    writeTestArchive(folder / "x.hlg", a.size() + b.size() + c.size(), 3,
                     {{"000001.zst", {recordBytes(0, "a.bin", a.size(), a)}},
                      {"000002.zst", {recordBytes(0, "b.bin", b.size(), b), recordBytes(0, "c.bin", c.size(), c)}}},
                     true);
    writeFile(folder / "out/c.bin", "");
    TmuxSession tmux(80, 24, folder);
    tmux.waitFor([](const Screen& s) { return s[0] == "$"; });
    std::string transcript = "$ ";
    const auto interrupt = [&](OpenGate& gate) {
        tmux.press("C-c");
        awaitPendingSignal(gate.heldProcess(), SIGINT);
        gate.letGo();
        // The terminal echoes "^C" where the cursor stands; the shell starts a new line.
        transcript += "^C\n$ ";
        expectFinalScreen(tmux, transcript, 80, 24, 24);
        tmux.typeLine("echo $?");
        transcript += "echo $?\n130\n$ ";
        expectFinalScreen(tmux, transcript, 80, 24, 24);
    };

    {
        OpenGate gate(folder / "src/b.bin");
        ASSERT_TRUE(gate.usable());
        tmux.typeLine("hlg pack src p");
        transcript += "hlg pack src p\n";
        ASSERT_TRUE(gate.awaitOpen());
        expectStatusArea(tmux, transcript, 59, "Packing: a.bin", 80, 24);
        interrupt(gate);
    }
    {
        // Held opening c.bin, with a.bin restored and its chunk gone, and b.bin restored.
        OpenGate gate(folder / "out/c.bin");
        ASSERT_TRUE(gate.usable());
        tmux.typeLine("hlg extract x.hlg out");
        transcript += "hlg extract x.hlg out\nVerification marker found.\n";
        ASSERT_TRUE(gate.awaitOpen());
        expectStatusArea(tmux, transcript, 55, "Extracting: b.bin", 80, 24);
        interrupt(gate);
    }
    EXPECT_FALSE(fs::exists(folder / "x.hlg/000001.zst"));
    for (const auto& [name, bytes, chunk] : {std::tuple{"a.bin", &a, "000001.zst"},
                                             std::tuple{"b.bin", &b, "000002.zst"},
                                             std::tuple{"c.bin", &c, "000002.zst"}}) {
        EXPECT_TRUE(readFile(folder / "out" / name) == *bytes || fs::exists(folder / "x.hlg" / chunk)) << name;
    }
    EXPECT_TRUE(fs::exists(folder / "x.hlg/000002.zst"));
}

// Ctrl-Z while pack is held at a known step, on a full screen: the area goes and the cursor
// comes back for the shell's job line and prompt; after fg the area makes room again below
// them, and the run ends with its summary under the job line, which nothing covered.
TEST_F(TerminalSession, CtrlZLeavesTheScreenToTheShellAndFgCarriesOn) {
    const fs::path folder = dir_ / "stop";
    writeFile(folder / "src/a.bin", noise(1572864));
    writeFile(folder / "src/b.bin", noise(1572864));
    TmuxSession tmux(80, 24, folder);
    std::string transcript = fillScreen(tmux, {80, 24}) + "hlg pack src out\n";
    Screen stopped;
    {
        OpenGate gate(folder / "src/b.bin");
        ASSERT_TRUE(gate.usable());
        tmux.typeLine("hlg pack src out");
        ASSERT_TRUE(gate.awaitOpen());
        expectStatusArea(tmux, transcript, 50, "Packing: a.bin", 80, 24);
        tmux.press("C-z");
        awaitPendingSignal(gate.heldProcess(), SIGTSTP);
        gate.letGo();
        // The shell's job line where the command's output would go, then its prompt.
        stopped = tmux.waitFor([](const Screen& s) { return s[21].find("Stopped") != std::string::npos && s[22] == "$"; });
    }
    SCOPED_TRACE("stopped:\n" + shown(stopped));
    // The terminal echoes "^Z" where the cursor stands; the shell's words are its own.
    const std::string jobLine = stopped[21];
    EXPECT_EQ(jobLine.rfind("^Z", 0), 0u);
    EXPECT_EQ(stopped, screenOf(transcript + jobLine + "\n$ \n", 80, 24));
    expectNoStatusArea(tmux, stopped);

    tmux.typeLine("fg");
    tmux.waitFor([](const Screen& s) { return s[22] == "  ./build/hlg verify \"out.hlg\""; });
    // The shell echoes the job; the area's room comes below it and goes with the teardown.
    transcript += jobLine + "\n$ fg\nhlg pack src out\n" + packSummary(folder, "out.hlg", 3145728) + "$ ";
    expectFinalScreen(tmux, transcript, 80, 24, 24);
}

}  // namespace

#pragma once
// Helpers for the status-area tests: reach into a display to set its clock and sentence,
// capture what it writes, and run it on a pseudo-terminal of a chosen size.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <streambuf>
#include <string>
#include <utility>
#include <vector>

#include "display/progress_display.h"

class ProgressDisplayTestAccess {
public:
    using TimePoint = std::chrono::steady_clock::time_point;

    static std::size_t currentFact(const ProgressDisplay& display) { return display.currentFact; }
    static void setCurrentFact(ProgressDisplay& display, std::size_t index) {
        display.currentFact = index;
    }
    static const std::vector<std::string>& facts(const ProgressDisplay& display) {
        return display.facts;
    }
    static void setFacts(ProgressDisplay& display, std::vector<std::string> facts) {
        display.facts = std::move(facts);
        display.currentFact = 0;
    }
    static TimePoint lastFactChange(const ProgressDisplay& display) {
        return display.lastFactChange;
    }
    static void setLastFactChange(ProgressDisplay& display, TimePoint when) {
        display.lastFactChange = when;
    }
    static void pickNextFact(ProgressDisplay& display) { display.pickNextFact(); }
    static void updateAt(ProgressDisplay& display, TimePoint now, std::uint64_t done,
                         std::uint64_t total, const std::string& label) {
        display.updateAt(now, done, total, label);
    }
};

namespace display_testing {

// Keeps the bytes written to it and counts the writes and flushes that reach it.
class CountingBuffer : public std::streambuf {
public:
    std::string bytes;
    int writes = 0;
    int flushes = 0;

protected:
    std::streamsize xsputn(const char* data, std::streamsize count) override;
    int_type overflow(int_type c) override;
    int sync() override;
};

// While alive, std::cout and std::cerr write into buffers and descriptor 1 is a file whose
// content is passed on afterwards, so the display sees output redirected to a file (24x80)
// however the tests are run, and the test framework's messages still appear.
class CapturedOutput {
public:
    CapturedOutput();
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    std::string out() const { return outBuffer.bytes; }
    std::string err() const { return errBuffer.str(); }
    // Forgets what was captured so far, counts included.
    void clear();

    CountingBuffer outBuffer;
    std::stringbuf errBuffer;

private:
    std::streambuf* savedOut = nullptr;
    std::streambuf* savedErr = nullptr;
    int savedDescriptor = -1;
    std::FILE* spool = nullptr;
};

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

}  // namespace display_testing

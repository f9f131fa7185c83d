#pragma once
// Helpers for the status-area tests: capture what a display writes, run it on a
// pseudo-terminal of a chosen size, and recognise the trivia line it draws.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <sstream>
#include <streambuf>
#include <string>

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

// A line as the status area draws it on `columns` columns.
std::string fitted(const std::string& line, std::size_t columns);

// Whether `line` is "Fact: " and a trivia sentence, as drawn on `columns` columns.
bool isFactLine(const std::string& line, std::size_t columns);

}  // namespace display_testing

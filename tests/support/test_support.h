#pragma once
// Shared helpers for the tests: temporary folders, files, hand-made records and chunks,
// and running the real build/hlg binary.

#include <cstdint>
#include <filesystem>
#include <iostream>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace testing_support {

// A fresh folder under the system temporary folder, removed with everything in it.
// It is world-searchable so that tests can run the program as an ordinary user.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

void writeFile(const std::filesystem::path& path, const std::string& bytes);
std::string readFile(const std::filesystem::path& path);

// Collects what is written to a standard stream (std::cerr by default) while it lives.
class CapturedStream {
public:
    explicit CapturedStream(std::ostream& stream = std::cerr)
        : stream_(stream), previous_(stream.rdbuf(text_.rdbuf())) {}
    ~CapturedStream() { stream_.rdbuf(previous_); }
    CapturedStream(const CapturedStream&) = delete;
    CapturedStream& operator=(const CapturedStream&) = delete;
    std::string text() const { return text_.str(); }

private:
    std::ostream& stream_;
    std::ostringstream text_;
    std::streambuf* previous_;
};

// A record header whose lengths need not match the bytes after it.
std::string recordHeaderBytes(unsigned char type, std::uint64_t pathLength, std::uint64_t dataLength);
// One record as the archive stores it.
std::string recordBytes(unsigned char type, const std::string& path, std::uint64_t dataLength,
                        const std::string& data = "");
// A whole Zstandard frame of `content`, compressed at level 3.
std::string compressFrame(const std::string& content);
// Decompresses a chunk file made by pack.
std::string decompressFile(const std::filesystem::path& chunkFile);

struct RunOptions {
    std::optional<std::string> stdinText;     // nothing: standard input is /dev/null
    std::filesystem::path workingDirectory;   // empty: the test's own
    bool asNobody = false;                    // run as uid/gid 65534
    std::uint64_t fileSizeLimit = 0;          // RLIMIT_FSIZE in bytes, 0 for none; SIGXFSZ ignored
};

struct RunResult {
    int status = -1;  // exit status, or 128 + signal
    std::string out;
    std::string err;
};

// Path of the hlg binary under test.
std::string hlgBinary();
// Runs hlg with the arguments and captures both output streams and the status.
RunResult runHlg(const std::vector<std::string>& args, const RunOptions& options = {});

// Removes the status area's escape sequences and the lines they draw from captured
// standard output, leaving what a user would read after the command.
std::string withoutStatusArea(const std::string& out);

// The progress lines drawn in captured standard output, in order, as drawn
// ("[####------] 40%  Packing: a.txt"); the trivia lines are left out.
std::vector<std::string> progressLines(const std::string& out);

}  // namespace testing_support

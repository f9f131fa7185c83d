#pragma once
// Shared helpers for the tests: temporary folders, files, hand-made records and chunks,
// and running the real build/hlg binary.

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "format/archive_folder.h"
#include "format/chunk_reader.h"

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
// The path as messages print it: in double quotes, '"' and '\\' escaped.
std::string quoted(const std::filesystem::path& path);
// Bytes that differ with the seed and do not compress to nothing.
std::string noise(std::size_t size, std::uint32_t seed = 0);

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

// While alive, standard output (and standard error too when asked) goes into one file at
// the descriptor level, so that what the streams write and what goes straight to the
// descriptor keep their order. A failing test's messages printed meanwhile are passed on.
class CapturedOutput {
public:
    explicit CapturedOutput(bool withStandardError = false);
    ~CapturedOutput();
    CapturedOutput(const CapturedOutput&) = delete;
    CapturedOutput& operator=(const CapturedOutput&) = delete;

    // What was written since the construction or the last clear.
    std::string text() const;
    void clear();

private:
    int saved[2] = {-1, -1};
    std::FILE* spool = nullptr;
    long from = 0;
};

// A record header whose lengths need not match the bytes after it.
std::string recordHeaderBytes(unsigned char type, std::uint64_t pathLength, std::uint64_t dataLength);
// One record as the archive stores it.
std::string recordBytes(unsigned char type, const std::string& path, std::uint64_t dataLength,
                        const std::string& data = "");
// A whole Zstandard frame of `content`, compressed at level 3, without a checksum: a chunk
// as archives written before checksums hold it.
std::string compressFrame(const std::string& content);
// A level-3 frame with or without the content checksum and the content size in its header.
std::string levelThreeFrame(const std::string& content, bool checksum, bool contentSize);
// The frame with the content checksum, as pack writes chunks now.
std::string checksummedFrame(const std::string& content);
// One raw block of `data` in a frame whose header claims `claimed` bytes of content.
std::string frameClaiming(std::uint64_t claimed, const std::string& data);
// Decompresses a chunk file made by pack.
std::string decompressFile(const std::filesystem::path& chunkFile);

// The folder at `folder`, opened as the commands open an archive folder; not open, after
// the commands' message, when there is none.
ArchiveFolder openFolder(const std::filesystem::path& folder);
// The chunk readers on the file at `chunkPath`, opened in its folder as the commands do.
bool readChunkFile(const std::filesystem::path& chunkPath, std::uint64_t rawSize, ChunkMemory& content);
bool openChunkFile(ChunkStream& stream, const std::filesystem::path& chunkPath, std::uint64_t rawSize);

// One chunk of a hand-made archive: its file name and its records, back to back.
struct ArchiveChunk {
    std::string name;
    std::vector<std::string> records;
};

// Writes each chunk as one Zstandard frame and a manifest that lists them with their true
// sizes and record counts; the ".verified" marker only when asked.
void writeTestArchive(const std::filesystem::path& archive, std::uint64_t totalBytes,
                      std::uint64_t totalFiles, const std::vector<ArchiveChunk>& chunks,
                      bool marker);

// Every entry below `root`, by its path relative to it: folders end in "/" and map to "",
// files map to their bytes (those over 64 MiB to a note of their size), anything else
// (links, pipes) to a note of its type.
std::map<std::string, std::string> treeSnapshot(const std::filesystem::path& root);

struct RunOptions {
    std::optional<std::string> stdinText;     // nothing: standard input is /dev/null
    std::filesystem::path workingDirectory;   // empty: the test's own
    bool asNobody = false;                    // run as uid/gid 65534, from a copy that user can reach
    std::uint64_t fileSizeLimit = 0;          // RLIMIT_FSIZE in bytes, 0 for none; SIGXFSZ ignored
    unsigned timeoutSeconds = 0;              // 0 for none; else SIGALRM ends a hung run (status 142)
    std::uint64_t addressSpaceLimit = 0;      // RLIMIT_AS in bytes, 0 for none
    std::uint64_t dataLimit = 0;              // RLIMIT_DATA in bytes (its private memory), 0 for none
    std::uint64_t openFileLimit = 0;          // RLIMIT_NOFILE, 0 for none
    std::uint64_t openFileSoftLimit = 0;      // RLIMIT_NOFILE's soft limit alone, 0 to leave it
    std::vector<int> closedDescriptors{};     // of 0, 1 and 2: closed when the program starts
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

// A run of hlg that the test does not wait for, to act on it while it works. Standard
// input is /dev/null; standard output and standard error both go to `outputFile`. With a
// `tracer` (a command and its options, "strace" ...), hlg runs under it. Killed and reaped
// when it goes out of scope.
class HlgProcess {
public:
    HlgProcess(const std::vector<std::string>& args, const std::filesystem::path& outputFile,
               const std::vector<std::string>& tracer = {});
    ~HlgProcess();
    HlgProcess(const HlgProcess&) = delete;
    HlgProcess& operator=(const HlgProcess&) = delete;
    int pid() const { return pid_; }
    // Sends the signal unless the process has already been reaped.
    void signal(int number);
    // True until the process has ended; reaps it then.
    bool running();
    // Waits for the end: the exit status, or 128 + signal.
    int wait();

private:
    int pid_ = -1;
    int status_ = -1;  // -1 until reaped
};

// Removes the status area's escape sequences and the lines they draw from captured
// standard output, leaving what a user would read after the command.
std::string withoutStatusArea(const std::string& out);

// The progress lines drawn in captured standard output, in order, as drawn
// ("[####------] 40%  Packing: a.txt"); the trivia lines are left out.
std::vector<std::string> progressLines(const std::string& out);

}  // namespace testing_support

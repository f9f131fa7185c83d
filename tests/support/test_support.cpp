#include "support/test_support.h"

#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zstd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>

namespace fs = std::filesystem;

namespace testing_support {

TempDir::TempDir() {
    std::string pattern = (fs::temp_directory_path() / "hlg-test-XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
    chmod(path_.c_str(), 0755);
}

TempDir::~TempDir() {
    std::error_code ignored;
    // Tests may leave folders without permissions behind; give them back first.
    for (auto it = fs::recursive_directory_iterator(path_, fs::directory_options::skip_permission_denied, ignored);
         it != fs::recursive_directory_iterator(); it.increment(ignored)) {
        if (it->is_directory(ignored) && !it->is_symlink(ignored)) chmod(it->path().c_str(), 0755);
        if (ignored) break;
    }
    chmod(path_.c_str(), 0755);
    fs::remove_all(path_, ignored);
}

void writeFile(const fs::path& path, const std::string& bytes) {
    if (path.has_parent_path()) fs::create_directories(path.parent_path());
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    if (!out) throw std::runtime_error("could not write " + path.string());
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("could not read " + path.string());
    // In blocks, not byte by byte: the kill tests compare megabytes after every run.
    std::ostringstream bytes;
    bytes << in.rdbuf();
    return std::move(bytes).str();
}

std::string quoted(const fs::path& path) {
    std::ostringstream out;
    out << path;
    return out.str();
}

std::string noise(std::size_t size, std::uint32_t seed) {
    std::string data(size, '\0');
    std::uint32_t state = seed * 2654435761u + 1;
    for (char& c : data) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 23);
    return data;
}

std::string recordHeaderBytes(unsigned char type, std::uint64_t pathLength, std::uint64_t dataLength) {
    std::string out(1, static_cast<char>(type));
    for (int i = 0; i < 4; ++i) out.push_back(static_cast<char>((pathLength >> (8 * i)) & 0xff));
    for (int i = 0; i < 8; ++i) out.push_back(static_cast<char>((dataLength >> (8 * i)) & 0xff));
    return out;
}

std::string recordBytes(unsigned char type, const std::string& path, std::uint64_t dataLength,
                        const std::string& data) {
    std::string out = recordHeaderBytes(type, path.size(), dataLength);
    out += path;
    out += data;
    return out;
}

std::string compressFrame(const std::string& content) {
    std::string out(ZSTD_compressBound(content.size()), '\0');
    const size_t n = ZSTD_compress(out.data(), out.size(), content.data(), content.size(), 3);
    if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
    out.resize(n);
    return out;
}

std::string levelThreeFrame(const std::string& content, bool checksum, bool contentSize) {
    std::string out(ZSTD_compressBound(content.size()), '\0');
    ZSTD_CCtx* context = ZSTD_createCCtx();
    ZSTD_CCtx_setParameter(context, ZSTD_c_compressionLevel, 3);
    ZSTD_CCtx_setParameter(context, ZSTD_c_checksumFlag, checksum ? 1 : 0);
    ZSTD_CCtx_setParameter(context, ZSTD_c_contentSizeFlag, contentSize ? 1 : 0);
    const size_t n = ZSTD_compress2(context, out.data(), out.size(), content.data(), content.size());
    ZSTD_freeCCtx(context);
    if (ZSTD_isError(n)) throw std::runtime_error(ZSTD_getErrorName(n));
    out.resize(n);
    return out;
}

std::string checksummedFrame(const std::string& content) { return levelThreeFrame(content, true, true); }

// A single raw block of `data` in a frame whose header claims `claimed` bytes of content.
std::string frameClaiming(std::uint64_t claimed, const std::string& data) {
    std::string frame("\x28\xb5\x2f\xfd", 4);
    frame.push_back('\xe0');  // single segment, 8-byte content size, no checksum
    for (int i = 0; i < 8; ++i) frame.push_back(static_cast<char>((claimed >> (8 * i)) & 0xff));
    const std::uint32_t block = static_cast<std::uint32_t>(data.size()) << 3 | 1;  // raw, last
    for (int i = 0; i < 3; ++i) frame.push_back(static_cast<char>((block >> (8 * i)) & 0xff));
    return frame + data;
}

std::string decompressFile(const fs::path& chunkFile) {
    const std::string frame = readFile(chunkFile);
    const unsigned long long size = ZSTD_getFrameContentSize(frame.data(), frame.size());
    if (size == ZSTD_CONTENTSIZE_ERROR || size == ZSTD_CONTENTSIZE_UNKNOWN)
        throw std::runtime_error("no content size in " + chunkFile.string());
    std::string out(size, '\0');
    const size_t n = ZSTD_decompress(out.data(), out.size(), frame.data(), frame.size());
    if (ZSTD_isError(n) || n != size) throw std::runtime_error("bad frame " + chunkFile.string());
    return out;
}

void writeTestArchive(const fs::path& archive, std::uint64_t totalBytes, std::uint64_t totalFiles,
                      const std::vector<ArchiveChunk>& chunks, bool marker) {
    fs::create_directories(archive);
    std::string manifest = "HLG1\nTOTAL_BYTES|" + std::to_string(totalBytes) + "\nTOTAL_FILES|" +
                           std::to_string(totalFiles) + "\nCHUNK_TARGET|268435456\n";
    for (const ArchiveChunk& chunk : chunks) {
        std::string content;
        for (const std::string& record : chunk.records) content += record;
        writeFile(archive / chunk.name, compressFrame(content));
        manifest += "CHUNK|" + chunk.name + "|" + std::to_string(content.size()) + "|" +
                    std::to_string(chunk.records.size()) + "\n";
    }
    writeFile(archive / "manifest.txt", manifest);
    if (marker) writeFile(archive / ".verified", "HLG1\nFILES|0\nBYTES|0\nCHUNKS|0\n");
}

std::map<std::string, std::string> treeSnapshot(const fs::path& root) {
    std::map<std::string, std::string> tree;
    for (const fs::directory_entry& entry : fs::recursive_directory_iterator(root)) {
        const std::string relative = entry.path().lexically_relative(root).generic_string();
        if (entry.is_symlink())
            tree[relative] = "<link to " + fs::read_symlink(entry.path()).string() + ">";
        else if (entry.is_directory())
            tree[relative + "/"] = "";
        else if (entry.is_regular_file() && entry.file_size() > (std::uintmax_t{64} << 20))
            tree[relative] = "<" + std::to_string(entry.file_size()) + " bytes>";
        else if (entry.is_regular_file())
            tree[relative] = readFile(entry.path());
        else
            tree[relative] = "<special>";
    }
    return tree;
}

std::string hlgBinary() { return HLG_BINARY_PATH; }

namespace {

// The build folder may lie where an ordinary user cannot enter (a checkout under /root),
// so runs as uid 65534 use a copy in a world-searchable temporary folder, made once per
// test process and removed with the folder at its exit.
struct ReachableBinary {
    TempDir folder;
    fs::path path = folder / "hlg";
    ReachableBinary() {
        fs::copy_file(hlgBinary(), path);
        fs::permissions(path, fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                  fs::perms::others_read | fs::perms::others_exec);
    }
};

std::string binaryFor(const RunOptions& options) {
    if (!options.asNobody) return hlgBinary();
    static const ReachableBinary copy;
    return copy.path.native();
}

std::vector<std::string> programArguments(const std::vector<std::string>& args) {
    std::vector<std::string> all{"hlg"};
    all.insert(all.end(), args.begin(), args.end());
    return all;
}

// The argv array for exec: pointers into `args`, which must outlive it.
std::vector<char*> argumentVector(std::vector<std::string>& args) {
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    return argv;
}

}  // namespace

RunResult runHlg(const std::vector<std::string>& args, const RunOptions& options) {
    int outPipe[2], errPipe[2], inPipe[2];
    if (pipe(outPipe) != 0 || pipe(errPipe) != 0 || pipe(inPipe) != 0)
        throw std::runtime_error("pipe failed");
    const std::string binary = binaryFor(options);
    std::vector<std::string> argStore = programArguments(args);
    std::vector<char*> argv = argumentVector(argStore);

    const pid_t pid = fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        dup2(outPipe[1], 1);
        dup2(errPipe[1], 2);
        if (options.stdinText) {
            dup2(inPipe[0], 0);
        } else {
            const int devNull = open("/dev/null", O_RDONLY);
            dup2(devNull, 0);
        }
        for (int fd : {outPipe[0], outPipe[1], errPipe[0], errPipe[1], inPipe[0], inPipe[1]}) close(fd);
        for (int fd : options.closedDescriptors) close(fd);
        if (!options.workingDirectory.empty() && chdir(options.workingDirectory.c_str()) != 0) _exit(126);
        if (options.fileSizeLimit != 0) {
            signal(SIGXFSZ, SIG_IGN);
            struct rlimit limit{options.fileSizeLimit, options.fileSizeLimit};
            setrlimit(RLIMIT_FSIZE, &limit);
        }
        if (options.openFileLimit != 0) {
            struct rlimit limit{options.openFileLimit, options.openFileLimit};
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (options.openFileSoftLimit != 0) {
            struct rlimit limit{};
            getrlimit(RLIMIT_NOFILE, &limit);
            limit.rlim_cur = options.openFileSoftLimit;
            setrlimit(RLIMIT_NOFILE, &limit);
        }
        if (options.dataLimit != 0) {
            struct rlimit limit{options.dataLimit, options.dataLimit};
            setrlimit(RLIMIT_DATA, &limit);
        }
        if (options.addressSpaceLimit != 0) {
            struct rlimit limit{options.addressSpaceLimit, options.addressSpaceLimit};
            setrlimit(RLIMIT_AS, &limit);
        }
        // Survives exec: a run that hangs ends with SIGALRM instead of stalling the suite.
        if (options.timeoutSeconds != 0) alarm(options.timeoutSeconds);
        if (options.asNobody) {
            if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(125);
        }
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    close(outPipe[1]);
    close(errPipe[1]);
    close(inPipe[0]);
    if (options.stdinText) {
        // Small answers fit in the pipe buffer; the program reads at most one line.
        const std::string& text = *options.stdinText;
        ssize_t ignored = write(inPipe[1], text.data(), text.size());
        (void)ignored;
    }
    close(inPipe[1]);

    RunResult result;
    pollfd fds[2] = {{outPipe[0], POLLIN, 0}, {errPipe[0], POLLIN, 0}};
    std::string* sinks[2] = {&result.out, &result.err};
    int open = 2;
    char block[65536];
    while (open > 0) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < 2; ++i) {
            if (fds[i].fd < 0 || fds[i].revents == 0) continue;
            const ssize_t n = read(fds[i].fd, block, sizeof block);
            if (n > 0) {
                sinks[i]->append(block, static_cast<size_t>(n));
            } else {
                close(fds[i].fd);
                fds[i].fd = -1;
                --open;
            }
        }
    }
    int status = 0;
    waitpid(pid, &status, 0);
    result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return result;
}

HlgProcess::HlgProcess(const std::vector<std::string>& args, const fs::path& outputFile,
                       const std::vector<std::string>& tracer) {
    const std::string binary = hlgBinary();
    std::vector<std::string> argStore = programArguments(args);
    if (!tracer.empty()) {
        argStore.front() = binary;
        argStore.insert(argStore.begin(), tracer.begin(), tracer.end());
    }
    std::vector<char*> argv = argumentVector(argStore);
    const int output = open(outputFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (output < 0) throw std::runtime_error("cannot open " + outputFile.string());
    pid_ = fork();
    if (pid_ < 0) {
        close(output);
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        const int devNull = open("/dev/null", O_RDONLY);
        dup2(devNull, 0);
        dup2(output, 1);
        dup2(output, 2);
        if (tracer.empty()) execv(binary.c_str(), argv.data());
        else execvp(argv[0], argv.data());
        _exit(127);
    }
    close(output);
}

HlgProcess::~HlgProcess() {
    if (status_ == -1 && pid_ > 0) {
        ::kill(pid_, SIGKILL);
        wait();
    }
}

void HlgProcess::signal(int number) {
    if (status_ == -1) ::kill(pid_, number);
}

namespace {

int statusOf(int raw) { return WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw); }

}  // namespace

bool HlgProcess::running() {
    if (status_ != -1) return false;
    int raw = 0;
    if (waitpid(pid_, &raw, WNOHANG) != pid_) return true;
    status_ = statusOf(raw);
    return false;
}

int HlgProcess::wait() {
    if (status_ != -1) return status_;
    int raw = 0;
    while (waitpid(pid_, &raw, 0) < 0) {
        if (errno != EINTR) throw std::runtime_error("waitpid failed");
    }
    status_ = statusOf(raw);
    return status_;
}

CapturedOutput::CapturedOutput(bool withStandardError) {
    std::cout.flush();
    std::fflush(stdout);
    spool = std::tmpfile();
    if (spool == nullptr) throw std::runtime_error("could not make a spool file");
    for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
        if (descriptor == STDERR_FILENO && !withStandardError) break;
        saved[descriptor - 1] = dup(descriptor);
        if (saved[descriptor - 1] < 0 || dup2(fileno(spool), descriptor) < 0) {
            throw std::runtime_error("could not redirect a standard descriptor");
        }
    }
}

CapturedOutput::~CapturedOutput() {
    const std::string captured = text();
    for (const int descriptor : {STDOUT_FILENO, STDERR_FILENO}) {
        if (saved[descriptor - 1] < 0) continue;
        dup2(saved[descriptor - 1], descriptor);
        close(saved[descriptor - 1]);
    }
    std::fclose(spool);
    // The framework printed its failures into the spool; escape sequences are shown as text
    // so that they do not act on the terminal of whoever reads the log.
    if (testing::Test::HasFailure()) {
        std::string shown;
        for (const char c : captured) shown += c == '\x1b' ? std::string("\\e") : std::string(1, c);
        std::fwrite(shown.data(), 1, shown.size(), stdout);
        std::fflush(stdout);
    }
}

std::string CapturedOutput::text() const {
    std::cout.flush();
    std::fflush(stdout);
    std::string bytes;
    char block[4096];
    for (off_t at = from;;) {
        const ssize_t got = pread(fileno(spool), block, sizeof block, at);
        if (got <= 0) break;
        bytes.append(block, static_cast<std::size_t>(got));
        at += got;
    }
    return bytes;
}

void CapturedOutput::clear() { from += static_cast<long>(text().size()); }

std::string withoutStatusArea(const std::string& out) {
    std::string text;
    size_t i = 0;
    while (i < out.size()) {
        if (out.compare(i, 12, "\x1b[?25l\n\n\x1b[2A") == 0) {
            i += 12;  // the cursor hidden and the room made for the rows
        } else if (out.compare(i, 6, "\x1b[?25h") == 0) {
            i += 6;
        } else if (out.compare(i, 3, "\x1b[s") == 0) {
            const size_t end = out.find("\x1b[u", i);
            i = end == std::string::npos ? out.size() : end + 3;
        } else {
            text.push_back(out[i++]);
        }
    }
    return text;
}

std::vector<std::string> progressLines(const std::string& out) {
    std::vector<std::string> lines;
    size_t i = 0;
    while ((i = out.find("\x1b[s", i)) != std::string::npos) {
        const size_t end = out.find("\x1b[u", i);
        if (end == std::string::npos) break;
        const std::string drawing = out.substr(i, end - i);
        const size_t first = drawing.find("\x1b[2K");
        if (first != std::string::npos) {
            const size_t start = first + 4;
            const size_t stop = drawing.find("\x1b[", start);
            const std::string line = drawing.substr(start, stop - start);
            if (!line.empty()) lines.push_back(line);  // teardown erases without drawing
        }
        i = end + 3;
    }
    return lines;
}

ArchiveFolder openFolder(const std::filesystem::path& folder) {
    ArchiveFolder opened;
    openArchiveFolder(folder, opened);
    return opened;
}

bool readChunkFile(const std::filesystem::path& chunkPath, std::uint64_t rawSize, ChunkMemory& content) {
    return readChunk(openFolder(chunkPath.parent_path()), chunkPath.filename(), rawSize, content);
}

bool openChunkFile(ChunkStream& stream, const std::filesystem::path& chunkPath, std::uint64_t rawSize) {
    return stream.open(openFolder(chunkPath.parent_path()), chunkPath.filename(), rawSize);
}

}  // namespace testing_support

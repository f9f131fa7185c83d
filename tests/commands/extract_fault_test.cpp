// Extract under faults, through the real binary: killed part-way, a full disk, input an
// ordinary user may not read or change. Whatever happens, no restored byte is lost: each
// file is either complete in the destination or still inside a chunk file in the archive.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mount.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <sstream>
#include <thread>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// A small file system of its own at `at` (made with its parents), unmounted at the end.
struct MountedTmpfs {
    MountedTmpfs(const fs::path& at, const char* options) : at(at) {
        fs::create_directories(at);
        ok = mount("tmpfs", at.c_str(), "tmpfs", 0, options) == 0;
    }
    ~MountedTmpfs() {
        if (ok) umount2(at.c_str(), MNT_DETACH);
    }
    fs::path at;
    bool ok = false;
};

// An archive whose chunks each hold one folder and some files, with what each chunk
// restores, so that a test can tell where every file must be.
struct KnownArchive {
    std::vector<ArchiveChunk> chunks;
    std::vector<std::map<std::string, std::string>> filesOfChunk;  // record path -> data
    std::map<std::string, std::string> chunkBytes;                 // chunk name -> file bytes
    std::vector<std::string> chunkLines;                           // each chunk's manifest line
    std::uint64_t totalBytes = 0;
    std::uint64_t totalFiles = 0;

    void write(const fs::path& archive) {
        writeTestArchive(archive, totalBytes, totalFiles, chunks, true);
        for (const ArchiveChunk& chunk : chunks) chunkBytes[chunk.name] = readFile(archive / chunk.name);
        chunkLines.clear();
        std::istringstream manifest(readFile(archive / "manifest.txt"));
        for (std::string line; std::getline(manifest, line);)
            if (line.rfind("CHUNK|", 0) == 0) chunkLines.push_back(line + "\n");
    }

    std::map<std::string, std::string> allFiles() const {
        std::map<std::string, std::string> all;
        for (const auto& files : filesOfChunk) all.insert(files.begin(), files.end());
        return all;
    }
};

KnownArchive knownArchive(int chunkCount, int filesPerChunk, std::size_t fileSize) {
    KnownArchive known;
    for (int c = 1; c <= chunkCount; ++c) {
        ArchiveChunk chunk{"00000" + std::to_string(c) + ".zst", {}};
        const std::string folder = "part" + std::to_string(c);
        chunk.records.push_back(recordBytes(1, folder, 0));
        std::map<std::string, std::string> files;
        for (int f = 1; f <= filesPerChunk; ++f) {
            const std::string path = folder + "/file" + std::to_string(f) + ".bin";
            const std::string data = noise(fileSize + f, static_cast<std::uint32_t>(c * 100 + f));
            chunk.records.push_back(recordBytes(0, path, data.size(), data));
            files[path] = data;
            known.totalBytes += data.size();
            ++known.totalFiles;
        }
        known.chunks.push_back(chunk);
        known.filesOfChunk.push_back(files);
    }
    return known;
}

// The invariant that matters after any interruption: every chunk still in the archive is
// whole, chunks go in manifest order, and every file of a consumed chunk is complete.
void expectNothingLost(const KnownArchive& known, const fs::path& archive, const fs::path& destination) {
    bool laterMustRemain = false;
    for (std::size_t c = 0; c < known.chunks.size(); ++c) {
        const std::string& name = known.chunks[c].name;
        SCOPED_TRACE(name);
        if (fs::exists(archive / name)) {
            EXPECT_TRUE(readFile(archive / name) == known.chunkBytes.at(name)) << "damaged";
            laterMustRemain = true;
            continue;
        }
        EXPECT_FALSE(laterMustRemain) << "a chunk was consumed before an earlier one";
        for (const auto& [path, data] : known.filesOfChunk[c]) {
            ASSERT_TRUE(fs::exists(destination / path)) << path << " is neither restored nor in a chunk";
            EXPECT_TRUE(readFile(destination / path) == data) << path << " is incomplete";
        }
    }
}

// The manifest lists the chunks from the first one still listed to the last, under a
// header whose totals are exactly theirs, and names the chunk before them as consumed;
// true when it lists any. A folder left with nothing in it lists nothing.
bool expectManifestListsWhatIsLeft(const KnownArchive& known, const fs::path& archive) {
    if (fs::is_empty(archive)) return false;
    const std::string manifest = readFile(archive / "manifest.txt");
    std::size_t first = 0;
    while (first < known.chunks.size() && manifest.find(known.chunkLines[first]) == std::string::npos) ++first;
    std::uint64_t bytes = 0;
    std::uint64_t files = 0;
    std::string lines;
    for (std::size_t c = first; c < known.chunks.size(); ++c) {
        for (const auto& file : known.filesOfChunk[c]) bytes += file.second.size();
        files += known.filesOfChunk[c].size();
        lines += known.chunkLines[c];
    }
    if (first > 0) lines += "CONSUMED|" + known.chunks[first - 1].name + "\n";
    EXPECT_EQ(manifest, "HLG1\nTOTAL_BYTES|" + std::to_string(bytes) + "\nTOTAL_FILES|" + std::to_string(files) +
                            "\nCHUNK_TARGET|268435456\n" + lines);
    return first < known.chunks.size();
}

// After a stop: what is left verifies, and a run again finishes the tree and removes the
// archive folder.
void expectARunAgainFinishes(const KnownArchive& known, const fs::path& archive, const fs::path& destination) {
    const bool chunksLeft = expectManifestListsWhatIsLeft(known, archive);
    const RunResult verify = runHlg({"verify", archive.string()});
    if (chunksLeft) {
        EXPECT_EQ(verify.status, 0) << verify.err;
    } else if (!fs::is_empty(archive)) {
        EXPECT_EQ(verify.err, "Archive contains no chunks.\n");
    }
    const RunResult again = runHlg({"extract", archive.string(), destination.string()});
    EXPECT_EQ(again.status, 0) << again.err;
    // Only the clean-up was left: done without a question, and said so.
    if (!chunksLeft) {
        EXPECT_EQ(withoutStatusArea(again.out), "\nExtraction complete.\nFiles expected: 0\nFiles extracted: 0\n"
                                                "Chunks consumed: 0\nBytes extracted: 0\nArchive deleted: yes\n");
    }
    EXPECT_FALSE(fs::exists(archive));
    EXPECT_EQ(treeSnapshot(destination).size(), known.allFiles().size() + known.chunks.size());
    for (const auto& [path, data] : known.allFiles()) EXPECT_TRUE(readFile(destination / path) == data) << path;
}

TEST(ExtractFault, StoppedAnywhereLosesNothingAndARunAgainFinishes) {
    // Six chunks of five files; each stop waits for the first chunk to go, then for the
    // named file to appear, a chunk to go (a chunk boundary) or a random moment, and
    // strikes at once.
    KnownArchive known = knownArchive(6, 5, 150000);
    std::random_device device;
    const unsigned seed = device();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937 random(seed);
    struct Stop {
        int signal;
        std::string trigger;  // a restored file, "-" and a chunk that goes, or "" for a random moment
    };
    const std::vector<Stop> stops = {
        {SIGKILL, "part2/file1.bin"}, {SIGINT, "part3/file3.bin"}, {SIGKILL, "part4/file5.bin"},
        {SIGKILL, "part6/file1.bin"}, {SIGINT, "-000003.zst"},     {SIGKILL, "-000004.zst"},
        {SIGKILL, ""},                {SIGINT, ""},
    };
    int interrupted = 0;
    for (const auto& [signal, trigger] : stops) {
        SCOPED_TRACE((trigger.empty() ? std::string("random delay") : "stop at " + trigger) + ", signal " +
                     std::to_string(signal));
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        const fs::path destination = dir / "out";
        known.write(archive);
        HlgProcess extract({"extract", archive.string(), destination.string()}, dir / "output.txt");

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        const auto waitFor = [&](const fs::path& path, bool present) {
            while (fs::exists(path) != present && extract.running() &&
                   std::chrono::steady_clock::now() < deadline)
                std::this_thread::sleep_for(std::chrono::microseconds(20));
        };
        waitFor(archive / "000001.zst", false);
        if (trigger.empty()) {
            std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
        } else if (trigger[0] == '-') {
            waitFor(archive / trigger.substr(1), false);
        } else {
            waitFor(destination / trigger, true);
        }
        ASSERT_LT(std::chrono::steady_clock::now(), deadline) << "extract made no progress";
        extract.signal(signal);
        const int status = extract.wait();
        if (status == 128 + signal) {
            ++interrupted;
            EXPECT_TRUE(fs::exists(archive / ".verified"));
            expectNothingLost(known, archive, destination);
            expectARunAgainFinishes(known, archive, destination);
        } else {
            ASSERT_EQ(status, 0) << readFile(dir / "output.txt");
            EXPECT_FALSE(fs::exists(archive));
            expectNothingLost(known, archive, destination);
        }
    }
    EXPECT_GT(interrupted, 0) << "every extract finished before its kill";
}

// strace as a tracer for HlgProcess: the system calls named go to `trace`, and unless
// `inject` is empty it acts on them ("signal=KILL:when=3" stops the run before the third
// call, "error=EIO:when=3" fails it, "delay_exit=500000" holds the run up after each).
std::vector<std::string> straced(const fs::path& trace, const std::string& syscalls, const std::string& inject) {
    std::vector<std::string> tracer = {"strace", "-qq", "-o", trace.string(), "-E", "ASAN_OPTIONS=detect_leaks=0",
                                       "-e", "trace=" + syscalls};
    if (!inject.empty()) tracer.insert(tracer.end(), {"-e", "inject=" + syscalls + ":" + inject});
    return tracer;
}

int extractTraced(const fs::path& archive, const fs::path& out, const std::string& syscalls,
                  const std::string& inject) {
    const fs::path dir = archive.parent_path();
    return HlgProcess({"extract", archive.string(), out.string()}, dir / "output.txt",
                      straced(dir / "trace.txt", syscalls, inject))
        .wait();
}

TEST(ExtractFault, KilledOrFailingAtEachStepARunAgainFinishes) {
    // Killed before each rename and each removal, a close or a sync failing at each call:
    // no chunk goes before its restored data and the manifest without it are durable, and
    // whatever the run leaves, a run again finishes it and removes the archive folder.
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace cannot trace here";
    KnownArchive known = knownArchive(3, 2, 5000);
    const std::pair<std::string, std::string> steps[] = {
        {"renameat,renameat2", "signal=KILL"},
        {"unlinkat,unlink,rmdir", "signal=KILL"},
        {"fsync,fdatasync,syncfs", "error=EIO"},
        {"close", "error=EIO"},
    };
    for (const auto& [syscalls, action] : steps) {
        // Until a run makes fewer such calls than the one acted on.
        for (int when = 1, reached = true; reached; ++when) {
            SCOPED_TRACE(syscalls + " " + action + " at call " + std::to_string(when));
            TempDir dir;
            const fs::path archive = dir / "a.hlg";
            const fs::path out = dir / "out";
            known.write(archive);
            const int status = extractTraced(archive, out, syscalls, action + ":when=" + std::to_string(when));
            std::istringstream trace(readFile(dir / "trace.txt"));
            int calls = 0;
            for (std::string line; std::getline(trace, line);) calls += line.find(" = ") != std::string::npos;
            reached = calls >= when;
            if (!fs::exists(archive)) {
                EXPECT_EQ(status, 0) << readFile(dir / "output.txt");
            } else {
                EXPECT_NE(status, 0);
                expectNothingLost(known, archive, out);
                expectARunAgainFinishes(known, archive, out);
            }
            EXPECT_EQ(treeSnapshot(out).size(), known.allFiles().size() + known.chunks.size());
        }
    }
}

// True while another process holds a lock on the folder at `path`.
bool lockedByAnother(const fs::path& path) {
    const int fd = open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    close(fd);  // and with it a lock taken here
    return held;
}

TEST(ExtractFault, EachRunHoldsItsArchiveFolderFromStartToEnd) {
    // A run is held up just after it has opened and locked the archive that "cur.hlg" links
    // to; meanwhile the link is switched to another archive, or another run is started.
    if (std::system("strace -o /dev/null true >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace cannot trace here";
    KnownArchive known = knownArchive(2, 2, 3000);
    KnownArchive other = knownArchive(1, 1, 100);
    struct Case {
        std::string command;
        std::string during;  // "switch" the link, or another command on it
    };
    const std::vector<Case> cases = {
        {"verify", "switch"}, {"extract", "switch"}, {"extract", "extract"}, {"extract", "verify"}, {"verify", "extract"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.command + " while " + c.during);
        TempDir dir;
        const fs::path cur = dir / "cur.hlg";
        known.write(dir / "A.hlg");
        other.write(dir / "B.hlg");
        fs::remove(dir / "B.hlg/.verified");
        fs::create_directory_symlink("A.hlg", cur);
        const auto otherBefore = treeSnapshot(dir / "B.hlg");
        const auto heldBefore = treeSnapshot(dir / "A.hlg");
        std::vector<std::string> args = {c.command, cur.string()};
        if (c.command == "extract") args.push_back((dir / "out").string());
        HlgProcess run(args, dir / "output.txt", straced("/dev/null", "flock", "delay_exit=500000"));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (!lockedByAnother(dir / "A.hlg") && run.running() && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        ASSERT_TRUE(run.running()) << readFile(dir / "output.txt");
        if (c.during == "switch") {
            fs::create_directory_symlink("B.hlg", dir / "next");
            fs::rename(dir / "next", cur);
        } else {
            // It has read and changed nothing.
            std::vector<std::string> second = {c.during, cur.string()};
            if (c.during == "extract") second.push_back((dir / "out2").string());
            const RunResult r = runHlg(second);
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err, "Archive is in use: " + quoted(cur) + "\n");
            EXPECT_FALSE(fs::exists(dir / "out2"));
            EXPECT_EQ(treeSnapshot(dir / "A.hlg"), heldBefore);
        }
        EXPECT_EQ(run.wait(), 0) << readFile(dir / "output.txt");
        EXPECT_EQ(treeSnapshot(dir / "B.hlg"), otherBefore);
        EXPECT_TRUE(fs::is_symlink(cur));
        if (c.command == "extract") {
            EXPECT_FALSE(fs::exists(dir / "A.hlg"));
            EXPECT_EQ(treeSnapshot(dir / "out").size(), known.allFiles().size() + known.chunks.size());
        } else {
            EXPECT_TRUE(fs::exists(dir / "A.hlg/.verified"));
        }
    }
}

TEST(ExtractFault, FullDiskInALaterChunkKeepsThatChunkAndEveryLaterOne) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    const std::string big = noise(300000, 7);
    const std::vector<ArchiveChunk> chunks = {
        {"000001.zst", {recordBytes(1, "one", 0), recordBytes(0, "one/a.txt", 5, "hello")}},
        {"000002.zst", {recordBytes(0, "two.txt", 3, "two"), recordBytes(0, "big.bin", big.size(), big)}},
        {"000003.zst", {recordBytes(0, "three.txt", 5, "three")}},
    };
    writeTestArchive(archive, 13 + big.size(), 4, chunks, true);
    const std::string second = readFile(archive / "000002.zst");
    const std::string third = readFile(archive / "000003.zst");

    RunOptions options;
    options.fileSizeLimit = 100000;
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed while writing: " + quoted(dir / "out/big.bin") + "\n");
    EXPECT_EQ(withoutStatusArea(r.out), "Verification marker found.\n");
    EXPECT_FALSE(fs::exists(archive / "000001.zst"));
    EXPECT_EQ(readFile(archive / "000002.zst"), second);
    EXPECT_EQ(readFile(archive / "000003.zst"), third);
    EXPECT_TRUE(fs::exists(archive / "manifest.txt"));
    EXPECT_TRUE(fs::exists(archive / ".verified"));
    EXPECT_EQ(readFile(dir / "out/one/a.txt"), "hello");
    EXPECT_EQ(readFile(dir / "out/two.txt"), "two");
}

// One disk, as a user's: a tmpfs holds the archive and the destination, and a filler file
// leaves room for exactly the first chunk's files and the manifest that replaces the old
// one, or one block less. Then the filler goes, as a user frees space, and a run again
// finishes.
TEST(ExtractFault, FullDiskStopsAtTheLastRecordNeverAtTheManifestAndARunAgainFinishes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system";
    KnownArchive known = knownArchive(3, 3, 100000);
    for (const int blocksShort : {0, 1}) {
        SCOPED_TRACE(std::to_string(blocksShort) + " blocks short");
        TempDir dir;
        const fs::path disk = dir / "disk";
        const MountedTmpfs mounted(disk, "size=4m");
        if (!mounted.ok) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
        const fs::path archive = disk / "a.hlg";
        const fs::path out = disk / "out";
        known.write(archive);
        const std::string manifest = readFile(archive / "manifest.txt");

        struct statvfs space {};
        ASSERT_EQ(statvfs(disk.c_str(), &space), 0);
        std::uint64_t needed = 1;  // the replacement manifest
        for (const auto& file : known.filesOfChunk[0]) needed += (file.second.size() + space.f_bsize - 1) / space.f_bsize;
        ASSERT_GT(space.f_bavail, needed);
        writeFile(disk / "filler", std::string((space.f_bavail - needed + blocksShort) * space.f_bsize, 'f'));
        ASSERT_EQ(statvfs(disk.c_str(), &space), 0);
        ASSERT_EQ(space.f_bavail + blocksShort, needed);

        const RunResult r = runHlg({"extract", archive.string(), out.string()});
        if (blocksShort == 0) {
            // The chunk is recorded as consumed and deleted; what comes after is up to the space.
            EXPECT_FALSE(fs::exists(archive / "000001.zst")) << r.err;
            EXPECT_EQ(readFile(archive / "manifest.txt").find(known.chunkLines[0]), std::string::npos);
        } else {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, "Failed while writing: " + quoted(out / "part1/file3.bin") + "\n");
            EXPECT_EQ(readFile(archive / "manifest.txt"), manifest);
            EXPECT_FALSE(fs::exists(archive / "manifest.new"));
        }
        expectNothingLost(known, archive, out);
        fs::remove(disk / "filler");
        if (fs::exists(archive)) expectARunAgainFinishes(known, archive, out);
    }
}

// Another process keeps renaming a hard link to the next chunk over the file that extract
// restores again and again: whatever the run ends with, that chunk is never written into.
TEST(ExtractFault, HardLinksToTheNextChunkSwappedInAreNeverWrittenInto) {
    for (int run = 0; run < 3; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        const fs::path out = dir / "out";
        ArchiveChunk first{"000001.zst", {}};
        for (int i = 0; i < 3000; ++i) first.records.push_back(recordBytes(0, "victim", 3, "bad"));
        writeTestArchive(archive, 3 * 3000 + 4, 3001,
                         {first, {"000002.zst", {recordBytes(0, "later.txt", 4, "kept")}}}, true);
        const std::string next = readFile(archive / "000002.zst");
        fs::create_directory(out);

        std::atomic<bool> done{false};
        std::thread racer([&] {
            const fs::path link = out / "link";
            while (!done) {
                ::link((archive / "000002.zst").c_str(), link.c_str());
                ::rename(link.c_str(), (out / "victim").c_str());
                std::this_thread::sleep_for(std::chrono::microseconds(20));
            }
        });
        const RunResult r = runHlg({"extract", archive.string(), out.string()});
        done = true;
        racer.join();
        if (fs::exists(archive / "000002.zst")) {
            EXPECT_EQ(readFile(archive / "000002.zst"), next) << r.err;
        } else {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(readFile(out / "later.txt"), "kept");
        }
    }
}

// Root reads and removes anything, so each case runs the program as uid 65534 on a tree
// prepared by root: folders that user owns are writable by it, the rest only readable.
TEST(ExtractFault, InputAnOrdinaryUserMayNotReadOrChange) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    const std::vector<ArchiveChunk> chunks = {
        {"000001.zst", {recordBytes(1, "docs", 0), recordBytes(0, "docs/a.txt", 5, "hello")}},
        {"000002.zst", {recordBytes(0, "b.txt", 3, "bee")}},
        {"000003.zst", {recordBytes(0, "c.txt", 3, "sea")}},
    };
    const auto owned = [](const fs::path& path) { ASSERT_EQ(chown(path.c_str(), 65534, 65534), 0); };
    const auto privateToRoot = [](const fs::path& path) {
        fs::permissions(path, fs::perms::owner_all, fs::perm_options::replace);
    };
    struct Case {
        const char* what;
        const char* command;
        std::function<void(const fs::path& archive, const fs::path& out)> prepare;
        std::string err;  // "{chunk 2}" stands for the quoted path of the second chunk; empty: passes
        std::vector<std::string> chunksLeft;
        bool firstChunkRestored;
    };
    // The standard library's description follows; only its start is fixed.
    const std::string fsError = "Filesystem error: filesystem error: ";
    const std::vector<std::string> all = {"000001.zst", "000002.zst", "000003.zst"};
    const std::vector<std::string> later = {"000002.zst", "000003.zst"};
    const std::vector<Case> cases = {
        {"unreadable manifest", "verify", [&](auto& a, auto&) { privateToRoot(a / "manifest.txt"); },
         "Could not open archive manifest.\n", all, false},
        {"unreadable manifest", "extract", [&](auto& a, auto&) { privateToRoot(a / "manifest.txt"); },
         "Could not open archive manifest.\n", all, false},
        {"archive folder not searchable", "verify", [&](auto& a, auto&) { privateToRoot(a); },
         "Could not open archive manifest.\n", all, false},
        {"archive folder searched but not listed", "verify",
         [&](auto& a, auto&) {
             owned(a);
             fs::permissions(a, fs::perms::owner_write | fs::perms::owner_exec, fs::perm_options::replace);
         },
         "", all, false},
        {"folder above the archive not searchable", "verify",
         [&](auto& a, auto&) { privateToRoot(a.parent_path()); }, fsError, all, false},
        {"unreadable second chunk", "verify", [&](auto& a, auto&) { privateToRoot(a / "000002.zst"); },
         "Could not open chunk: {chunk 2}\n", all, false},
        {"unreadable second chunk", "extract",
         [&](auto& a, auto&) {
             owned(a);
             privateToRoot(a / "000002.zst");
         },
         "Could not open chunk: {chunk 2}\n", later, true},
        // A read-only archive: no manifest can list what would be left, so nothing is restored.
        {"archive folder not writable", "extract", [](auto&, auto&) {}, "Could not write manifest.\n", all,
         false},
        {"destination not writable", "extract",
         [&](auto& a, auto& out) {
             owned(a);
             fs::create_directory(out);
         },
         fsError, all, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.command) + ", " + c.what);
        TempDir dir;
        fs::create_directory(dir / "holder");
        const fs::path archive = dir / "holder/a.hlg";
        fs::create_directory(dir / "work");
        owned(dir / "work");
        const fs::path out = dir / "work/out";
        writeTestArchive(archive, 11, 3, chunks, true);
        c.prepare(archive, out);

        RunOptions options;
        options.asNobody = true;
        options.timeoutSeconds = 60;
        const bool verify = c.command == std::string("verify");
        const RunResult r = runHlg(verify ? std::vector<std::string>{"verify", archive.string()}
                                          : std::vector<std::string>{"extract", archive.string(), out.string()},
                                   options);
        EXPECT_EQ(r.status, c.err.empty() ? 0 : 1) << r.err;
        if (c.err == fsError) {
            EXPECT_EQ(r.err.rfind(fsError, 0), 0u) << r.err;
        } else {
            std::string err = c.err;
            const std::size_t at = err.find("{chunk 2}");
            if (at != std::string::npos) err.replace(at, 9, quoted(archive / "000002.zst"));
            EXPECT_EQ(r.err, err);
        }
        EXPECT_EQ(r.out.find("complete."), std::string::npos);
        EXPECT_EQ(r.out.find("successful.") != std::string::npos, c.err.empty());

        fs::permissions(archive.parent_path(), fs::perms::all);
        fs::permissions(archive, fs::perms::all);
        for (const std::string& name : all) {
            const bool kept = std::find(c.chunksLeft.begin(), c.chunksLeft.end(), name) != c.chunksLeft.end();
            EXPECT_EQ(fs::exists(archive / name), kept) << name;
        }
        EXPECT_TRUE(fs::exists(archive / "manifest.txt"));
        EXPECT_FALSE(fs::exists(archive / "manifest.new"));
        if (c.firstChunkRestored) {
            EXPECT_EQ(readFile(out / "docs/a.txt"), "hello");
        }
    }
}

TEST(ExtractFault, EveryFileSystemWrittenIsSyncedBeforeItsChunkGoes) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount a file system in the destination";
    TempDir dir;
    const fs::path out = dir / "out";
    const fs::path mountPoint = out / "mnt";
    const MountedTmpfs mounted(mountPoint, "size=1m");
    if (!mounted.ok) GTEST_SKIP() << "cannot mount a tmpfs here: " << std::strerror(errno);
    const fs::path archive = dir / "a.hlg";
    writeTestArchive(archive, 3, 3,
                     {{"000001.zst", {recordBytes(0, "a.txt", 1, "a")}},
                      {"000002.zst", {recordBytes(1, "mnt", 0), recordBytes(0, "mnt/f", 1, "f"),
                                      recordBytes(0, "z.txt", 1, "z")}}},
                     true);
    if (std::system("strace -V >/dev/null 2>&1") != 0) {
        EXPECT_EQ(runHlg({"extract", archive.string(), out.string()}).status, 0);
        EXPECT_EQ(readFile(out / "mnt/f"), "f");
        GTEST_SKIP() << "strace is missing: the extraction worked, its syncs were not seen";
    }
    // The trace names the file behind each descriptor that is synced, and each deletion.
    // The leak checker of a sanitized build cannot run under a tracer.
    const fs::path trace = dir / "trace.txt";
    const int status = std::system(("ASAN_OPTIONS=\"${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0\" strace -qq -y "
                                    "-e trace=syncfs,unlink,unlinkat -o " + trace.string() + " " + hlgBinary() +
                                    " extract " + archive.string() + " " + out.string() + " </dev/null >" +
                                    (dir / "output.txt").string() + " 2>&1")
                                       .c_str());
    EXPECT_EQ(status, 0) << readFile(dir / "output.txt");
    EXPECT_EQ(readFile(out / "mnt/f"), "f");
    EXPECT_EQ(readFile(out / "z.txt"), "z");
    std::vector<std::string> events;
    std::istringstream lines(readFile(trace));
    for (std::string line; std::getline(lines, line);) {
        if (line.rfind("syncfs(", 0) == 0) {
            events.push_back(line.find(mountPoint.string() + "/") == std::string::npos ? "sync out" : "sync mnt");
        } else if (line.find(".zst\"") != std::string::npos) {
            events.push_back("delete " + line.substr(line.find(".zst\"") - 6, 10));
        }
    }
    const std::vector<std::string> expected = {"sync out", "delete 000001.zst", "sync out", "sync mnt",
                                               "delete 000002.zst"};
    EXPECT_EQ(events, expected);
}

}  // namespace

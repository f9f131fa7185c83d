// Where pack cuts chunks, and how it copies a file that may change under it.

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <functional>
#include <iostream>
#include <sstream>

#include "commands/pack.h"
#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

class CapturedStream {
public:
    explicit CapturedStream(std::ostream& stream) : stream_(stream), previous_(stream.rdbuf(text_.rdbuf())) {}
    ~CapturedStream() { stream_.rdbuf(previous_); }
    std::string text() const { return text_.str(); }

private:
    std::ostream& stream_;
    std::ostringstream text_;
    std::streambuf* previous_;
};

class Descriptor {
public:
    explicit Descriptor(const fs::path& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~Descriptor() {
        if (fd_ >= 0) close(fd_);
    }
    int get() const { return fd_; }

private:
    int fd_;
};

// A file of `size` bytes with nothing on disk but its last byte, which is `last`.
void writeSparseFile(const fs::path& path, std::uint64_t size, char last) {
    {
        std::ofstream out(path, std::ios::binary);
        ASSERT_TRUE(out.good());
    }
    fs::resize_file(path, size - 1);
    std::ofstream out(path, std::ios::binary | std::ios::app);
    out.put(last);
    ASSERT_TRUE(out.good());
}

TEST(PackChunks, FlushDecisions) {
    const struct {
        std::uint64_t buffered, pathLength, fileSize;
        bool before;
    } cases[] = {
        // 268435000 + 13 + 5 + 438 is exactly the target: the file joins the chunk.
        {268435000, 5, 438, false},
        {268435000, 5, 439, true},
        // An empty buffer is never flushed, however large the file.
        {0, 5, 400000000, false},
        {0, 0, 0, false},
        {1, 3, 268435456, true},
        {268435456, 1, 0, true},  // directories may have taken the buffer past the target
        {100, 1, 268435342, false},
        {100, 1, 268435343, true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.buffered) + " " + std::to_string(c.fileSize));
        EXPECT_EQ(needsFlushBeforeFile(c.buffered, c.pathLength, c.fileSize), c.before);
    }
    EXPECT_FALSE(needsFlushAfterFile(0));
    EXPECT_FALSE(needsFlushAfterFile(268435455));
    EXPECT_TRUE(needsFlushAfterFile(268435456));
    EXPECT_TRUE(needsFlushAfterFile(400000000));
}

TEST(PackChunks, AppendFileDataCopiesExactlyTheStatedSize) {
    // `actual` is what the file holds when the copy starts, after the header stated `stated`.
    const struct {
        std::uint64_t stated, actual;
        std::vector<std::uint64_t> reads;  // lengths reported, for a complete copy
    } cases[] = {
        {0, 0, {}},
        {5, 5, {5}},
        {1048576, 1048576, {1048576}},
        {1048577, 1048577, {1048576, 1}},
        {3145728, 3145728, {1048576, 1048576, 1048576}},
        {5, 4, {}},              // shrank
        {5, 0, {}},              // emptied
        {5, 6, {}},              // grew
        {0, 1, {}},              // grew from empty
        {1048577, 1048576, {}},  // shrank to a block boundary
        {1048576, 1048577, {}},  // grew past a block boundary
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.stated) + " stated, " + std::to_string(c.actual) + " on disk");
        TempDir dir;
        const fs::path path = dir / "f";
        std::string content(std::max(c.stated, c.actual), '\0');
        for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7 + i / 1000);
        writeFile(path, content.substr(0, c.stated));
        const Descriptor fd(path);
        ASSERT_GE(fd.get(), 0);
        // The file changes after it was opened and measured.
        writeFile(path, content.substr(0, c.actual));

        std::vector<unsigned char> buffer = {'h', 'e', 'a', 'd'};
        std::vector<std::uint64_t> reads;
        CapturedStream err(std::cerr);
        const bool copied = appendFileData(fd.get(), c.stated, path, buffer,
                                           [&reads](std::uint64_t n) { reads.push_back(n); });
        const bool complete = c.stated == c.actual;
        EXPECT_EQ(copied, complete);
        if (complete) {
            EXPECT_EQ(reads, c.reads);
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "head" + content);
            EXPECT_EQ(err.text(), "");
        } else {
            EXPECT_EQ(std::string(buffer.begin(), buffer.end()), "head");
            EXPECT_EQ(err.text(), "File changed while packing: \"" + path.native() + "\"\n");
        }
    }
}

TEST(PackChunks, AppendFileDataRefusesAFailedRead) {
    TempDir dir;
    const Descriptor folder(dir.path());  // reading a directory fails
    std::vector<unsigned char> buffer;
    CapturedStream err(std::cerr);
    EXPECT_FALSE(appendFileData(folder.get(), 10, dir / "x\"y", buffer, [](std::uint64_t) {}));
    EXPECT_TRUE(buffer.empty());
    EXPECT_EQ(err.text(), "File changed while packing: \"" + dir.path().native() + "/x\\\"y\"\n");
}

TEST(PackChunks, PackRecordsRefusesAFileThatChangedSinceTheWalk) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeFile(src / "a.txt", "abc");
    writeFile(src / "b.txt", "defg");
    SourceScan scan;
    ASSERT_TRUE(scanSourceTree(src, scan));
    writeFile(src / "b.txt", "defghi");

    const fs::path archive = dir / "out.hlg";
    fs::create_directory(archive);
    std::ofstream manifest(archive / "manifest.txt");
    std::vector<unsigned char> buffer;
    std::uint64_t nextChunkNumber = 1;
    std::uint64_t recordsInBuffer = 0;
    const ArchiveFolder folder = testing_support::openFolder(archive);
    ChunkWriter writer{buffer, nextChunkNumber, folder, manifest, recordsInBuffer};
    CapturedOutput out;
    CapturedStream err(std::cerr);
    EXPECT_FALSE(packRecords(src, scan, writer));
    EXPECT_EQ(err.text(), "Files changed while packing: expected 7 bytes, packed 9.\n");
    // Each record itself is whole: the file was stable while it was copied.
    EXPECT_EQ(decompressFile(archive / "000001.zst"),
              recordBytes(0, "a.txt", 3, "abc") + recordBytes(0, "b.txt", 6, "defghi"));
    EXPECT_EQ(out.text().find("Archive complete"), std::string::npos);
    const std::string teardown = "\x1b[u\x1b[?25h";
    EXPECT_EQ(out.text().substr(out.text().size() - teardown.size()), teardown);
}

TEST(PackChunks, PackRecordsNeverReadsThroughWhatReplacedAnEntryAfterTheWalk) {
    // Beside the source stand look-alikes of its entries ("secret"), which a link put in
    // place of an entry, or of a folder on its way, would lead to.
    const auto replace = [](const char* entry, const char* by) {
        return [entry, by](const fs::path& src) {
            fs::remove_all(src / entry);
            if (by == std::string("pipe")) {
                ASSERT_EQ(mkfifo((src / entry).c_str(), 0644), 0);
            }
            if (by == std::string("folder")) fs::create_directory(src / entry);
            if (by[0] == '.') fs::create_symlink(by, src / entry);
        };
    };
    const struct {
        std::function<void(const fs::path& src)> change;
        const char* refused;  // the entry named in the message
    } cases[] = {
        {replace("sub/b.txt", "../../secret.txt"), "sub/b.txt"}, {replace("sub", "../secret"), "sub/b.txt"},
        {replace("sub/b.txt", "pipe"), "sub/b.txt"},             {replace("a.txt", "folder"), "a.txt"},
        {replace("a.txt", "removed"), "a.txt"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const fs::path src = dir / "src";
        writeFile(src / "a.txt", "abc");
        writeFile(src / "sub/b.txt", "defg");
        writeFile(dir / "secret.txt", "SECR");
        writeFile(dir / "secret/b.txt", "SECR");
        SourceScan scan;
        ASSERT_TRUE(scanSourceTree(src, scan));
        c.change(src);
        fs::create_directory(dir / "out.hlg");
        std::ofstream manifest(dir / "out.hlg/manifest.txt");
        std::vector<unsigned char> buffer;
        std::uint64_t nextChunkNumber = 1;
        std::uint64_t recordsInBuffer = 0;
        const ArchiveFolder folder = testing_support::openFolder(dir / "out.hlg");
        ChunkWriter writer{buffer, nextChunkNumber, folder, manifest, recordsInBuffer};
        CapturedOutput out;
        CapturedStream err(std::cerr);
        EXPECT_FALSE(packRecords(src, scan, writer));
        std::ostringstream quoted;
        quoted << (src / c.refused);
        EXPECT_EQ(err.text(), "Could not open file: " + quoted.str() + "\n");
        EXPECT_FALSE(fs::exists(dir / "out.hlg/000001.zst"));
    }
}

// The two tests below move a real 256 MiB chunk; the files are sparse, so they cost
// little disk and compress fast.
TEST(PackChunks, RecordThatReachesTheTargetExactlyClosesTheChunk) {
    TempDir dir;
    const fs::path src = dir / "src";
    fs::create_directory(src);
    writeSparseFile(src / "a", 268435000 - 14, 'A');  // a record of 268435000 bytes
    writeFile(src / "b.txt", std::string(438, 'b'));  // 456 more: exactly the target
    writeFile(src / "c", "c");

    const RunResult r = runHlg({"pack", src.native(), (dir / "out").native()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path archive = dir / "out.hlg";
    EXPECT_EQ(readFile(archive / "manifest.txt"),
              "HLG1\nTOTAL_BYTES|268435425\nTOTAL_FILES|3\nCHUNK_TARGET|268435456\n"
              "CHUNK|000001.zst|268435456|2\nCHUNK|000002.zst|15|1\n");
    {
        const std::string first = decompressFile(archive / "000001.zst");
        ASSERT_EQ(first.size(), 268435456u);
        EXPECT_EQ(first.substr(0, 14), recordBytes(0, "a", 268434986).substr(0, 14));
        EXPECT_EQ(first[268434999], 'A');
        EXPECT_EQ(first.substr(268435000), recordBytes(0, "b.txt", 438, std::string(438, 'b')));
    }
    EXPECT_EQ(decompressFile(archive / "000002.zst"), recordBytes(0, "c", 1, "c"));
    EXPECT_NE(withoutStatusArea(r.out).find("Chunks created: 2\n"), std::string::npos);
}

TEST(PackChunks, FileLargerThanTheReservationMakesAChunkOfItsOwn) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeFile(src / "a.txt", "a");
    writeSparseFile(src / "big.bin", 314572800, 'Z');  // 300 MiB
    writeFile(src / "c.txt", "c");

    const RunResult r = runHlg({"pack", src.native(), (dir / "out").native()});
    ASSERT_EQ(r.status, 0) << r.err;
    const fs::path archive = dir / "out.hlg";
    EXPECT_EQ(readFile(archive / "manifest.txt"),
              "HLG1\nTOTAL_BYTES|314572802\nTOTAL_FILES|3\nCHUNK_TARGET|268435456\n"
              "CHUNK|000001.zst|19|1\nCHUNK|000002.zst|314572820|1\nCHUNK|000003.zst|19|1\n");
    EXPECT_EQ(decompressFile(archive / "000001.zst"), recordBytes(0, "a.txt", 1, "a"));
    {
        const std::string big = decompressFile(archive / "000002.zst");
        ASSERT_EQ(big.size(), 314572820u);
        EXPECT_EQ(big.substr(0, 20), recordBytes(0, "big.bin", 314572800));
        EXPECT_EQ(big.find_first_not_of('\0', 20), big.size() - 1);
        EXPECT_EQ(big.back(), 'Z');
    }
    EXPECT_EQ(decompressFile(archive / "000003.zst"), recordBytes(0, "c.txt", 1, "c"));
    const std::vector<std::string> lines = progressLines(r.out);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines.size(), 1u + 1u + 300u + 1u + 1u);  // one report per MiB read
    EXPECT_EQ(lines.back(), "[##############################] 100%  Archive complete");
}

}  // namespace

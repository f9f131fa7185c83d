// Archives made to do harm, through the real binary: verify and extract each refuse them
// with a message, never hang (every run has a deadline), never allocate what the archive
// merely claims (address space and private memory are capped: verify may take 32 MiB,
// extract 128 MiB), and change nothing outside the archive folder and the destination
// (decoys stand where an escape would write).

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <functional>
#include <sstream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

// Sanitizers reserve terabytes of shadow memory, so a capped address space is only
// possible for a plain build.
#if defined(__SANITIZE_ADDRESS__)
constexpr bool kCanCapAddressSpace = false;
#else
constexpr bool kCanCapAddressSpace = true;
#endif

// The most private memory a run may take, whatever the archive: verify streams every chunk,
// and extract gives a hostile chunk no more room than its frames can produce. Beyond it an
// allocation fails, and the run would end in "Fatal error: " rather than its message.
constexpr std::uint64_t kVerifyMemory = 32ULL << 20;
constexpr std::uint64_t kExtractMemory = 128ULL << 20;

RunOptions guarded(std::uint64_t memory) {
    RunOptions options;
    options.timeoutSeconds = 30;
    if (kCanCapAddressSpace) {
        options.addressSpaceLimit = 1ULL << 30;
        options.dataLimit = memory;
    }
    return options;
}

// Everything in the test folder except the archive and the destination.
std::map<std::string, std::string> outside(const fs::path& dir) {
    std::map<std::string, std::string> tree;
    for (const auto& [path, content] : treeSnapshot(dir)) {
        if (path.rfind("a.hlg/", 0) != 0 && path.rfind("out/", 0) != 0) tree[path] = content;
    }
    return tree;
}

void writeManifest(const fs::path& archive, const std::string& chunkLine) {
    writeFile(archive / "manifest.txt",
              "HLG1\nTOTAL_BYTES|2\nTOTAL_FILES|1\nCHUNK_TARGET|268435456\n" + chunkLine + "\n");
}

struct Hostile {
    std::string what;
    std::function<void(const fs::path& dir, const fs::path& archive)> make;
    // "{chunk}" stands for the quoted chunk path, "{dir}" for the test folder's path.
    std::string verifyErr;
    std::string extractErr;
};

// Compares messages that may run to many MiB, showing only where they part.
testing::AssertionResult sameText(const std::string& actual, const std::string& expected) {
    if (actual == expected) return testing::AssertionSuccess();
    const std::size_t at = static_cast<std::size_t>(
        std::mismatch(actual.begin(), actual.begin() + std::min(actual.size(), expected.size()), expected.begin()).first -
        actual.begin());
    const std::size_t from = at < 60 ? 0 : at - 60;
    return testing::AssertionFailure() << "texts of " << actual.size() << " and " << expected.size()
                                       << " bytes part at byte " << at << ":\n  " << actual.substr(from, 120)
                                       << "\n  " << expected.substr(from, 120);
}

void expectRefused(const Hostile& h) {
    SCOPED_TRACE(h.what);
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    fs::create_directories(archive);
    writeFile(dir / "x", "decoy");
    writeFile(dir / "abs-decoy", "decoy");
    h.make(dir.path(), archive);
    const auto archiveBefore = treeSnapshot(archive);
    const auto outsideBefore = outside(dir.path());
    const auto expand = [&](std::string text) {
        for (const auto& [from, to] : {std::pair<std::string, std::string>{"{chunk}", quoted(archive / "000001.zst")},
                                       {"{dir}", dir.path().string()}}) {
            for (std::size_t at; (at = text.find(from)) != std::string::npos;) text.replace(at, from.size(), to);
        }
        return text;
    };

    const RunResult verify = runHlg({"verify", archive.string()}, guarded(kVerifyMemory));
    EXPECT_EQ(verify.status, 1);
    EXPECT_TRUE(sameText(verify.err, expand(h.verifyErr)));
    EXPECT_EQ(treeSnapshot(archive), archiveBefore);

    // With a marker, so that extract's own checks meet the archive.
    const std::string marker = "HLG1\nFILES|0\nBYTES|0\nCHUNKS|0\n";
    writeFile(archive / ".verified", marker);
    auto withMarker = archiveBefore;
    withMarker[".verified"] = marker;
    const RunResult extract = runHlg({"extract", archive.string(), (dir / "out").string()}, guarded(kExtractMemory));
    EXPECT_EQ(extract.status, 1);
    EXPECT_TRUE(sameText(extract.err, expand(h.extractErr)));
    EXPECT_EQ(treeSnapshot(archive), withMarker);
    EXPECT_EQ(outside(dir.path()), outsideBefore);
}

// One chunk: a harmless file, then the given record.
std::function<void(const fs::path&, const fs::path&)> chunkEndingWith(
    std::function<std::string(const fs::path& dir)> record) {
    return [record](const fs::path& dir, const fs::path& archive) {
        writeTestArchive(archive, 3, 2,
                         {{"000001.zst", {recordBytes(0, "ok.txt", 2, "ok"), record(dir)}}}, false);
    };
}

// A frame with a 2 MiB window and no stated content size, then the given blocks, the last
// marked as such.
std::string frameOfBlocks(const std::vector<std::string>& blocks) {
    std::string frame("\x28\xb5\x2f\xfd\x00\x58", 6);
    for (std::size_t i = 0; i < blocks.size(); ++i) {
        std::string block = blocks[i];
        block[0] = static_cast<char>(block[0] | (i + 1 == blocks.size()));
        frame += block;
    }
    return frame;
}

// A block header (type 0 raw, 1 RLE, 2 compressed) stating `size`, and what it stores.
std::string block(unsigned type, std::uint32_t size, const std::string& stored) {
    const std::uint32_t header = size << 3 | type << 1;
    return std::string{static_cast<char>(header), static_cast<char>(header >> 8), static_cast<char>(header >> 16)} +
           stored;
}

std::string unsafe(const std::string& path) {
    return "Unsafe path found in archive: " + path + "\nVerification failed in chunk: 000001.zst\n";
}

TEST(HostileArchive, RefusedWithAMessageAndNothingOutsideChanges) {
    const std::string okRecord = recordBytes(0, "ok.txt", 2, "ok");
    const std::string unexpectedSize = "Chunk decompressed to an unexpected size: \"000001.zst\"\n";
    const std::string cannotOpen = "Could not open chunk: {chunk}\n";
    const std::string noManifest = "Could not open archive manifest.\n";
    const std::string notAFrame = "Decompression failed for \"000001.zst\": Unknown frame descriptor\n";
    // The chunk file's bytes, and the size its line states.
    const auto chunkFile = [](std::string file, std::string size) {
        return [file, size](const fs::path&, const fs::path& archive) {
            writeFile(archive / "000001.zst", file);
            writeManifest(archive, "CHUNK|000001.zst|" + size + "|1");
        };
    };
    const auto stating = [&](const std::string& size) { return chunkFile(compressFrame(okRecord), size); };
    const auto chunkAt = [okRecord](std::function<void(const fs::path&)> plant) {
        return [okRecord, plant](const fs::path&, const fs::path& archive) {
            writeManifest(archive, "CHUNK|000001.zst|" + std::to_string(okRecord.size()) + "|1");
            plant(archive / "000001.zst");
        };
    };
    const auto manifestAt = [okRecord](std::function<void(const fs::path&)> plant) {
        return [okRecord, plant](const fs::path&, const fs::path& archive) {
            writeFile(archive / "000001.zst", compressFrame(okRecord));
            plant(archive / "manifest.txt");
        };
    };
    const auto fifo = [](const fs::path& path) { ASSERT_EQ(mkfifo(path.c_str(), 0644), 0); };
    const std::string decompressionFailed = "Decompression failed for \"000001.zst\": ";
    // 8 KiB of RLE blocks each stating 2 MiB, far above the 128 KiB a block may hold.
    const std::string oversizedRuns = frameOfBlocks(std::vector<std::string>(2048, block(1, (1u << 21) - 1, "x")));
    // 2 MB of compressed blocks of two bytes: no literals, no sequences.
    const std::string emptyBlocks = frameOfBlocks(std::vector<std::string>(400000, block(2, 2, std::string(2, '\0'))));
    const std::string oneTiB = "1099511627776";
    // Paths of 64 MiB that compress to almost nothing: verify passes over them, holding a
    // few MiB. The unsafe one shows whole, with sequences cut where its text is written in
    // pieces of 64 KiB.
    std::string longPath;
    for (std::size_t i = 0; i < (32u << 20); ++i) longPath += "a/";
    const std::string unsafeLongPath =
        longPath.substr(0, 65535) + "\xc3\xa9" + longPath.substr(0, 65534) + "\xc2\x85" + longPath + "..";
    std::string shownUnsafeLongPath = unsafeLongPath;
    shownUnsafeLongPath.replace(2 * 65536 - 1, 2, "\\xc2\\x85");

    const std::vector<Hostile> cases = {
        {"record path ../x", chunkEndingWith([](auto&) { return recordBytes(0, "../x", 4, "evil"); }),
         unsafe("../x"), "Unsafe path in archive: ../x\n"},
        {"absolute record path",
         chunkEndingWith([](auto& dir) { return recordBytes(0, (dir / "abs-decoy").string(), 4, "evil"); }),
         unsafe("{dir}/abs-decoy"), "Unsafe path in archive: {dir}/abs-decoy\n"},
        {"record path a/../../x", chunkEndingWith([](auto&) { return recordBytes(1, "a/../../x", 0); }),
         unsafe("a/../../x"), "Unsafe path in archive: a/../../x\n"},
        {"stated size 2^63", stating("9223372036854775808"), unexpectedSize, unexpectedSize},
        {"stated size beyond the frame's", stating(std::to_string(okRecord.size() + 1000)),
         unexpectedSize, unexpectedSize},
        {"named pipe at the chunk", chunkAt(fifo), cannotOpen, cannotOpen},
        {"no Zstandard frame, stated size 1 TiB", chunkFile("not a Zstandard frame at all", oneTiB), notAFrame,
         notAFrame},
        {"named pipe at manifest.txt", manifestAt(fifo), noManifest, noManifest},
        {"RLE blocks above the block maximum, stated size 4 GiB", chunkFile(oversizedRuns, "4294967296"),
         decompressionFailed + "Data corruption detected\n", decompressionFailed + "Destination buffer is too small\n"},
        {"RLE blocks above the block maximum, stated size 1 TiB", chunkFile(oversizedRuns, oneTiB),
         decompressionFailed + "Data corruption detected\n", decompressionFailed + "Destination buffer is too small\n"},
        {"compressed blocks that produce nothing, stated size 1 TiB", chunkFile(emptyBlocks, oneTiB),
         unexpectedSize, unexpectedSize},
        {"sparse chunk file of 10 GiB",
         chunkAt([](const fs::path& path) {
             writeFile(path, "");
             ASSERT_EQ(truncate(path.c_str(), off_t{10} << 30), 0);
         }),
         notAFrame, notAFrame},
        {"safe path of 64 MiB, unknown type", chunkEndingWith([&](auto&) { return recordBytes(7, longPath, 0); }),
         "Unknown record type: 7\nVerification failed in chunk: 000001.zst\n", "Unknown record type.\n"},
        {"unsafe path of 64 MiB", chunkEndingWith([&](auto&) { return recordBytes(0, unsafeLongPath, 4, "evil"); }),
         unsafe(shownUnsafeLongPath), "Unsafe path in archive: " + shownUnsafeLongPath + "\n"},
    };
    for (const Hostile& h : cases) expectRefused(h);
}

// A frame whose header claims far more content than its blocks can produce must be
// refused from what it holds, before the claim is allocated: a 40-byte chunk file must
// not make verify or extract reserve gigabytes.
TEST(HostileArchive, FrameClaimingMoreThanItHoldsIsRefusedBeforeTheClaimIsAllocated) {
    if (!kCanCapAddressSpace) GTEST_SKIP() << "the address space of a sanitized binary cannot be capped";
    const std::uint64_t claim = 3ULL << 30;
    const std::string unexpectedSize = "Chunk decompressed to an unexpected size: \"000001.zst\"\n";
    // A frame of one segment needs a window of its whole content to be streamed.
    const Hostile h{"frame claiming 3 GiB",
                    [claim](const fs::path&, const fs::path& archive) {
                        writeFile(archive / "000001.zst", frameClaiming(claim, recordBytes(0, "a", 1, "x")));
                        writeManifest(archive, "CHUNK|000001.zst|" + std::to_string(claim) + "|1");
                    },
                    "Decompression failed for \"000001.zst\": Frame requires too much memory for decoding\n",
                    unexpectedSize};
    expectRefused(h);
    // A path length that the stated size allows but no window can take within the cap, in
    // a frame that holds 16 bytes.
    const Hostile path{"path of 2^32-1 bytes",
                       [](const fs::path&, const fs::path& archive) {
                           writeFile(archive / "000001.zst", compressFrame(recordHeaderBytes(0, 0xffffffffu, 0) + "abc"));
                           writeManifest(archive, "CHUNK|000001.zst|" + std::to_string(5ULL << 30) + "|1");
                       },
                       unexpectedSize, unexpectedSize};
    expectRefused(path);
}

}  // namespace

// The pack command as a user meets it: the real binary on real trees, exact files,
// output and status.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

const std::string kTeardown = "\x1b[s\x1b[23;1H\x1b[2K\x1b[24;1H\x1b[2K\x1b[u\x1b[?25h";

std::string manifestHeader(std::uint64_t bytes, std::uint64_t files) {
    return "HLG1\nTOTAL_BYTES|" + std::to_string(bytes) + "\nTOTAL_FILES|" + std::to_string(files) +
           "\nCHUNK_TARGET|268435456\n";
}

std::vector<std::string> namesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) names.push_back(entry.path().filename());
    std::sort(names.begin(), names.end());
    return names;
}

// Runs "hlg pack <source> <archive>" with the temporary folder as working directory.
RunResult pack(const TempDir& dir, const std::string& source, const std::string& archive,
               RunOptions options = {}) {
    options.workingDirectory = dir.path();
    return runHlg({"pack", source, archive}, options);
}

std::string ratio(std::uint64_t archiveSize, std::uint64_t totalBytes) {
    char text[64];
    std::snprintf(text, sizeof text, "%.2f",
                  static_cast<double>(archiveSize) / static_cast<double>(totalBytes) * 100.0);
    return text;
}

// The labels of the progress lines, without bar and percentage.
std::vector<std::string> labels(const std::string& out) {
    std::vector<std::string> result;
    for (const std::string& line : progressLines(out)) result.push_back(line.substr(line.find("%  ") + 3));
    return result;
}

TEST(Pack, ExampleTreeGivesExactArchiveAndSummary) {
    TempDir dir;
    writeFile(dir / "src" / "b.bin", "0123456789");
    writeFile(dir / "src" / "docs" / "a.txt", "hello");

    const RunResult r = pack(dir, "src", "backup");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");

    const fs::path archive = dir / "backup.hlg";
    EXPECT_EQ(namesIn(archive), (std::vector<std::string>{"000001.zst", "manifest.txt"}));
    const std::string manifest = readFile(archive / "manifest.txt");
    EXPECT_EQ(manifest, "HLG1\nTOTAL_BYTES|15\nTOTAL_FILES|2\nCHUNK_TARGET|268435456\nCHUNK|000001.zst|73|3\n");
    EXPECT_EQ(manifest.size(), 79u);
    const std::string records = recordBytes(0, "b.bin", 10, "0123456789") + recordBytes(1, "docs", 0) +
                                recordBytes(0, "docs/a.txt", 5, "hello");
    EXPECT_EQ(decompressFile(archive / "000001.zst"), records);
    const std::string chunk = readFile(archive / "000001.zst");
    EXPECT_EQ(chunk, checksummedFrame(records));

    const std::uint64_t archiveSize = 79 + chunk.size();
    EXPECT_EQ(withoutStatusArea(r.out),
              "\nArchive created: \"backup.hlg\"\n"
              "Files packed: 2\n"
              "Chunks created: 1\n"
              "Original size: 15 bytes\n"
              "Archive size: " + std::to_string(archiveSize) + " bytes\n"
              "Size ratio: " + ratio(archiveSize, 15) + "%\n"
              "\n"
              "Recommended next step:\n"
              "  ./build/hlg verify \"backup.hlg\"\n");
    EXPECT_EQ(progressLines(r.out),
              (std::vector<std::string>{"[------------------------------] 0%  Preparing archive...",
                                        "[####################----------] 66%  Packing: b.bin",
                                        "[##############################] 100%  Packing: docs/a.txt",
                                        "[##############################] 100%  Archive complete"}));
    EXPECT_EQ(r.out.rfind("\x1b[?25l", 0), 0u);
    // The status area is gone before the summary starts.
    EXPECT_NE(r.out.find(kTeardown + "\nArchive created: "), std::string::npos);
}

TEST(Pack, EmptySourceGivesHeaderOnlyArchive) {
    TempDir dir;
    fs::create_directory(dir / "src");
    const RunResult r = pack(dir, "src", "empty");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(namesIn(dir / "empty.hlg"), std::vector<std::string>{"manifest.txt"});
    const std::string manifest = readFile(dir / "empty.hlg" / "manifest.txt");
    EXPECT_EQ(manifest, manifestHeader(0, 0));
    EXPECT_EQ(manifest.size(), 56u);
    EXPECT_EQ(withoutStatusArea(r.out),
              "\nArchive created: \"empty.hlg\"\n"
              "Files packed: 0\n"
              "Chunks created: 0\n"
              "Original size: 0 bytes\n"
              "Archive size: 56 bytes\n"
              "\n"
              "Recommended next step:\n"
              "  ./build/hlg verify \"empty.hlg\"\n");
    EXPECT_EQ(progressLines(r.out),
              (std::vector<std::string>{"[------------------------------] 0%  Preparing archive...",
                                        "[------------------------------] 0%  Archive complete"}));
}

TEST(Pack, KeepsEmptyFoldersAndFilesSkipsLinksAndPipes) {
    TempDir dir;
    const fs::path src = dir / "src";
    writeFile(src / "empty.txt", "");
    fs::create_directories(src / "hollow" / "deeper");
    writeFile(dir / "elsewhere" / "secret.txt", "not in the archive");
    fs::create_symlink("empty.txt", src / "to-file");
    fs::create_symlink(dir / "elsewhere", src / "to-folder");
    fs::create_symlink("nowhere", src / "dangling");
    ASSERT_EQ(mkfifo((src / "pipe").c_str(), 0600), 0);

    const RunResult r = pack(dir, "src", "a");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "a.hlg" / "manifest.txt"), manifestHeader(0, 1) + "CHUNK|000001.zst|67|3\n");
    EXPECT_EQ(decompressFile(dir / "a.hlg" / "000001.zst"),
              recordBytes(0, "empty.txt", 0) + recordBytes(1, "hollow", 0) +
                  recordBytes(1, "hollow/deeper", 0));
    // An empty file is counted but never reported; no ratio for an empty total.
    EXPECT_EQ(labels(r.out), (std::vector<std::string>{"Preparing archive...", "Archive complete"}));
    EXPECT_NE(r.out.find("Files packed: 1\nChunks created: 1\nOriginal size: 0 bytes\n"), std::string::npos);
    EXPECT_EQ(r.out.find("Size ratio: "), std::string::npos);
}

TEST(Pack, SourceWrittenDifferentlyGivesTheSameArchive) {
    TempDir dir;
    writeFile(dir / "src" / "a" / "x.txt", "xx");
    writeFile(dir / "src" / "a-b", "ab");
    writeFile(dir / "src" / "B", "B");
    const std::vector<std::string> sources = {"src", "src/", "./src", "src//"};
    for (std::size_t i = 0; i < sources.size(); ++i) {
        const RunResult r = pack(dir, sources[i], "out" + std::to_string(i));
        ASSERT_EQ(r.status, 0) << sources[i] << ": " << r.err;
    }
    const std::string manifest = readFile(dir / "out0.hlg" / "manifest.txt");
    const std::string chunk = readFile(dir / "out0.hlg" / "000001.zst");
    EXPECT_EQ(decompressFile(dir / "out0.hlg" / "000001.zst"),
              recordBytes(0, "B", 1, "B") + recordBytes(1, "a", 0) + recordBytes(0, "a-b", 2, "ab") +
                  recordBytes(0, "a/x.txt", 2, "xx"));
    for (std::size_t i = 1; i < sources.size(); ++i) {
        SCOPED_TRACE(sources[i]);
        const fs::path archive = dir / ("out" + std::to_string(i) + ".hlg");
        EXPECT_EQ(readFile(archive / "manifest.txt"), manifest);
        EXPECT_EQ(readFile(archive / "000001.zst"), chunk);
    }
}

TEST(Pack, ArchiveArgumentBecomesTheArchiveFolder) {
    const struct {
        const char* argument;
        const char* folder;
    } cases[] = {
        {"backup", "backup.hlg"}, {"backup.hlg", "backup.hlg"}, {"out/", "out.hlg"},
        {"out.hlg//", "out.hlg"}, {"a.tar", "a.tar.hlg"},       {"a.HLG", "a.HLG.hlg"},
        {"new/deep/x", "new/deep/x.hlg"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        TempDir dir;
        writeFile(dir / "src" / "f", "f");
        const RunResult r = pack(dir, "src", c.argument);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_TRUE(fs::is_regular_file(dir / c.folder / "manifest.txt"));
        const std::string out = withoutStatusArea(r.out);
        EXPECT_NE(out.find(std::string("\nArchive created: \"") + c.folder + "\"\n"), std::string::npos);
        EXPECT_NE(out.find(std::string("  ./build/hlg verify \"") + c.folder + "\"\n"), std::string::npos);
    }
}

TEST(Pack, RefusesAnEmptyArchiveArgumentAndAMissingSource) {
    TempDir dir;
    writeFile(dir / "src" / "f", "f");
    writeFile(dir / "plain-file", "x");
    RunResult r = pack(dir, "src", "");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    EXPECT_EQ(r.out, "");
    for (const char* source : {"missing", "plain-file"}) {
        r = pack(dir, source, "out");
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Source folder does not exist or is not a directory.\n");
        EXPECT_EQ(r.out, "");
    }
    EXPECT_EQ(namesIn(dir.path()), (std::vector<std::string>{"plain-file", "src"}));
}

TEST(Pack, RefusesAnythingAtTheArchivePath) {
    TempDir dir;
    writeFile(dir / "src" / "f", "f");
    fs::create_directory(dir / "we\"ird\\dir.hlg");
    writeFile(dir / "file.hlg", "keep me");
    fs::create_directory(dir / "target");
    fs::create_symlink("target", dir / "link.hlg");
    // Nothing by the check before the walk, but the folder is not made where it stands.
    fs::create_symlink("nowhere", dir / "dangling.hlg");
    const struct {
        const char* argument;
        const char* err;
    } cases[] = {
        {"we\"ird\\dir", "Archive already exists: \"we\\\"ird\\\\dir.hlg\"\n"},
        {"file", "Archive already exists: \"file.hlg\"\n"},
        {"link.hlg", "Archive already exists: \"link.hlg\"\n"},
        {"dangling", "Archive already exists: \"dangling.hlg\"\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.argument);
        const RunResult r = pack(dir, "src", c.argument);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
    }
    EXPECT_TRUE(fs::is_empty(dir / "we\"ird\\dir.hlg"));
    EXPECT_EQ(readFile(dir / "file.hlg"), "keep me");
    EXPECT_TRUE(fs::is_empty(dir / "target"));
    EXPECT_FALSE(fs::exists(dir / "nowhere"));
}

// The walk is held up by a tracer at its first listing, long enough to make the archive
// folder after the check before the walk.
TEST(Pack, ArchiveThatAppearsDuringTheWalkIsRefusedAndKept) {
    if (std::system("strace -V >/dev/null 2>&1") != 0) GTEST_SKIP() << "strace is missing";
    TempDir dir;
    writeFile(dir / "src" / "f", "f");
    const fs::path trace = dir / "trace.txt";
    const fs::path archive = dir / "out.hlg";
    // The leak checker of a sanitized build cannot run under a tracer.
    HlgProcess run({"pack", (dir / "src").string(), (dir / "out").string()}, dir / "output.txt",
                   {"strace", "-qq", "-o", trace.string(), "-E", "ASAN_OPTIONS=detect_leaks=0", "-e",
                    "trace=getdents64", "-e", "inject=getdents64:delay_enter=3000000:when=1"});
    // The first listing's call is written to the trace as it starts, before its delay.
    const auto listing = [&trace] {
        return fs::exists(trace) && readFile(trace).find("getdents64(") != std::string::npos;
    };
    while (!listing() && run.running()) usleep(5000);
    fs::create_directory(archive);
    writeFile(archive / "manifest.txt", "planted");
    EXPECT_EQ(run.wait(), 1);
    EXPECT_EQ(readFile(dir / "output.txt"), "Archive already exists: \"" + archive.string() + "\"\n");
    EXPECT_EQ(namesIn(archive), std::vector<std::string>{"manifest.txt"});
    EXPECT_EQ(readFile(archive / "manifest.txt"), "planted");
}

// A closed standard descriptor is not taken by a file that pack opens, where the status
// area would be drawn into the manifest; only what is shown changes.
TEST(Pack, ClosedStandardDescriptorsLeaveTheArchiveAsItIs) {
    TempDir dir;
    writeFile(dir / "src" / "f.txt", "x");
    const std::vector<std::vector<int>> cases = {{1}, {0}, {2}, {1, 2}, {0, 1, 2}};
    for (std::size_t i = 0; i < cases.size(); ++i) {
        std::string closed;
        for (int fd : cases[i]) closed += std::to_string(fd) + " ";
        SCOPED_TRACE("closed: " + closed);
        RunOptions options;
        options.closedDescriptors = cases[i];
        const std::string archive = "out" + std::to_string(i);
        const RunResult r = pack(dir, "src", archive, options);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const bool outputOpen = closed.find('1') == std::string::npos;
        EXPECT_EQ(r.out.find("Archive created: ") != std::string::npos, outputOpen);
        const fs::path folder = dir / (archive + ".hlg");
        EXPECT_EQ(namesIn(folder), (std::vector<std::string>{"000001.zst", "manifest.txt"}));
        EXPECT_EQ(readFile(folder / "manifest.txt"), manifestHeader(1, 1) + "CHUNK|000001.zst|19|1\n");
        EXPECT_EQ(decompressFile(folder / "000001.zst"), recordBytes(0, "f.txt", 1, "x"));
    }
}

// Control characters are escaped in both, after the quoting of the first.
TEST(Pack, SummaryQuotesTheArchivePathButTheCommandKeepsItAsIs) {
    TempDir dir;
    writeFile(dir / "src" / "f", "f");
    const RunResult r = pack(dir, "src", "q\"b\\s\x1b[2J");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string out = withoutStatusArea(r.out);
    EXPECT_NE(out.find("\nArchive created: \"q\\\"b\\\\s\\x1b[2J.hlg\"\n"), std::string::npos);
    EXPECT_NE(out.find("\n  ./build/hlg verify \"q\"b\\s\\x1b[2J.hlg\"\n"), std::string::npos);
}

TEST(Pack, ArchiveInsideTheSourceIsNotPackedIntoItself) {
    TempDir dir;
    writeFile(dir / "src" / "f.txt", "x");
    const RunResult r = pack(dir, "src", "src/inner");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(dir / "src" / "inner.hlg" / "manifest.txt"),
              manifestHeader(1, 1) + "CHUNK|000001.zst|19|1\n");
    EXPECT_EQ(decompressFile(dir / "src" / "inner.hlg" / "000001.zst"), recordBytes(0, "f.txt", 1, "x"));
}

TEST(Pack, ReportsOncePerReadOfAtMostAMebibyte) {
    TempDir dir;
    writeFile(dir / "src" / "a.bin", std::string(1048576, 'a'));
    writeFile(dir / "src" / "b.bin", std::string(1048577, 'b'));
    const RunResult r = pack(dir, "src", "out");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(labels(r.out), (std::vector<std::string>{"Preparing archive...", "Packing: a.bin",
                                                       "Packing: b.bin", "Packing: b.bin",
                                                       "Archive complete"}));
    const std::vector<std::string> lines = progressLines(r.out);
    EXPECT_EQ(lines[1], "[##############----------------] 49%  Packing: a.bin");
    EXPECT_EQ(lines[2], "[#############################-] 99%  Packing: b.bin");
    EXPECT_EQ(lines[3], "[##############################] 100%  Packing: b.bin");
}

// Permission bits do not stop root, so these run the program as an ordinary user.
TEST(Pack, UnreadableFolderSourceOrFileIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    TempDir dir;
    fs::create_directory(dir / "out");
    fs::permissions(dir / "out", fs::perms::all);
    // A folder below the source, the source itself, and a folder that may be listed but
    // not searched: the user would otherwise believe their content archived.
    writeFile(dir / "src" / "locked" / "inside.txt", "hidden");
    writeFile(dir / "src" / "ok.txt", "ok");
    fs::permissions(dir / "src" / "locked", fs::perms::none);
    writeFile(dir / "closed" / "inside.txt", "hidden");
    fs::permissions(dir / "closed", fs::perms::none);
    writeFile(dir / "src2" / "listable" / "inside.txt", "hidden");
    fs::permissions(dir / "src2" / "listable", fs::perms::owner_read | fs::perms::others_read);

    RunOptions asNobody;
    asNobody.asNobody = true;
    const struct {
        const char* source;
        const char* archive;
        const char* err;
    } refusals[] = {
        {"src", "out/a", "Could not read folder: \"src/locked\"\n"},
        {"closed", "out/b", "Could not read folder: \"closed\"\n"},
        {"src2/", "out/c", "Could not read folder: \"src2/listable\"\n"},
    };
    for (const auto& c : refusals) {
        SCOPED_TRACE(c.source);
        const RunResult r = pack(dir, c.source, c.archive, asNobody);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, "");
        EXPECT_FALSE(fs::exists(dir / (std::string(c.archive) + ".hlg")));
    }

    writeFile(dir / "src3" / "a.txt", "a");
    writeFile(dir / "src3" / "secret.txt", "s");
    fs::permissions(dir / "src3" / "secret.txt", fs::perms::none);
    const std::string source = (dir / "src3").native();
    const RunResult r = pack(dir, source, "out/d", asNobody);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not open file: \"" + source + "/secret.txt\"\n");
    EXPECT_EQ(r.out.find("Archive created: "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - kTeardown.size()), kTeardown);
    // Nothing was flushed before the refusal: the manifest keeps its header alone.
    EXPECT_EQ(namesIn(dir / "out" / "d.hlg"), std::vector<std::string>{"manifest.txt"});
    EXPECT_EQ(readFile(dir / "out" / "d.hlg" / "manifest.txt"), manifestHeader(2, 2));
}

// Every "CHUNK" line names a chunk file that holds all of its compressed bytes.
void expectChunkLinesComplete(const fs::path& archive) {
    const std::string manifest = readFile(archive / "manifest.txt");
    std::size_t at = 0;
    while ((at = manifest.find("CHUNK|", at)) != std::string::npos) {
        const std::size_t nameEnd = manifest.find('|', at + 6);
        const std::size_t sizeEnd = manifest.find('|', nameEnd + 1);
        if (manifest.find('\n', at) == std::string::npos || sizeEnd == std::string::npos) break;
        const std::string name = manifest.substr(at + 6, nameEnd - at - 6);
        const std::uint64_t rawSize = std::stoull(manifest.substr(nameEnd + 1, sizeEnd - nameEnd - 1));
        EXPECT_EQ(decompressFile(archive / name).size(), rawSize) << name;
        at = sizeEnd;
    }
}

TEST(Pack, ChunkThatCannotBeWrittenIsReportedWithoutSummary) {
    TempDir dir;
    std::string data(1000, '\0');
    std::uint32_t state = 12345;
    for (char& c : data) c = static_cast<char>((state = state * 1103515245u + 12345u) >> 24);
    writeFile(dir / "src" / "data.bin", data);
    ASSERT_GT(compressFrame(recordBytes(0, "data.bin", 1000, data)).size(), 200u);

    RunOptions limited;
    limited.fileSizeLimit = 200;
    const RunResult r = pack(dir, "src", "out", limited);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Could not write chunk: \"out.hlg/000001.zst\"\n");
    EXPECT_EQ(r.out.find("Archive created: "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - kTeardown.size()), kTeardown);
    EXPECT_EQ(readFile(dir / "out.hlg" / "manifest.txt"), manifestHeader(1000, 1));
    expectChunkLinesComplete(dir / "out.hlg");
}

TEST(Pack, ManifestThatCannotBeWrittenFailsWithoutSummary) {
    TempDir dir;
    writeFile(dir / "one" / "a", "x");
    fs::create_directory(dir / "none");
    const std::uint64_t chunkSize = checksummedFrame(recordBytes(0, "a", 1, "x")).size();
    ASSERT_LT(chunkSize + 1, manifestHeader(1, 1).size());

    // The chunk fits under the limit, the manifest does not: the failure shows when the
    // chunk's line is flushed, or, without any chunk, when the manifest is closed.
    const struct {
        const char* source;
        std::uint64_t limit;
    } cases[] = {{"one", chunkSize + 1}, {"none", 30}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.source);
        RunOptions limited;
        limited.fileSizeLimit = c.limit;
        const std::string archive = std::string(c.source) + "-out";
        const RunResult r = pack(dir, c.source, archive, limited);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Could not write manifest.\n");
        EXPECT_EQ(r.out.find("Archive created: "), std::string::npos);
        EXPECT_EQ(r.out.substr(r.out.size() - kTeardown.size()), kTeardown);
        expectChunkLinesComplete(dir / (archive + ".hlg"));
    }
}

}  // namespace

// The extract command as a user meets it: hand-made archives, the real binary, exact
// output, status, and what is left on disk on both sides.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <map>
#include <sstream>

#include <zstd.h>
#include <zstd_errors.h>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

using HandChunk = ArchiveChunk;

void writeArchive(const fs::path& archive, std::uint64_t totalBytes, std::uint64_t totalFiles,
                  const std::vector<HandChunk>& chunks, bool marker = true) {
    writeTestArchive(archive, totalBytes, totalFiles, chunks, marker);
}

const std::string kBinary("\0\x01\xff bin\n\r", 9);

// Two chunks: folders (one empty), files at several depths, an empty file. 4 files, 24 bytes.
std::vector<HandChunk> sampleChunks() {
    return {
        {"000001.zst",
         {recordBytes(1, "docs", 0), recordBytes(0, "docs/a.txt", 5, "hello"),
          recordBytes(1, "empty", 0), recordBytes(0, "b.bin", kBinary.size(), kBinary)}},
        {"000002.zst",
         {recordBytes(1, "deep", 0), recordBytes(1, "deep/er", 0),
          recordBytes(0, "deep/er/c.txt", 10, "third file"), recordBytes(0, "z.txt", 0)}},
    };
}

const std::map<std::string, std::string> kSampleTree = {
    {"b.bin", kBinary},   {"deep/", ""},      {"deep/er/", ""}, {"deep/er/c.txt", "third file"},
    {"docs/", ""},        {"docs/a.txt", "hello"}, {"empty/", ""}, {"z.txt", ""},
};

void writeSampleArchive(const fs::path& archive, bool marker = true) {
    writeArchive(archive, 24, 4, sampleChunks(), marker);
}

std::string summary(std::uint64_t expected, std::uint64_t files, std::uint64_t chunks,
                    std::uint64_t bytes, bool deleted) {
    return "\nExtraction complete.\nFiles expected: " + std::to_string(expected) +
           "\nFiles extracted: " + std::to_string(files) + "\nChunks consumed: " +
           std::to_string(chunks) + "\nBytes extracted: " + std::to_string(bytes) +
           "\nArchive deleted: " + (deleted ? "yes" : "no") + "\n";
}

RunOptions answering(const std::optional<std::string>& answer) {
    RunOptions options;
    options.stdinText = answer;
    return options;
}

// The labels of the progress lines, without bar and percentage.
std::vector<std::string> progressLabels(const std::string& out) {
    std::vector<std::string> labels;
    for (const std::string& line : progressLines(out)) {
        const std::size_t at = line.find("%  ");
        labels.push_back(at == std::string::npos ? line : line.substr(at + 3));
    }
    return labels;
}

const std::string kMarkerFound = "Verification marker found.\n";
const std::string kPrompt =
    "\nThis archive has not been verified.\n"
    "Extraction consumes and deletes archive chunks.\n"
    "Verify it now? [Y/n] ";
const std::string kVerifiedSample =
    "\nVerification successful.\nChunks verified: 2\nFiles verified: 4\n"
    "Bytes verified: 24\nArchive is safe to extract.\n";

TEST(Extract, RestoresEveryEntryAndConsumesTheArchive) {
    TempDir dir;
    const fs::path archive = dir / "backup.hlg";
    writeSampleArchive(archive);
    // The ".hlg" rule applies to the argument; the destination gets missing parents.
    const RunResult r = runHlg({"extract", (dir / "backup").string(), (dir / "out/here").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound + summary(4, 4, 2, 24, true));
    EXPECT_EQ(treeSnapshot(dir / "out/here"), kSampleTree);
    EXPECT_FALSE(fs::exists(archive));

    const std::vector<std::string> expectedLabels = {
        "Preparing extraction...", "Decompressing: 000001.zst", "Creating: docs",
        "Extracting: docs/a.txt", "Creating: empty", "Extracting: b.bin",
        "Consumed: 000001.zst", "Decompressing: 000002.zst", "Creating: deep",
        "Creating: deep/er", "Extracting: deep/er/c.txt", "Consumed: 000002.zst",
        "Extraction complete"};
    EXPECT_EQ(progressLabels(r.out), expectedLabels);
}

TEST(Extract, AnswerAtThePromptCancelsOrVerifiesFirst) {
    struct Case {
        std::optional<std::string> answer;
        bool cancels;
    };
    const std::vector<Case> cases = {
        {std::string("n\n"), true},  {std::string("N\n"), true},
        {std::string("no\n"), true}, {std::string("No"), true},
        {std::string(""), false},    {std::string("\n"), false},
        {std::string("Y\n"), false}, {std::string("yes\n"), false},
        {std::string(" n\n"), false}, {std::string("x\nn\n"), false},
        {std::nullopt, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.answer ? "answer \"" + *c.answer + "\"" : std::string("end of input"));
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        writeSampleArchive(archive, false);
        const RunResult r =
            runHlg({"extract", archive.string(), (dir / "out").string()}, answering(c.answer));
        if (c.cancels) {
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, kPrompt + "Extraction cancelled.\n");
            EXPECT_EQ(r.err, "");
            EXPECT_FALSE(fs::exists(dir / "out"));
            EXPECT_TRUE(fs::exists(archive / "000001.zst"));
            EXPECT_FALSE(fs::exists(archive / ".verified"));
        } else {
            EXPECT_EQ(r.status, 0);
            EXPECT_EQ(r.err, "");
            EXPECT_EQ(withoutStatusArea(r.out),
                      kPrompt + "\n" + kVerifiedSample + summary(4, 4, 2, 24, true));
            EXPECT_EQ(treeSnapshot(dir / "out"), kSampleTree);
            EXPECT_FALSE(fs::exists(archive));
        }
    }
}

TEST(Extract, FailedVerificationCreatesNothing) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    std::vector<HandChunk> chunks = sampleChunks();
    chunks[1].records.push_back(recordBytes(9, "odd", 0));
    writeArchive(archive, 24, 4, chunks, false);
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()}, answering("\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(withoutStatusArea(r.out), kPrompt + "\n");
    // Verify's own messages come first; extract adds its line after them.
    const std::string cancelled = "\nVerification failed. Extraction has been cancelled.\n";
    ASSERT_GT(r.err.size(), cancelled.size());
    EXPECT_EQ(r.err.substr(r.err.size() - cancelled.size()), cancelled);
    EXPECT_NE(r.err.find("Verification failed in chunk: 000002.zst\n"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_TRUE(fs::exists(archive / "000001.zst"));
    EXPECT_TRUE(fs::exists(archive / "000002.zst"));
    EXPECT_TRUE(fs::exists(archive / "manifest.txt"));
}

// Extracts the sample archive (written without a marker) after `placeMarker` has put
// something at its marker path.
RunResult extractWithMarker(const TempDir& dir, const std::function<void(const fs::path&)>& placeMarker,
                            const RunOptions& options = {}) {
    const fs::path archive = dir / "a.hlg";
    writeSampleArchive(archive, false);
    placeMarker(archive / ".verified");
    return runHlg({"extract", archive.string(), (dir / "out").string()}, options);
}

TEST(Extract, AnyMarkerEntrySkipsThePromptButADanglingLinkDoesNot) {
    // An empty marker folder goes like the marker file, and so does an empty file.
    const std::function<void(const fs::path&)> found[] = {
        [](const fs::path& marker) { fs::create_directory(marker); },
        [](const fs::path& marker) { writeFile(marker, ""); },
    };
    for (const auto& placeMarker : found) {
        TempDir dir;
        const RunResult r = extractWithMarker(dir, placeMarker);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound + summary(4, 4, 2, 24, true));
    }
    {
        // A marker folder with content cannot be removed: no summary follows, and the
        // manifest, which goes last, tells a run again that only the clean-up is left.
        TempDir dir;
        const RunResult r =
            extractWithMarker(dir, [](const fs::path& marker) { writeFile(marker / "inside", "x"); });
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound);
        EXPECT_EQ(r.err.rfind("Filesystem error: ", 0), 0u) << r.err;
        EXPECT_EQ(readFile(dir / "a.hlg" / "manifest.txt"),
                  "HLG1\nTOTAL_BYTES|0\nTOTAL_FILES|0\nCHUNK_TARGET|268435456\nCONSUMED|000002.zst\n");
        EXPECT_EQ(treeSnapshot(dir / "out"), kSampleTree);
    }
    {
        TempDir dir;
        const RunResult r = extractWithMarker(
            dir, [&dir](const fs::path& marker) { fs::create_symlink(dir / "nowhere", marker); },
            answering("n\n"));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, kPrompt + "Extraction cancelled.\n");
    }
}

TEST(Extract, MissingSecondChunkKeepsTheRestOfTheArchiveAndARunAgainFinishes) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    writeSampleArchive(archive);
    const std::string secondChunk = readFile(archive / "000002.zst");
    const std::string manifest = readFile(archive / "manifest.txt");
    fs::remove(archive / "000002.zst");
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Missing chunk: 000002.zst\n");
    EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound);
    const std::map<std::string, std::string> firstChunk = {
        {"b.bin", kBinary}, {"docs/", ""}, {"docs/a.txt", "hello"}, {"empty/", ""}};
    EXPECT_EQ(treeSnapshot(dir / "out"), firstChunk);
    EXPECT_FALSE(fs::exists(archive / "000001.zst"));
    EXPECT_TRUE(fs::exists(archive / ".verified"));
    EXPECT_FALSE(fs::exists(archive / "manifest.new"));
    // The manifest lists what is left: the second chunk, with the totals lowered by the
    // first chunk's two files and 14 bytes, and names the first as consumed.
    EXPECT_EQ(readFile(archive / "manifest.txt"),
              "HLG1\nTOTAL_BYTES|10\nTOTAL_FILES|2\nCHUNK_TARGET|268435456\n" +
                  manifest.substr(manifest.find("CHUNK|000002.zst")) + "CONSUMED|000001.zst\n");

    // Once the chunk is back, a run again restores what is left, without a prompt.
    writeFile(archive / "000002.zst", secondChunk);
    const RunResult again = runHlg({"extract", archive.string(), (dir / "out").string()});
    EXPECT_EQ(again.status, 0) << again.err;
    EXPECT_EQ(withoutStatusArea(again.out), kMarkerFound + summary(2, 2, 1, 10, true));
    EXPECT_EQ(treeSnapshot(dir / "out"), kSampleTree);
}

TEST(Extract, StrayFileKeepsTheArchiveFolder) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    writeSampleArchive(archive);
    writeFile(archive / "notes.txt", "mine");
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound + summary(4, 4, 2, 24, false));
    EXPECT_EQ(treeSnapshot(archive), (std::map<std::string, std::string>{{"notes.txt", "mine"}}));
}

TEST(Extract, TotalsDifferingFromTheChunksFailAfterAFullExtraction) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    writeArchive(archive, 25, 4, sampleChunks());
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound + summary(4, 4, 2, 24, true));
    EXPECT_EQ(treeSnapshot(dir / "out"), kSampleTree);

    TempDir other;
    writeArchive(other / "a.hlg", 24, 7, sampleChunks());
    const RunResult files = runHlg({"extract", (other / "a.hlg").string(), (other / "out").string()});
    EXPECT_EQ(files.status, 1);
    EXPECT_EQ(withoutStatusArea(files.out), kMarkerFound + summary(7, 4, 2, 24, true));
}

TEST(Extract, ExistingFilesAreOverwrittenAndOtherContentStays) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    writeSampleArchive(archive);
    writeFile(dir / "out/docs/a.txt", "an older and longer text");
    writeFile(dir / "out/keep.txt", "kept");
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 0);
    std::map<std::string, std::string> expected = kSampleTree;
    expected["keep.txt"] = "kept";
    EXPECT_EQ(treeSnapshot(dir / "out"), expected);
}

// Whatever stands in the destination, extract writes only into regular files that it
// reached without following a link: decoys beside the destination and the archive stay
// byte-identical, and a run that fails leaves every chunk as it was.
TEST(Extract, NeverActsThroughWhatStandsInTheDestination) {
    using Plant = std::function<void(const fs::path& out)>;
    const auto link = [](const char* at, const char* to) -> Plant {
        return [at, to](const fs::path& out) {
            fs::create_directories((out / at).parent_path());
            fs::create_symlink(to, out / at);
        };
    };
    // A regular file, a pipe, a socket, or a device that works as /dev/null.
    const auto node = [](const char* at, mode_t type) -> Plant {
        return [at, type](const fs::path& out) { ASSERT_EQ(mknod((out / at).c_str(), type | 0666, makedev(1, 3)), 0); };
    };
    // A file record whose folder has no record of its own, where the archive's next chunk
    // would be reached through a link "link" to the archive folder.
    const std::vector<HandChunk> intoTheArchive = {
        {"000001.zst", {recordBytes(0, "link/000002.zst", 3, "bad")}},
        {"000002.zst", {recordBytes(0, "later.txt", 4, "kept")}},
    };
    const std::string notAFolder = "Filesystem error: filesystem error: cannot create directories: Not a directory ";
    struct Case {
        const char* what;
        Plant plant;
        std::string err;  // empty for a run that succeeds; "{out}" stands for the destination
        bool intoTheArchive = false;  // that archive instead of the sample
    };
    const std::vector<Case> cases = {
        {"link to a file outside, at a file", link("b.bin", "../decoy.txt"), ""},
        {"link to /dev/null, at a file", link("b.bin", "/dev/null"), ""},
        {"dangling link, at a file", link("b.bin", "../made-outside"), ""},
        {"named pipe, at a file", node("b.bin", S_IFIFO), ""},
        {"socket, at a file", node("b.bin", S_IFSOCK), ""},
        {"device, at a file", node("b.bin", S_IFCHR), ""},
        {"link to a folder outside, at a folder", link("docs", "../decoy"), ""},
        {"link to a folder outside, at a folder below another", link("deep/er", "../../decoy"), ""},
        {"link to the archive, on a file's path", link("link", "../a.hlg"), "", true},
        {"hard link to the next chunk, at a file",
         [](const fs::path& out) {
             fs::create_directories(out / "link");
             fs::create_hard_link(out / "../a.hlg/000002.zst", out / "link/000002.zst");
         },
         "", true},
        {"folder, at a file", [](const fs::path& out) { fs::create_directories(out / "b.bin"); },
         "Could not create file: \"{out}/b.bin\"\n"},
        {"file, at a folder", node("docs", S_IFREG), notAFolder + "[{out}/docs]\n"},
        {"named pipe, at a folder", node("docs", S_IFIFO), notAFolder + "[{out}/docs]\n"},
        {"file, on a file's path", node("link", S_IFREG), notAFolder + "[{out}/link]\n", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        const fs::path out = dir / "out";
        if (c.intoTheArchive) {
            writeArchive(archive, 7, 2, intoTheArchive);
        } else {
            writeSampleArchive(archive);
        }
        writeFile(dir / "decoy.txt", "precious");
        writeFile(dir / "decoy/inside.txt", "precious");
        fs::create_directory(out);
        c.plant(out);
        const auto outside = [&dir] {
            std::map<std::string, std::string> tree = treeSnapshot(dir.path());
            for (auto it = tree.begin(); it != tree.end();)
                it = it->first.rfind("out/", 0) == 0 || it->first.rfind("a.hlg/", 0) == 0 ? tree.erase(it) : ++it;
            return tree;
        };
        const auto outsideBefore = outside();
        const auto archiveBefore = treeSnapshot(archive);

        RunOptions options;
        options.timeoutSeconds = 30;  // a pipe opened for writing would block for ever
        const RunResult r = runHlg({"extract", archive.string(), out.string()}, options);
        EXPECT_EQ(outside(), outsideBefore);
        if (c.err.empty()) {
            EXPECT_EQ(r.status, 0) << r.err;
            EXPECT_EQ(r.err, "");
            const std::map<std::string, std::string> intoTheArchiveTree = {
                {"link/", ""}, {"link/000002.zst", "bad"}, {"later.txt", "kept"}};
            EXPECT_EQ(treeSnapshot(out), c.intoTheArchive ? intoTheArchiveTree : kSampleTree);
            EXPECT_FALSE(fs::exists(archive));
        } else {
            std::string err = c.err;
            err.replace(err.find("{out}"), 5, out.string());
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.err, err);
            EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound);
            EXPECT_EQ(treeSnapshot(archive), archiveBefore);
        }
    }
}

TEST(Extract, LargeFileIsWrittenInMebibytePieces) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    std::string data(2621440, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7 + i / 4099);
    writeArchive(archive, data.size(), 2,
                 {{"000001.zst", {recordBytes(0, "big.bin", data.size(), data),
                                  recordBytes(0, "none", 0)}}});
    const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound + summary(2, 2, 1, 2621440, true));
    EXPECT_EQ(readFile(dir / "out/big.bin"), data);
    EXPECT_EQ(readFile(dir / "out/none"), "");
    std::vector<std::string> pieces;
    for (const std::string& line : progressLines(r.out))
        if (line.find("Extracting: ") != std::string::npos) pieces.push_back(line);
    const std::vector<std::string> expected = {
        "[############------------------] 40%  Extracting: big.bin",
        "[########################------] 80%  Extracting: big.bin",
        "[##############################] 100%  Extracting: big.bin"};
    EXPECT_EQ(pieces, expected);
}

TEST(Extract, UnsafeChunkNamesAreRefusedBeforeAnythingIsTouched) {
    TempDir dir;
    const std::string decoyChunk = compressFrame(recordBytes(0, "decoy.txt", 2, "hi"));
    const std::vector<std::string> names = {"../decoy.zst", (dir / "decoy.zst").string(),
                                            "sub/decoy.zst", "", ".", "..", ".verified", "manifest.txt"};
    // Consumed chunks are deleted: their names follow the same rule.
    std::vector<std::pair<std::string, bool>> namedAs;
    for (const std::string& name : names) {
        namedAs.emplace_back(name, false);
        if (!name.empty()) namedAs.emplace_back(name, true);
    }
    for (const auto& [name, consumed] : namedAs) {
        SCOPED_TRACE("chunk name \"" + name + "\"" + (consumed ? " consumed" : ""));
        const fs::path archive = dir / "a.hlg";
        fs::remove_all(archive);
        writeArchive(archive, 5, 1, {{"000001.zst", {recordBytes(0, "a.txt", 5, "hello")}}});
        writeFile(dir / "decoy.zst", decoyChunk);
        writeFile(archive / "sub/decoy.zst", decoyChunk);
        writeFile(archive / "manifest.txt",
                  readFile(archive / "manifest.txt") + (consumed ? "CONSUMED|" + name : "CHUNK|" + name + "|24|1") + "\n");
        const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()});
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Unsafe chunk name in manifest: " + name + "\n");
        EXPECT_FALSE(fs::exists(dir / "out"));
        EXPECT_EQ(readFile(dir / "decoy.zst"), decoyChunk);
        EXPECT_TRUE(fs::exists(archive / "000001.zst"));
        EXPECT_TRUE(fs::exists(archive / "sub/decoy.zst"));
    }
    // A chunk listed twice would be consumed at its first line and missing at its second:
    // refused before the marker question.
    fs::remove_all(dir / "a.hlg");
    writeSampleArchive(dir / "a.hlg", false);
    const std::string manifest = readFile(dir / "a.hlg/manifest.txt");
    writeFile(dir / "a.hlg/manifest.txt", manifest + manifest.substr(manifest.find("CHUNK|000001")));
    const auto before = treeSnapshot(dir / "a.hlg");
    const RunResult r = runHlg({"extract", (dir / "a.hlg").string(), (dir / "out").string()}, answering("y\n"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "Chunk listed twice in manifest: 000001.zst\n");
    EXPECT_FALSE(fs::exists(dir / "out"));
    EXPECT_EQ(treeSnapshot(dir / "a.hlg"), before);
}

TEST(Extract, DestinationInsideTheArchiveIsRefused) {
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    fs::create_directories(dir / "elsewhere");
    fs::create_directory_symlink(archive, dir / "link");
    const std::vector<fs::path> destinations = {
        archive, archive / "sub", archive / "sub/deeper", dir / "a.hlg/", dir / "link",
        dir / "elsewhere/../a.hlg/x", fs::path("a.hlg/y")};
    for (const fs::path& destination : destinations) {
        SCOPED_TRACE(destination.string());
        fs::remove_all(archive);
        writeSampleArchive(archive);
        RunOptions options;
        options.workingDirectory = dir.path();
        const RunResult r = runHlg({"extract", archive.string(), destination.string()}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, "Destination lies inside the archive: " + quoted(destination) + "\n");
        EXPECT_EQ(treeSnapshot(archive).size(), 4u);
    }
    // A sibling whose name merely begins with the archive's is a different folder; a
    // trailing "/" on the archive argument still names the archive.
    fs::remove_all(archive);
    writeSampleArchive(archive);
    const RunResult r = runHlg({"extract", archive.string() + "/", (dir / "a.hlgx").string()});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(treeSnapshot(dir / "a.hlgx"), kSampleTree);
}

TEST(Extract, BesideTheArchiveNoRecordMayWriteIntoIt) {
    // "hlg extract backup.hlg ." restores next to the archive; a packed folder of the same
    // name must not overwrite the chunk file that is still to be read.
    TempDir dir;
    const fs::path archive = dir / "backup.hlg";
    const std::vector<HandChunk> chunks = {
        {"000001.zst", {recordBytes(1, "ok", 0), recordBytes(1, "./backup.hlg", 0),
                        recordBytes(0, "backup.hlg/000002.zst", 3, "bad")}},
        {"000002.zst", {recordBytes(0, "later.txt", 4, "kept")}},
    };
    writeArchive(archive, 7, 2, chunks);
    const std::string secondChunk = readFile(archive / "000002.zst");
    RunOptions options;
    options.workingDirectory = dir.path();
    const RunResult r = runHlg({"extract", "backup.hlg", "."}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Record path leads into the archive: ./backup.hlg\n");
    EXPECT_EQ(readFile(archive / "000002.zst"), secondChunk);
    EXPECT_TRUE(fs::exists(archive / "000001.zst"));

    // Names that only begin like the archive's are ordinary records.
    fs::remove_all(archive);
    fs::remove_all(dir / "ok");
    writeArchive(archive, 1, 1, {{"000001.zst", {recordBytes(0, "backup.hlgx", 1, "x")}}});
    const RunResult fine = runHlg({"extract", "backup.hlg", "."}, options);
    EXPECT_EQ(fine.status, 0) << fine.err;
    EXPECT_EQ(readFile(dir / "backup.hlgx"), "x");
    EXPECT_FALSE(fs::exists(archive));

    // The folder holding the archive mounted inside the destination: no name leads into the
    // archive, but the folder reached is the archive's, and the file there the next chunk,
    // one with another name, which a file elsewhere would be replaced for.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to mount the archive in the destination";
    const fs::path holder = dir / "holder";
    const fs::path held = holder / "x.hlg";
    writeArchive(held, 7, 2,
                 {{"000001.zst", {recordBytes(0, "view/x.hlg/000002.zst", 3, "bad")}},
                  {"000002.zst", {recordBytes(0, "later.txt", 4, "kept")}}});
    const std::string heldChunk = readFile(held / "000002.zst");
    fs::create_hard_link(held / "000002.zst", holder / "second-name");
    fs::create_directories(dir / "out/view");
    if (mount(holder.c_str(), (dir / "out/view").c_str(), nullptr, MS_BIND, nullptr) != 0)
        GTEST_SKIP() << "cannot bind-mount here: " << std::strerror(errno);
    const RunResult mounted = runHlg({"extract", held.string(), (dir / "out").string()});
    umount2((dir / "out/view").c_str(), MNT_DETACH);
    EXPECT_EQ(mounted.status, 1);
    EXPECT_EQ(mounted.err, "Record path leads into the archive: view/x.hlg/000002.zst\n");
    EXPECT_EQ(readFile(held / "000002.zst"), heldChunk);
    EXPECT_EQ(fs::hard_link_count(held / "000002.zst"), 2u);
    EXPECT_TRUE(fs::exists(held / "000001.zst"));
}

TEST(Extract, WriteFailuresKeepTheChunk) {
    // One large piece that the limit cuts short, and a small file whose bytes the stream
    // holds until the file is closed.
    struct Case {
        std::size_t fileSize;
        std::uint64_t limit;
    };
    for (const Case& c : {Case{300000, 100000}, Case{500, 100}}) {
        SCOPED_TRACE(c.fileSize);
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        const std::string data(c.fileSize, 'x');
        writeArchive(archive, c.fileSize + 1, 2,
                     {{"000001.zst", {recordBytes(0, "ok.txt", 1, "k"),
                                      recordBytes(0, "big.txt", data.size(), data)}}});
        RunOptions options;
        options.fileSizeLimit = c.limit;
        const RunResult r =
            runHlg({"extract", archive.string(), (dir / "out").string()}, options);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, "Failed while writing: " + quoted(dir / "out/big.txt") + "\n");
        EXPECT_EQ(withoutStatusArea(r.out), kMarkerFound);
        EXPECT_TRUE(fs::exists(archive / "000001.zst"));
        EXPECT_TRUE(fs::exists(archive / "manifest.txt"));
    }
}

TEST(Extract, DestinationThatCannotBeSyncedIsRefusedBeforeAnyChunk) {
    // Without a handle on the destination nothing restored could be made durable before
    // its chunk is deleted. Run as an ordinary user: root reads any folder.
    if (geteuid() != 0) GTEST_SKIP() << "needs root to run the program as another user";
    TempDir dir;
    const fs::path archive = dir / "a.hlg";
    writeSampleArchive(archive);
    const fs::path destination = dir / "out";
    fs::create_directory(destination);
    ASSERT_EQ(chown(destination.c_str(), 65534, 65534), 0);
    fs::permissions(destination, fs::perms::owner_write | fs::perms::owner_exec);
    RunOptions options;
    options.asNobody = true;
    const RunResult r = runHlg({"extract", archive.string(), destination.string()}, options);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Failed while writing: " + quoted(destination) + "\n");
    EXPECT_EQ(r.out, kMarkerFound);
    EXPECT_EQ(treeSnapshot(archive).size(), 4u);
}

TEST(Extract, RoundTripThroughPackAndVerify) {
    TempDir dir;
    const fs::path source = dir / "source";
    std::string large(1500000, '\0');
    for (std::size_t i = 0; i < large.size(); ++i) large[i] = static_cast<char>(i % 251);
    writeFile(source / "large.bin", large);
    writeFile(source / "with space/quote\"and\\back.txt", "odd name");
    writeFile(source / "a/b/c/deep.txt", "deep");
    writeFile(source / "zero", "");
    fs::create_directories(source / "a/empty/inner");
    const RunResult packed = runHlg({"pack", source.string(), (dir / "moved").string()});
    ASSERT_EQ(packed.status, 0) << packed.err;

    // No marker yet: end of input at the prompt runs the verification first.
    const RunResult r = runHlg({"extract", (dir / "moved").string(), (dir / "out").string()});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(treeSnapshot(dir / "out"), treeSnapshot(source));
    EXPECT_FALSE(fs::exists(dir / "moved.hlg"));
}

// One flipped bit in a packed chunk, in stored random bytes or in compressed text: the
// frame's checksum catches it, verify leaves no marker, and extract consumes nothing.
TEST(Extract, FlippedBitIsCaughtBeforeAnythingIsConsumed) {
    std::string random(300000, '\0');
    std::uint32_t state = 99;
    for (char& c : random) c = static_cast<char>((state = state * 1664525u + 1013904223u) >> 24);
    std::string text;
    for (int i = 0; text.size() < 300000; ++i) text += "line " + std::to_string(i * 7919 % 1000) + " of a log\n";
    for (const std::string& content : {random, text}) {
        TempDir dir;
        writeFile(dir / "source" / "photo.raw", content);
        ASSERT_EQ(runHlg({"pack", (dir / "source").string(), (dir / "a").string()}).status, 0);
        const fs::path chunk = dir / "a.hlg" / "000001.zst";
        const std::string frame = readFile(chunk);
        // The first bit from the middle on whose damage only the checksum can tell.
        std::string damaged;
        std::size_t result = 0;
        for (std::size_t at = frame.size() / 2; at + 4 < frame.size(); ++at) {
            damaged = frame;
            damaged[at] = static_cast<char>(damaged[at] ^ 1);
            std::string out(content.size() + 64, '\0');
            result = ZSTD_decompress(out.data(), out.size(), damaged.data(), damaged.size());
            if (ZSTD_getErrorCode(result) == ZSTD_error_checksum_wrong) break;
        }
        ASSERT_EQ(ZSTD_getErrorCode(result), ZSTD_error_checksum_wrong);
        writeFile(chunk, damaged);
        const std::string failure = "Decompression failed for \"000001.zst\": Restored data doesn't match checksum\n";

        writeFile(dir / "a.hlg" / ".verified", "earlier run");
        const RunResult verify = runHlg({"verify", (dir / "a.hlg").string()});
        EXPECT_EQ(verify.status, 1);
        EXPECT_EQ(verify.err, failure);
        EXPECT_FALSE(fs::exists(dir / "a.hlg" / ".verified"));

        const auto before = treeSnapshot(dir / "a.hlg");
        const RunResult extract = runHlg({"extract", (dir / "a.hlg").string(), (dir / "out").string()}, answering("y\n"));
        EXPECT_EQ(extract.status, 1);
        EXPECT_EQ(withoutStatusArea(extract.out), kPrompt + "\n");
        EXPECT_EQ(extract.err, failure + "\nVerification failed. Extraction has been cancelled.\n");
        EXPECT_EQ(treeSnapshot(dir / "a.hlg"), before);
        EXPECT_FALSE(fs::exists(dir / "out"));
    }
}

// Builds `levels` folders named `name`, each inside the one before, below `root`, with a
// file "f" in each that holds its level. Built from open folders: whole paths past
// PATH_MAX cannot be looked up.
void buildDeepTree(const fs::path& root, int levels, const std::string& name) {
    fs::create_directories(root);
    int folder = open(root.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int level = 0; level < levels && folder >= 0; ++level) {
        const int made = mkdirat(folder, name.c_str(), 0755);
        const int inner = openat(folder, name.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        close(folder);
        folder = inner;
        ASSERT_EQ(made, 0);
        const int file = openat(folder, "f", O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        const std::string text = std::to_string(level);
        ASSERT_EQ(write(file, text.data(), text.size()), static_cast<ssize_t>(text.size()));
        close(file);
    }
    ASSERT_GE(folder, 0);
    close(folder);
}

TEST(Extract, DeepTreesAndPathsPastPathMaxRoundTripUnderTheUsualDescriptorLimit) {
    const struct {
        const char* what;
        int levels;
        std::size_t nameLength;
        bool softLimitOnly;  // "ulimit -Sn 1024": the program may raise it to the hard limit
    } cases[] = {{"900 folders deep", 900, 1, false},
                 {"paths past PATH_MAX", 17, 243, false},
                 {"1,100 folders deep", 1100, 1, true}};
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        // Each command holds one folder open per level, and a few descriptors besides.
        if (c.softLimitOnly && limit.rlim_max < c.levels + 64u)
            GTEST_SKIP() << "the hard limit of open files, " << limit.rlim_max << ", is too low for " << c.what;
        TempDir dir;
        buildDeepTree(dir / "source", c.levels, std::string(c.nameLength, 'd'));
        RunOptions options;
        if (c.softLimitOnly) options.openFileSoftLimit = 1024;
        else options.openFileLimit = 1024;  // "ulimit -n 1024"
        const auto run = [&options](const std::vector<std::string>& args) {
            const RunResult r = runHlg(args, options);
            EXPECT_EQ(r.status, 0) << r.err;
        };
        run({"pack", (dir / "source").string(), (dir / "a").string()});
        const std::string manifest = readFile(dir / "a.hlg/manifest.txt");
        const std::string chunk = readFile(dir / "a.hlg/000001.zst");
        run({"verify", (dir / "a").string()});
        run({"extract", (dir / "a").string(), (dir / "out").string()});
        // Packed again, the restored tree gives the same archive, byte for byte.
        run({"pack", (dir / "out").string(), (dir / "b").string()});
        EXPECT_EQ(readFile(dir / "b.hlg/manifest.txt"), manifest);
        EXPECT_TRUE(readFile(dir / "b.hlg/000001.zst") == chunk);
        EXPECT_NE(manifest.find("TOTAL_FILES|" + std::to_string(c.levels) + "\n"), std::string::npos);
    }
}

}  // namespace

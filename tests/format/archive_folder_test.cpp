// Turning an archive argument into the archive folder path, and the shared status tests.

#include <gtest/gtest.h>

#include <grp.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "format/archive_folder.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using testing_support::TempDir;
using testing_support::writeFile;

namespace {

using CapturedCerr = testing_support::CapturedStream;

TEST(ArchiveFolder, ExtensionRuleTable) {
    struct Case {
        std::string argument;
        std::string folder;
    };
    const std::vector<Case> cases = {
        {"backup", "backup.hlg"},
        {"backup.hlg", "backup.hlg"},
        {"a.tar", "a.tar.hlg"},
        {"a.HLG", "a.HLG.hlg"},
        {"a.hlg.tar", "a.hlg.tar.hlg"},
        {"archive.", "archive..hlg"},
        {".hlg", ".hlg.hlg"},
        {".", "..hlg"},
        {"..", "...hlg"},
        {"dir/", "dir/.hlg"},
        {"x.hlg/", "x.hlg/.hlg"},
        {"/", "/.hlg"},
        {"", ".hlg"},
        {"out/backup", "out/backup.hlg"},
        {"out.d/backup", "out.d/backup.hlg"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("argument \"" + c.argument + "\"");
        fs::path archive = c.argument;
        applyArchiveExtensionRule(archive);
        EXPECT_EQ(archive.native(), c.folder);
    }
}

TEST(ArchiveFolder, RuleLeavesItsOwnResultUnchanged) {
    for (const std::string text : {"backup.hlg", "..hlg", "a.tar.hlg", "...hlg"}) {
        fs::path archive = text;
        applyArchiveExtensionRule(archive);
        EXPECT_EQ(archive.native(), text);
    }
}

TEST(ArchiveFolder, AppendIsPlainConcatenation) {
    for (const std::string text : {"backup.hlg", "dir/", ""}) {
        fs::path archive = text;
        appendArchiveExtension(archive);
        EXPECT_EQ(archive.native(), text + ".hlg");
    }
    fs::path archive = "dir/";
    appendArchiveExtension(archive);
    EXPECT_EQ(archive.filename().native(), ".hlg");
}

TEST(ArchiveFolder, TrimDropsTrailingSlashes) {
    struct Case {
        std::string argument;
        std::string trimmed;
    };
    const std::vector<Case> cases = {
        {"backup.hlg/", "backup.hlg"}, {"out/", "out"},   {"a//", "a"},
        {"/x/", "/x"},                 {"backup", "backup"}, {"a/b", "a/b"},
        {"//a", "//a"},                {".", "."},        {"./", "."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("argument \"" + c.argument + "\"");
        fs::path archive = c.argument;
        CapturedCerr err;
        EXPECT_TRUE(trimArchiveArgument(archive));
        EXPECT_EQ(archive.native(), c.trimmed);
        EXPECT_EQ(err.text(), "");
    }
    // The trimmed argument then gets the extension on its name, not inside a folder.
    fs::path archive = "backup/";
    ASSERT_TRUE(trimArchiveArgument(archive));
    applyArchiveExtensionRule(archive);
    EXPECT_EQ(archive.native(), "backup.hlg");
}

TEST(ArchiveFolder, TrimRefusesEmptyAndSlashOnlyArguments) {
    struct Case {
        std::string argument;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"", "Archive path must name a folder: \"\"\n"},
        {"/", "Archive path must name a folder: \"/\"\n"},
        {"///", "Archive path must name a folder: \"///\"\n"},
    };
    for (const Case& c : cases) {
        fs::path archive = c.argument;
        CapturedCerr err;
        EXPECT_FALSE(trimArchiveArgument(archive));
        EXPECT_EQ(err.text(), c.message);
    }
}

TEST(ArchiveFolder, ExistenceAndDirectoryTestsFollowLinks) {
    TempDir dir;
    writeFile(dir / "file", "x");
    fs::create_directory(dir / "folder");
    fs::create_symlink(dir / "folder", dir / "link-to-folder");
    fs::create_symlink(dir / "file", dir / "link-to-file");
    fs::create_symlink(dir / "missing", dir / "dangling");
    ASSERT_EQ(mkfifo((dir / "fifo").c_str(), 0644), 0);

    struct Case {
        fs::path path;
        bool exists;
        bool directory;
    };
    const std::vector<Case> cases = {
        {dir / "file", true, false},
        {dir / "folder", true, true},
        {dir / "link-to-folder", true, true},
        {dir / "link-to-file", true, false},
        {dir / "dangling", false, false},
        {dir / "missing", false, false},
        {dir / "file" / "under", false, false},
        {dir / "fifo", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string());
        EXPECT_EQ(pathExists(c.path), c.exists);
        EXPECT_EQ(isExistingDirectory(c.path), c.directory);
    }
}

TEST(ArchiveFolder, StatusFailureOtherThanNotFoundThrows) {
    TempDir dir;
    fs::create_directory(dir / "closed");
    fs::permissions(dir / "closed", fs::perms::owner_all);
    // Root searches any folder, so the query runs as an ordinary user in a child.
    const pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        if (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0) _exit(2);
        int code = 3;
        try {
            pathExists(dir / "closed" / "x");
        } catch (const fs::filesystem_error&) {
            code = 0;
        }
        _exit(code);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    if (WEXITSTATUS(status) == 2) GTEST_SKIP() << "cannot switch to uid 65534 (not running as root)";
    EXPECT_EQ(WEXITSTATUS(status), 0) << "pathExists did not throw on permission denied";
}

TEST(ArchiveFolder, BareChunkNames) {
    struct Case {
        std::string name;
        bool bare;
    };
    const std::vector<Case> cases = {
        {"000001.zst", true},       {"1000000.zst", true},   {"..zst", true},
        {"...", true},              {" a b ", true},         {"a\\b", true},
        {"", false},                {".", false},            {"..", false},
        {"/etc/passwd", false},     {"a/b", false},          {"../000001.zst", false},
        {"000001.zst/", false},     {"/", false},            {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE("name \"" + c.name + "\"");
        EXPECT_EQ(isBareChunkName(c.name), c.bare);
    }
}

}  // namespace

// The command line as a user meets it: the real binary, exact output and status.

#include <gtest/gtest.h>

#include "support/test_support.h"

using namespace testing_support;

namespace {

const std::string kUsage =
    "Hoardling v0.5\n\n"
    "Usage:\n"
    "  hlg pack <folder> <archive>\n"
    "  hlg verify <archive>\n"
    "  hlg extract <archive> <destination>\n";

TEST(CommandLine, NoArgumentPrintsBannerAndUsage) {
    const RunResult r = runHlg({});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, kUsage);
    EXPECT_EQ(r.out.size(), 114u);
    EXPECT_EQ(r.err, "");
}

TEST(CommandLine, RefusalsPrintMessageThenUsage) {
    struct Case {
        std::vector<std::string> args;
        std::string err;
    };
    const std::vector<Case> cases = {
        {{"pack"}, "Pack requires a source folder and archive name.\n\n"},
        {{"pack", "a"}, "Pack requires a source folder and archive name.\n\n"},
        {{"pack", "a", "b", "c"}, "Pack requires a source folder and archive name.\n\n"},
        {{"verify"}, "Verify requires an archive.\n\n"},
        {{"verify", "a", "b"}, "Verify requires an archive.\n\n"},
        {{"extract"}, "Extract requires an archive and destination folder.\n\n"},
        {{"extract", "a"}, "Extract requires an archive and destination folder.\n\n"},
        {{"extract", "a", "b", "c"}, "Extract requires an archive and destination folder.\n\n"},
        {{"Pack", "a", "b"}, "Unknown command: Pack\n\n"},
        {{"Verify"}, "Unknown command: Verify\n\n"},
        {{"extract ", "a", "b"}, "Unknown command: extract \n\n"},
        {{"--help"}, "Unknown command: --help\n\n"},
        {{""}, "Unknown command: \n\n"},
        {{"a\x1b[2Jb"}, "Unknown command: a\\x1b[2Jb\n\n"},
        {{"\x1b]0;TITLE\a"}, "Unknown command: \\x1b]0;TITLE\\x07\n\n"},
        {{"\x9b""2J\xc3\xa9"}, "Unknown command: \\x9b""2J\xc3\xa9\n\n"},
    };
    TempDir dir;
    for (const Case& c : cases) {
        const RunResult r = runHlg(c.args, {std::nullopt, dir.path()});
        SCOPED_TRACE(c.err);
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.err, c.err);
        EXPECT_EQ(r.out, kUsage);
    }
    // A refused command line creates nothing.
    EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

}  // namespace

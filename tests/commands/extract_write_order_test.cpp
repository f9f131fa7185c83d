// When a restored file cannot be written, which of its progress reports are drawn before
// "Failed while writing: ": every written piece is reported, a piece under 1 KiB is held
// until the file is closed and so is reported before it fails, a larger one is not.

#include <gtest/gtest.h>

#include <sstream>

#include "support/test_support.h"

using namespace testing_support;
namespace fs = std::filesystem;

namespace {

TEST(ExtractWriteOrder, ReportsBeforeAFailedWrite) {
    const std::uint64_t mib = 1048576;
    struct Case {
        std::uint64_t fileSize;
        std::uint64_t limit;  // the file size limit that cuts the file short
        std::size_t reports;  // "Extracting: big.bin" reports drawn before the failure
    };
    for (const Case& c : {Case{500, 100, 1}, Case{300000, 100000, 0},
                          Case{mib + 100, mib + 50, 2}, Case{mib + 2000, mib + 50, 1}}) {
        SCOPED_TRACE(c.fileSize);
        TempDir dir;
        const fs::path archive = dir / "a.hlg";
        const std::string data(c.fileSize, 'x');
        writeTestArchive(archive, c.fileSize, 1,
                         {{"000001.zst", {recordBytes(0, "big.bin", data.size(), data)}}}, true);
        RunOptions options;
        options.fileSizeLimit = c.limit;
        const RunResult r = runHlg({"extract", archive.string(), (dir / "out").string()}, options);
        EXPECT_EQ(r.status, 1);
        std::ostringstream target;
        target << (dir / "out" / "big.bin");
        EXPECT_EQ(r.err, "Failed while writing: " + target.str() + "\n");
        std::size_t reports = 0;
        for (const std::string& line : progressLines(r.out)) {
            if (line.find("%  Extracting: big.bin") != std::string::npos) ++reports;
        }
        EXPECT_EQ(reports, c.reports);
        EXPECT_TRUE(fs::exists(archive / "000001.zst"));
    }
}

}  // namespace

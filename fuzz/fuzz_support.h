#pragma once
// What every fuzz target shares: a private scratch folder for the process, and quiet
// standard streams (the readers report every refusal there, which is expected here).

#include <stdlib.h>

#include <filesystem>
#include <iostream>
#include <sstream>
#include <string>

namespace fuzz_support {

// Sends everything written to std::cerr and std::cout into a sink while it lives.
class QuietStreams {
public:
    QuietStreams()
        : err_(std::cerr.rdbuf(sink_.rdbuf())), out_(std::cout.rdbuf(sink_.rdbuf())) {}
    ~QuietStreams() {
        std::cerr.rdbuf(err_);
        std::cout.rdbuf(out_);
    }
    QuietStreams(const QuietStreams&) = delete;
    QuietStreams& operator=(const QuietStreams&) = delete;

    // Everything written so far.
    std::string text() const { return sink_.str(); }

private:
    std::ostringstream sink_;
    std::streambuf* err_;
    std::streambuf* out_;
};

// A fresh folder made once per process under the temporary folder (run.sh points TMPDIR
// at a memory file system and removes it afterwards: libFuzzer ends without exit handlers).
inline const std::filesystem::path& scratchFolder() {
    static const std::filesystem::path folder = [] {
        std::string pattern = (std::filesystem::temp_directory_path() / "hlg-fuzz-XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) abort();
        return std::filesystem::path(pattern);
    }();
    return folder;
}

}  // namespace fuzz_support

// Entry point: reads the command line, calls exactly one operation and turns its result
// into the exit status.

#include <exception>
#include <filesystem>
#include <iostream>
#include <string>

#include "commands/extract.h"
#include "commands/pack.h"
#include "commands/startup.h"
#include "commands/verify.h"
#include "format/escaped_text.h"

namespace {

void printUsage() {
    std::cout << "Hoardling v0.5\n\n"
              << "Usage:\n"
              << "  hlg pack <folder> <archive>\n"
              << "  hlg verify <archive>\n"
              << "  hlg extract <archive> <destination>\n";
}

int refuse(const char* message) {
    std::cerr << message << "\n\n";
    printUsage();
    return 1;
}

int dispatch(int argc, char** argv) {
    const std::string command = argv[1];
    if (command == "pack") {
        if (argc != 4) return refuse("Pack requires a source folder and archive name.");
        const std::filesystem::path source = argv[2];
        std::filesystem::path archive = argv[3];
        return packFolder(source, archive) ? 0 : 1;
    }
    if (command == "verify") {
        if (argc != 3) return refuse("Verify requires an archive.");
        return verifyArchive(std::filesystem::path(argv[2])) ? 0 : 1;
    }
    if (command == "extract") {
        if (argc != 4) return refuse("Extract requires an archive and destination folder.");
        std::filesystem::path archive = argv[2];
        const std::filesystem::path destination = argv[3];
        return extractArchive(archive, destination) ? 0 : 1;
    }
    std::cerr << "Unknown command: " << escaped(command) << "\n\n";
    printUsage();
    return 1;
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything is opened: a file taking descriptor 1 would receive the output.
    if (!openClosedStandardDescriptors()) return 1;
    raiseOpenFileLimit();
    if (argc <= 1) {
        printUsage();
        return 0;
    }
    try {
        return dispatch(argc, argv);
    } catch (const std::filesystem::filesystem_error& error) {
        std::cerr << "Filesystem error: " << escaped(error.what()) << '\n';
    } catch (const std::exception& error) {
        std::cerr << "Fatal error: " << escaped(error.what()) << '\n';
    }
    return 1;
}

#include "commands/extract.h"

#include <iostream>

// Placeholder until the command is built.
bool extractArchive(std::filesystem::path&, const std::filesystem::path&) {
    std::cerr << "The extract command is not available yet.\n";
    return false;
}

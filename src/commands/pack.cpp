#include "commands/pack.h"

#include <iostream>

// Placeholder until the command is built.
bool packFolder(const std::filesystem::path&, std::filesystem::path&) {
    std::cerr << "The pack command is not available yet.\n";
    return false;
}

#include "commands/verify.h"

#include <iostream>

// Placeholder until the command is built.
bool verifyArchive(std::filesystem::path) {
    std::cerr << "The verify command is not available yet.\n";
    return false;
}

#pragma once

#include <filesystem>

// Checks every chunk and record of the archive, writes the ".verified" marker and prints
// the summary. False after a reported failure.
bool verifyArchive(std::filesystem::path archive);

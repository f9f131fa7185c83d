#pragma once

#include <filesystem>

// Packs the folder `source` into the archive folder `archive` (extended in place by the
// ".hlg" rule). Prints its summary and returns true, or reports the failure and returns false.
bool packFolder(const std::filesystem::path& source, std::filesystem::path& archive);

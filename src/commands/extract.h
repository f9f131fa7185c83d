#pragma once

#include <filesystem>

// Restores the archive under `destination`, deleting each chunk file once its records are
// written, then the manifest, the marker and the emptied archive folder.
bool extractArchive(std::filesystem::path& archive, const std::filesystem::path& destination);

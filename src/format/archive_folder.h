#pragma once
// How an archive argument becomes the archive folder path, and the status tests
// that every command shares.

#include <filesystem>
#include <string>

constexpr const char* kArchiveExtension = ".hlg";
constexpr const char* kMarkerFileName = ".verified";

// Appends ".hlg" to the path's text in place, by plain concatenation.
void appendArchiveExtension(std::filesystem::path& archive);

// The ".hlg" rule: appends the extension unless the path's extension is exactly ".hlg".
void applyArchiveExtensionRule(std::filesystem::path& archive);

// Runs before the ".hlg" rule on every archive argument: drops trailing "/" after a
// name ("backup.hlg/" names backup.hlg). An argument that is empty or made of "/" only
// is refused with a message on standard error, and false is returned.
bool trimArchiveArgument(std::filesystem::path& archive);

// The archive argument as every command takes it, once: trimmed, then the ".hlg" rule.
// False after trimArchiveArgument's message.
bool settleArchiveArgument(std::filesystem::path& archive);

// Existence test: something of any type exists at the path, symbolic links followed.
// Throws std::filesystem::filesystem_error for any failure other than "not found".
bool pathExists(const std::filesystem::path& path);

// Directory test: the path exists and, links followed, is a directory. Throws as above.
bool isExistingDirectory(const std::filesystem::path& path);

// True for a name that stays inside the archive folder when joined to it:
// not empty, not "." or "..", no "/".
bool isBareChunkName(const std::string& name);

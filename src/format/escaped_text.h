#pragma once
// Text that comes from a name (a record path, a chunk name, a manifest line, a path given
// or found on disk) as messages and the status area show it: each control character
// becomes "\x" and two lowercase hex digits per byte, so that no name can move the
// cursor, set the window title or clear the screen. Control characters are the bytes
// 0x00 to 0x1f and 0x7f, the UTF-8 pairs c2 80 to c2 9f, and each byte 0x80 to 0x9f that
// is not part of a well-formed UTF-8 sequence; every other byte is kept.

#include <filesystem>
#include <iosfwd>
#include <string>
#include <string_view>

// Appends `text` to `out` with its control characters escaped.
void appendEscaped(std::string& out, std::string_view text);

// A status label: `prefix` as it is, then `name` escaped; one allocation when nothing
// needs escaping.
std::string escapedLabel(std::string_view prefix, std::string_view name);

// Streams text with its control characters escaped: std::cerr << escaped(name).
// The text must outlive the expression that streams it.
struct EscapedText {
    std::string_view text;
};
inline EscapedText escaped(std::string_view text) { return {text}; }
std::ostream& operator<<(std::ostream& out, EscapedText shown);

// Escapes text that arrives in pieces exactly as appendEscaped escapes it whole, writing
// each piece as it comes: a UTF-8 sequence that a piece's end cuts short waits for the next.
class EscapedStream {
public:
    explicit EscapedStream(std::ostream& out) : out_(out) {}
    void write(std::string_view piece);
    // After the last piece.
    void finish();

private:
    std::ostream& out_;
    std::string cut_;  // the cut sequence, then the piece
};

// Streams a path quoted as std::quoted quotes it, then with its control characters
// escaped, so that the backslash of an escape is never doubled.
struct EscapedQuotedPath {
    const std::filesystem::path& path;
};
inline EscapedQuotedPath escapedQuoted(const std::filesystem::path& path) { return {path}; }
std::ostream& operator<<(std::ostream& out, const EscapedQuotedPath& shown);

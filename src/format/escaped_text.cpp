#include "format/escaped_text.h"

#include <ostream>

namespace {

// Bytes of the control character that starts at `at`: 1 for C0 or DEL, 2 for a UTF-8
// C1 pair, 0 when none starts there.
std::size_t controlLength(std::string_view text, std::size_t at) {
    const auto byte = static_cast<unsigned char>(text[at]);
    if (byte < 0x20 || byte == 0x7f) return 1;
    if (byte == 0xc2 && at + 1 < text.size()) {
        const auto next = static_cast<unsigned char>(text[at + 1]);
        if (next >= 0x80 && next <= 0x9f) return 2;
    }
    return 0;
}

// Hands `text` to `append` in pieces: runs of bytes as they are, and an escape for each
// control character. With `quoted`, each '"' and '\' gets a backslash as std::quoted
// gives it. Text without anything to change is handed on whole, in one piece.
template <typename Append>
void writeEscaped(std::string_view text, bool quoted, Append append) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::size_t runStart = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t control = controlLength(text, at);
        const bool quoteEscape = quoted && control == 0 && (text[at] == '"' || text[at] == '\\');
        if (control == 0 && !quoteEscape) {
            ++at;
            continue;
        }
        if (at > runStart) append(text.data() + runStart, at - runStart);
        if (quoteEscape) {
            const char pair[2] = {'\\', text[at]};
            append(pair, 2);
            ++at;
        }
        for (const std::size_t end = at + control; at < end; ++at) {
            const auto byte = static_cast<unsigned char>(text[at]);
            const char escape[4] = {'\\', 'x', kHexDigits[byte >> 4], kHexDigits[byte & 0xf]};
            append(escape, 4);
        }
        runStart = at;
    }
    if (text.size() > runStart) append(text.data() + runStart, text.size() - runStart);
}

}  // namespace

void appendEscaped(std::string& out, std::string_view text) {
    writeEscaped(text, false,
                 [&out](const char* bytes, std::size_t count) { out.append(bytes, count); });
}

std::string escapedLabel(std::string_view prefix, std::string_view name) {
    std::string label;
    label.reserve(prefix.size() + name.size());
    label.append(prefix);
    appendEscaped(label, name);
    return label;
}

std::ostream& operator<<(std::ostream& out, EscapedText shown) {
    writeEscaped(shown.text, false, [&out](const char* bytes, std::size_t count) {
        out.write(bytes, static_cast<std::streamsize>(count));
    });
    return out;
}

std::ostream& operator<<(std::ostream& out, const EscapedQuotedPath& shown) {
    // Built whole and written at once, as std::quoted writes a path.
    const std::string& native = shown.path.native();
    std::string text;
    text.reserve(native.size() + 2);
    text += '"';
    writeEscaped(native, true,
                 [&text](const char* bytes, std::size_t count) { text.append(bytes, count); });
    text += '"';
    return out << text;
}

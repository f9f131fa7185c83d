#include "format/escaped_text.h"

#include <ostream>

namespace {

unsigned char byteAt(std::string_view text, std::size_t at) {
    return static_cast<unsigned char>(text[at]);
}

// Bytes of the well-formed UTF-8 sequence that starts at `at` with a byte of 0x80 or more,
// 0 when none does: no overlong form, no surrogate, nothing beyond U+10FFFF.
std::size_t utf8Length(std::string_view text, std::size_t at) {
    const unsigned char lead = byteAt(text, at);
    std::size_t length = 2;
    unsigned char low = 0x80, high = 0xbf;  // the bounds of the second byte
    if (lead < 0xc2 || lead > 0xf4) return 0;
    if (lead >= 0xf0) {
        length = 4;
        if (lead == 0xf0) low = 0x90;
        if (lead == 0xf4) high = 0x8f;
    } else if (lead >= 0xe0) {
        length = 3;
        if (lead == 0xe0) low = 0xa0;
        if (lead == 0xed) high = 0x9f;
    }
    if (text.size() - at < length) return 0;
    const unsigned char second = byteAt(text, at + 1);
    if (second < low || second > high) return 0;
    for (std::size_t i = 2; i < length; ++i) {
        if ((byteAt(text, at + i) & 0xc0) != 0x80) return 0;
    }
    return length;
}

// True when the lead byte at `at` starts a sequence longer than the text left.
bool cutShort(std::string_view text, std::size_t at) {
    const unsigned char lead = byteAt(text, at);
    const std::size_t length = lead >= 0xf0 ? 4 : lead >= 0xe0 ? 3 : 2;
    return lead >= 0xc2 && lead <= 0xf4 && text.size() - at < length;
}

// Hands `text` to `append` in pieces: runs of bytes as they are, and an escape for each
// byte of a control character. With `quoted`, each '"' and '\' gets a backslash as
// std::quoted gives it. Text without anything to change is handed on whole, in one piece.
// With `more`, the text goes on after its end: it stops before a UTF-8 sequence that the
// end cuts short, and returns how many bytes it took.
template <typename Append>
std::size_t writeEscaped(std::string_view text, bool quoted, Append append, bool more = false) {
    static constexpr char kHexDigits[] = "0123456789abcdef";
    std::size_t runStart = 0;
    std::size_t at = 0;
    while (at < text.size()) {
        const unsigned char byte = byteAt(text, at);
        std::size_t control = 0;  // bytes to escape from `at`
        if (byte >= 0x80) {
            if (more && cutShort(text, at)) break;
            // A C1 control is the UTF-8 pair c2 80..9f, or a byte 0x80..0x9f of no
            // well-formed sequence, which an 8-bit terminal takes as one.
            const std::size_t length = utf8Length(text, at);
            if (length == 2 && byte == 0xc2 && byteAt(text, at + 1) <= 0x9f) {
                control = 2;
            } else if (length == 0 && byte <= 0x9f) {
                control = 1;
            } else {
                at += length == 0 ? 1 : length;
                continue;
            }
        } else if (byte < 0x20 || byte == 0x7f) {
            control = 1;
        } else if (!quoted || (byte != '"' && byte != '\\')) {
            ++at;
            continue;
        }
        if (at > runStart) append(text.data() + runStart, at - runStart);
        if (control == 0) {
            const char pair[2] = {'\\', text[at]};
            append(pair, 2);
            ++at;
        }
        for (const std::size_t end = at + control; at < end; ++at) {
            const unsigned char escapedByte = byteAt(text, at);
            const char escape[4] = {'\\', 'x', kHexDigits[escapedByte >> 4], kHexDigits[escapedByte & 0xf]};
            append(escape, 4);
        }
        runStart = at;
    }
    if (at > runStart) append(text.data() + runStart, at - runStart);
    return at;
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

void EscapedStream::write(std::string_view piece) {
    cut_.append(piece);
    std::string shown;
    const std::size_t taken = writeEscaped(
        cut_, false, [&shown](const char* bytes, std::size_t count) { shown.append(bytes, count); }, true);
    cut_.erase(0, taken);
    out_.write(shown.data(), static_cast<std::streamsize>(shown.size()));
}

void EscapedStream::finish() {
    out_ << escaped(cut_);
    cut_.clear();
}

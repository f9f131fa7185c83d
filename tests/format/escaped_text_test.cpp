// Names as messages and the status area show them: control characters escaped, every
// other byte kept, and quoting before escaping.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "format/escaped_text.h"

namespace {

TEST(EscapedText, ControlCharactersBecomeHexEscapesAndNothingElseChanges) {
    using namespace std::string_literals;
    struct Row {
        std::string name;
        std::string shown;   // appended or streamed
        std::string quoted;  // as a quoted path
    };
    const std::vector<Row> table = {
        {"", "", R"("")"},
        {"docs/a b.txt", "docs/a b.txt", R"("docs/a b.txt")"},
        {"\x1b]2;PWNED\x07", R"(\x1b]2;PWNED\x07)", R"("\x1b]2;PWNED\x07")"},
        {"a\nb\rc\td", R"(a\x0ab\x0dc\x09d)", R"("a\x0ab\x0dc\x09d")"},
        {"\0\x1f\x20\x7e\x7f"s, R"(\x00\x1f ~\x7f)", R"("\x00\x1f ~\x7f")"},
        // C1 controls as UTF-8 pairs and as bytes 0x80..0x9f of no well-formed sequence;
        // other characters and other invalid bytes stay.
        {"\xc2\x80\xc2\x9b[2J\xc2\x9f", R"(\xc2\x80\xc2\x9b[2J\xc2\x9f)", R"("\xc2\x80\xc2\x9b[2J\xc2\x9f")"},
        {"\xc2\xa0\xc3\xa9\x9b\xff", "\xc2\xa0\xc3\xa9\\x9b\xff", "\"\xc2\xa0\xc3\xa9\\x9b\xff\""},
        {"\xc2\x7f\xc2", "\xc2\\x7f\xc2", "\"\xc2\\x7f\xc2\""},
        {"\x9b""31m\x80\x9f\xa0", "\\x9b""31m\\x80\\x9f\xa0", "\"\\x9b""31m\\x80\\x9f\xa0\""},
        // Continuation bytes 0x80..0x9f inside characters: U+20AC, U+D7FF, U+1D11E, U+10FFFF.
        {"\xe2\x82\xac\xed\x9f\xbf\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf", "\xe2\x82\xac\xed\x9f\xbf\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf",
         "\"\xe2\x82\xac\xed\x9f\xbf\xf0\x9d\x84\x9e\xf4\x8f\xbf\xbf\""},
        // Cut, overlong, surrogate and beyond U+10FFFF: no character, so their 0x80..0x9f
        // bytes are escaped and the rest kept.
        {"\xe2\x82", "\xe2\\x82", "\"\xe2\\x82\""},
        {"\xf0\x9d\x84x", "\xf0\\x9d\\x84x", "\"\xf0\\x9d\\x84x\""},
        {"\xc0\x80\xe0\x9f\xbf", "\xc0\\x80\xe0\\x9f\xbf", "\"\xc0\\x80\xe0\\x9f\xbf\""},
        {"\xed\xa0\x80\xf4\x90\x80\x80", "\xed\xa0\\x80\xf4\\x90\\x80\\x80", "\"\xed\xa0\\x80\xf4\\x90\\x80\\x80\""},
        {"\xe2\xc2\x9b", "\xe2\\xc2\\x9b", "\"\xe2\\xc2\\x9b\""},
        // Quoting doubles the name's own backslashes and quotes, never an escape's.
        {R"(a"b\c)", R"(a"b\c)", R"("a\"b\\c")"},
        {"\\\x1b\"", R"(\\x1b")", R"("\\\x1b\"")"},
    };
    for (const Row& row : table) {
        std::string appended = "Label: ";
        appendEscaped(appended, row.name);
        EXPECT_EQ(appended, "Label: " + row.shown) << row.shown;
        EXPECT_EQ(escapedLabel("Label: ", row.name), "Label: " + row.shown) << row.shown;
        std::ostringstream streamed;
        streamed << escaped(row.name) << '|' << escapedQuoted(std::filesystem::path(row.name));
        EXPECT_EQ(streamed.str(), row.shown + "|" + row.quoted) << row.shown;
        if (row.shown == row.name) {  // nothing to escape: quoted as a path quotes itself
            std::ostringstream plain;
            plain << std::filesystem::path(row.name);
            EXPECT_EQ(plain.str(), row.quoted);
        }
    }
}

}  // namespace

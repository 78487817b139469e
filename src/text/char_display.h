// How one character is shown inside a byte-range failure text.
#pragma once

#include <string>

namespace tolvik {

// Appends the character between single quotes: as itself (UTF-8) when it is
// printable, otherwise as \u{hex} (lowercase, no leading zeros). Escaped are
// control characters (U+0000..U+001F, U+007F..U+009F), surrogates,
// private-use, White_Space, Grapheme_Extend code points above U+02FF, format
// characters (Cf), default-ignorable and unassigned code points, and any
// value above U+10FFFF. The Unicode data comes from unicode_tables.inc.
void append_char_display(std::string& out, char32_t c);

}  // namespace tolvik

#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lan2com {

// The records hold their texts as single-byte text of code page 1251; the rest of the program
// speaks UTF-8. Characters that the code page lacks become '?'.

std::string toCp1251(std::string_view utf8);
std::string fromCp1251(std::string_view bytes);

// The code page byte of a character, or -1 when the code page lacks it.
int cp1251Byte(char32_t c);

// The text as it is kept in a record of the given capacity: turned into single-byte text and cut
// to its first `capacity` characters. UTF-8 in and out.
std::string cutText(std::string_view utf8, std::size_t capacity);

// UTF-8 to code points and back (invalid sequences become U+FFFD).
std::u32string decodeUtf8(std::string_view utf8);
std::string encodeUtf8(std::u32string_view text);
// Whether the bytes are well-formed UTF-8 (no overlong forms, surrogates or code points beyond
// U+10FFFF).
bool isValidUtf8(std::string_view text);

}  // namespace lan2com

#pragma once
// Case folding of 8-bit ANSI text in the engine code page (platform/CodePage.h), the code page of
// every name the engine keeps: database, table, field and index names and the names of files
// inside a plain file system or a container. A byte folds to the other case of its character
// when the code page holds that character, else to itself; the tables are built once per code
// page from the converter library's character data and do not depend on the host's locale.
//
// In the default code page, Windows-1251, the letter pairs are: ASCII A-Z/a-z, Cyrillic А-Я/а-я
// (0xC0-0xDF/0xE0-0xFF), Ё/ё (0xA8/0xB8) and the other Windows-1251 letters: Ђ/ђ 0x80/0x90,
// Ѓ/ѓ 0x81/0x83, Љ/љ 0x8A/0x9A, Њ/њ 0x8C/0x9C, Ќ/ќ 0x8D/0x9D, Ћ/ћ 0x8E/0x9E, Џ/џ 0x8F/0x9F,
// Ў/ў 0xA1/0xA2, Ј/ј 0xA3/0xBC, Ґ/ґ 0xA5/0xB4, Є/є 0xAA/0xBA, Ї/ї 0xAF/0xBF, І/і 0xB2/0xB3,
// Ѕ/ѕ 0xBD/0xBE. Every other byte maps to itself.

#include <cstdint>
#include <string>
#include <string_view>

namespace tesvar::platform {

// Upper / lower case of one character.
uint8_t AnsiUpperChar(uint8_t c);
uint8_t AnsiLowerChar(uint8_t c);

// The text with every letter in upper / lower case; the length is unchanged.
std::string AnsiUpperCase(std::string_view s);
std::string AnsiLowerCase(std::string_view s);

// Compares two texts case-insensitively, byte by byte after lower-casing: < 0, 0 or > 0 as a is
// before, equal to or after b (a proper prefix is before the longer text).
int AnsiCompareTextCI(std::string_view a, std::string_view b);
// AnsiCompareTextCI(a, b) == 0, without building the lower-cased texts.
bool AnsiSameText(std::string_view a, std::string_view b);

// ASCII-only lower case (A-Z only); other bytes, Cyrillic letters included, stay unchanged.
std::string AsciiLowerCase(std::string_view s);
// Equal after ASCII-only lower-casing.
bool AsciiSameText(std::string_view a, std::string_view b);

}  // namespace tesvar::platform

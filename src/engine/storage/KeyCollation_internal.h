#pragma once
// The string orders of index keys. Every comparison of ANSI or wide text that table storage makes
// goes through these functions: ANSI texts by the engine's collation (platform/AnsiCollation.h),
// wide texts by the collator of the user's locale.

#include <cstddef>
#include <cstdint>

namespace tesvar::storage {

// Compares two ANSI texts of the given lengths (no terminating zero inside) by the engine's
// collation, case-sensitively or not: < 0, 0 or > 0. A text that is a proper prefix of the other
// is before it.
int32_t compareAnsi(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive);

// True when compareAnsi is lexicographic by position (each pair of bytes at the same position
// compared through a fixed map until one differs: the collation's rank tables are in use): then
// two texts whose first n bytes compare unequal compare the same way whole, and keys can be
// decided on the texts' heads.
bool ansiComparesBytewise();


// Compares two UTF-16 texts, given as little-endian bytes (ALength, BLength: byte counts, even),
// by the collator of the user's locale (platform::UserLocaleName; case ignored, accents kept,
// when CaseInsensitive): < 0, 0 or > 0.
int32_t compareWide(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive);

}  // namespace tesvar::storage

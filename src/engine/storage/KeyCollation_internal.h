#pragma once
// The string orders of index keys. Every comparison of ANSI or wide text that table storage makes
// goes through these two functions, so the order they define is the one place to change.

#include <cstddef>
#include <cstdint>

namespace tesvar::storage {

// Compares two ANSI texts of the given lengths (no terminating zero inside): < 0, 0 or > 0.
// A text that is a proper prefix of the other is before it.
int32_t compareAnsi(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive);

// True when compareAnsi is lexicographic by position (each pair of bytes at the same position
// compared through a fixed map until one differs): then two texts whose first n bytes compare
// unequal compare the same way whole, and keys can be decided on the texts' heads.
bool ansiComparesBytewise();


// Compares two UTF-16 texts, given as little-endian bytes (ALength, BLength: byte counts, even),
// by the collation of the default locale (case ignored, accents kept, when CaseInsensitive):
// < 0, 0 or > 0.
int32_t compareWide(const uint8_t* A, size_t ALength, const uint8_t* B, size_t BLength, bool CaseInsensitive);

}  // namespace tesvar::storage

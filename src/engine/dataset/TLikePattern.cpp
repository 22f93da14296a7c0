#include "dataset/TLikePattern.h"

#include "platform/AnsiCollation.h"
#include "storage/TEdbIndex.h"

#include <algorithm>
#include <numeric>
#include <utility>

namespace tesvar::dataset {

namespace {

using TClasses = std::array<uint8_t, 256>;

// The classes of the bytes under a collation: the bytes sorted by their one-character texts,
// neighbours that compare equal sharing a class. (The zero byte ends a text and never reaches a
// comparison.)
TClasses makeClasses(const platform::TAnsiCollation& Collation, bool CaseInsensitive) {
  auto text = [](const uint8_t& Byte) { return std::string_view(reinterpret_cast<const char*>(&Byte), 1); };
  std::array<uint8_t, 255> bytes;
  std::iota(bytes.begin(), bytes.end(), uint8_t{1});
  std::stable_sort(bytes.begin(), bytes.end(), [&](const uint8_t& A, const uint8_t& B) {
    return Collation.Compare(text(A), text(B), CaseInsensitive) < 0;
  });
  TClasses classes{};
  uint8_t current = 1;
  for (size_t i = 0; i < bytes.size(); ++i) {
    if (i > 0 && Collation.Compare(text(bytes[i - 1]), text(bytes[i]), CaseInsensitive) != 0) ++current;
    classes[bytes[i]] = current;
  }
  return classes;
}

// The classes for the engine's collation in force. A collation is never freed once built, so its
// address names it; the tables are made again only when another collation came into force.
const TClasses& engineClasses(bool CaseInsensitive) {
  thread_local const platform::TAnsiCollation* madeFor[2] = {nullptr, nullptr};
  thread_local TClasses classes[2];
  const platform::TAnsiCollation& collation = platform::EngineCollation();
  const int k = CaseInsensitive ? 1 : 0;
  if (madeFor[k] != &collation) {
    classes[k] = makeClasses(collation, CaseInsensitive);
    madeFor[k] = &collation;
  }
  return classes[k];
}

}  // namespace

TAnsiLikePattern::TAnsiLikePattern(std::string Pattern, bool CaseInsensitive)
    : FClasses(&engineClasses(CaseInsensitive)) {
  const TClasses& classes = *FClasses;
  uint32_t start = 0;
  for (const char c : Pattern) {
    if (c == '%') {
      const auto length = static_cast<uint32_t>(FUnits.size()) - start;
      // The piece before the first "%" stands even when empty; empty pieces between "%"s do not.
      if (!FHasPercent || length > 0) FPieces.push_back({start, length});
      FHasPercent = true;
      start = static_cast<uint32_t>(FUnits.size());
    } else {
      FUnits.push_back(c == '_' ? kAnyByte : classes[static_cast<uint8_t>(c)]);
    }
  }
  FPieces.push_back({start, static_cast<uint32_t>(FUnits.size()) - start});
}

bool TAnsiLikePattern::MatchesAt(const TPiece& Piece, const uint8_t* Text) const {
  const TClasses& classes = *FClasses;
  const uint16_t* units = FUnits.data() + Piece.From;
  for (uint32_t i = 0; i < Piece.Length; ++i)
    if (units[i] != kAnyByte && units[i] != classes[Text[i]]) return false;
  return true;
}

bool TAnsiLikePattern::Matches(std::string_view Text) const {
  const auto* text = reinterpret_cast<const uint8_t*>(Text.data());
  const size_t n = Text.size();
  const TPiece& head = FPieces.front();
  if (!FHasPercent) return n == head.Length && MatchesAt(head, text);
  const TPiece& tail = FPieces.back();
  if (static_cast<size_t>(head.Length) + tail.Length > n) return false;
  if (!MatchesAt(head, text) || !MatchesAt(tail, text + n - tail.Length)) return false;
  // The pieces between, each at its leftmost place in what head and tail leave.
  const TClasses& classes = *FClasses;
  size_t at = head.Length;
  const size_t end = n - tail.Length;
  for (size_t p = 1; p + 1 < FPieces.size(); ++p) {
    const TPiece& piece = FPieces[p];
    const uint16_t first = FUnits[piece.From];
    bool found = false;
    for (; at + piece.Length <= end; ++at) {
      if ((first == kAnyByte || first == classes[text[at]]) && MatchesAt(piece, text + at)) {
        found = true;
        break;
      }
    }
    if (!found) return false;
    at += piece.Length;
  }
  return true;
}

TWideLikePattern::TWideLikePattern(std::u16string Pattern, bool CaseInsensitive)
    : FPattern(std::move(Pattern)), FCaseInsensitive(CaseInsensitive) {}

bool TWideLikePattern::Matches(std::u16string_view Text) const {
  return LikeMatches<char16_t>(FPattern, Text, [&](char16_t P, char16_t T) {
    if (P == T) return true;
    const uint8_t a[2] = {static_cast<uint8_t>(P), static_cast<uint8_t>(P >> 8)};
    const uint8_t b[2] = {static_cast<uint8_t>(T), static_cast<uint8_t>(T >> 8)};
    const storage::TKeyValue va{a, 2, false, a, 2};
    const storage::TKeyValue vb{b, 2, false, b, 2};
    return storage::CompareKeyValues(toolkit::ftWideString, FCaseInsensitive, va, vb) == 0;
  });
}

}  // namespace tesvar::dataset

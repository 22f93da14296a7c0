#pragma once
// Field and index definitions: what a dataset describes when it creates a table.

#include "toolkit/FieldType.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::toolkit {

// One field of a table to create. Size is the definition's size (characters of a string,
// bytes of ftBytes); other types ignore it.
struct TFieldDef {
  std::string Name{};
  TFieldType DataType = ftUnknown;
  int32_t Size = 0;
  bool Required = false;
};

using TFieldDefs = std::vector<TFieldDef>;

// Index options; the bit values are the ones stored in the index file.
enum TIndexOption : uint8_t {
  ixPrimary = 1,
  ixUnique = 2,
  ixDescending = 4,
  ixCaseInsensitive = 8,
  ixExpression = 16,
  ixNonMaintained = 32,
};

// A set of TIndexOption bits.
class TIndexOptions {
public:
  constexpr TIndexOptions() = default;
  constexpr TIndexOptions(TIndexOption Option) : FBits(Option) {}
  static constexpr TIndexOptions FromBits(uint8_t Bits) {
    TIndexOptions Options{};
    Options.FBits = Bits;
    return Options;
  }
  constexpr bool Contains(TIndexOption Option) const { return (FBits & Option) != 0; }
  constexpr TIndexOptions operator|(TIndexOptions Other) const { return FromBits(FBits | Other.FBits); }
  constexpr bool operator==(const TIndexOptions&) const = default;
  constexpr uint8_t Bits() const { return FBits; }

private:
  uint8_t FBits = 0;
};

constexpr TIndexOptions operator|(TIndexOption A, TIndexOption B) { return TIndexOptions(A) | B; }

// One index of a table to create. Fields, DescFields and CaseInsFields are field-name lists
// (names separated by "," or ";", blanks around names ignored).
struct TIndexDef {
  std::string Name{};
  std::string Fields{};
  std::string DescFields{};
  std::string CaseInsFields{};
  TIndexOptions Options{};
};

using TIndexDefs = std::vector<TIndexDef>;

// Definitions by name (names compare case-insensitively): the position of the first one of that
// name, -1 when there is none; Find gives the definition itself, null when there is none.
int32_t IndexOfFieldDef(const TFieldDefs& Defs, std::string_view Name);
const TFieldDef* FindFieldDef(const TFieldDefs& Defs, std::string_view Name);
int32_t IndexOfIndexDef(const TIndexDefs& Defs, std::string_view Name);
const TIndexDef* FindIndexDef(const TIndexDefs& Defs, std::string_view Name);

// Splits a field-name list at "," and ";", trimming blanks around each name and skipping empty
// items.
std::vector<std::string> SplitFieldNames(const std::string& List);

}  // namespace tesvar::toolkit

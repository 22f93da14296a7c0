#pragma once
// A small set of enumeration values, the C++ form of the framework's option sets (locate options,
// filter options, resync modes). The enumeration's values are bit positions: value v is held as
// bit (1 << v) of Bits(), which is the stored form where a set is stored.

#include <cstdint>
#include <initializer_list>

namespace tesvar::toolkit {

template <class E>
class TSet {
public:
  constexpr TSet() = default;
  constexpr TSet(std::initializer_list<E> Items) {
    for (E Item : Items) FBits |= Bit(Item);
  }
  static constexpr TSet FromBits(uint32_t Bits) {
    TSet Set{};
    Set.FBits = Bits;
    return Set;
  }

  constexpr bool Contains(E Item) const { return (FBits & Bit(Item)) != 0; }
  constexpr bool Empty() const { return FBits == 0; }
  constexpr uint32_t Bits() const { return FBits; }

  constexpr TSet& Include(E Item) {
    FBits |= Bit(Item);
    return *this;
  }
  constexpr TSet& Exclude(E Item) {
    FBits &= ~Bit(Item);
    return *this;
  }
  constexpr TSet operator+(TSet Other) const { return FromBits(FBits | Other.FBits); }
  constexpr TSet operator-(TSet Other) const { return FromBits(FBits & ~Other.FBits); }
  constexpr bool operator==(const TSet&) const = default;

private:
  static constexpr uint32_t Bit(E Item) { return uint32_t{1} << static_cast<uint32_t>(Item); }
  uint32_t FBits = 0;
};

}  // namespace tesvar::toolkit

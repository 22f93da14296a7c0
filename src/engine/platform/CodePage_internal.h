#pragma once
// The tables of a code page, built once from the converter library and shared by the
// conversions (CodePage.cpp) and the case folding (AnsiCase.cpp).

#include <array>
#include <atomic>
#include <cstdint>
#include <string>
#include <unordered_map>

namespace tesvar::platform {

// The case pair of each byte, or the byte itself.
struct TCaseTables {
  std::array<uint8_t, 256> Upper{};
  std::array<uint8_t, 256> Lower{};

  // Tables that map every byte to itself.
  static constexpr TCaseTables Identity() {
    TCaseTables T;
    for (size_t I = 0; I < 256; ++I) T.Upper[I] = T.Lower[I] = static_cast<uint8_t>(I);
    return T;
  }
  // Makes Up the upper case of Low and Low the lower case of Up.
  constexpr void Pair(int Up, int Low) {
    Lower[static_cast<size_t>(Up)] = static_cast<uint8_t>(Low);
    Upper[static_cast<size_t>(Low)] = static_cast<uint8_t>(Up);
  }
};

struct TCodePageTables {
  std::string Name;                                   // as it was set
  std::array<int32_t, 256> ToUnicode{};               // the character of each byte; -1 undefined
  std::unordered_map<char32_t, uint8_t> FromUnicode;  // the byte of each character that has one
  TCaseTables Case;
};

namespace detail {
// The engine code page's tables; null until the first conversion or SetEngineCodePage. Tables
// once built are never freed, so a pointer read here stays valid.
extern std::atomic<const TCodePageTables*> gEngineCodePage;
// Its case tables; from the start the default code page's, so that folding, on the path of every
// name lookup, costs one load and no check.
extern std::atomic<const TCaseTables*> gEngineCase;
// Installs the default code page unless one is installed; returns the installed one.
const TCodePageTables& InstallDefaultCodePage();
// Drops the engine's collation (platform/AnsiCollation.h), built for the former code page; the
// next comparison builds it again.
void EngineCodePageChanged();
}  // namespace detail

inline const TCodePageTables& EngineCodePageTables() {
  if (const TCodePageTables* Tables = detail::gEngineCodePage.load(std::memory_order_acquire)) [[likely]] {
    return *Tables;
  }
  return detail::InstallDefaultCodePage();
}

inline const TCaseTables& EngineCaseTables() { return *detail::gEngineCase.load(std::memory_order_acquire); }

}  // namespace tesvar::platform

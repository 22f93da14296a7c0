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
}  // namespace detail

inline const TCodePageTables& EngineCodePageTables() {
  if (const TCodePageTables* Tables = detail::gEngineCodePage.load(std::memory_order_acquire)) [[likely]] {
    return *Tables;
  }
  return detail::InstallDefaultCodePage();
}

inline const TCaseTables& EngineCaseTables() { return *detail::gEngineCase.load(std::memory_order_acquire); }

}  // namespace tesvar::platform

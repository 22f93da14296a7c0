#include "platform/AnsiCase.h"

#include <array>

namespace tesvar::platform {

namespace {

struct CaseTables {
  std::array<uint8_t, 256> upper{};
  std::array<uint8_t, 256> lower{};
};

constexpr CaseTables buildTables() {
  CaseTables t;
  for (int i = 0; i < 256; ++i) {
    t.upper[i] = static_cast<uint8_t>(i);
    t.lower[i] = static_cast<uint8_t>(i);
  }
  auto pair = [&t](int up, int low) {
    t.lower[up] = static_cast<uint8_t>(low);
    t.upper[low] = static_cast<uint8_t>(up);
  };
  for (int i = 0; i < 26; ++i) pair('A' + i, 'a' + i);
  for (int i = 0; i < 32; ++i) pair(0xC0 + i, 0xE0 + i);
  constexpr int kPairs[][2] = {
      {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D},
      {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2}, {0xA3, 0xBC}, {0xA5, 0xB4},
      {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE},
  };
  for (const auto& p : kPairs) pair(p[0], p[1]);
  return t;
}

constexpr CaseTables kTables = buildTables();

uint8_t asciiLower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

}  // namespace

uint8_t AnsiUpperChar(uint8_t c) { return kTables.upper[c]; }
uint8_t AnsiLowerChar(uint8_t c) { return kTables.lower[c]; }

std::string AnsiUpperCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(kTables.upper[static_cast<uint8_t>(c)]);
  return r;
}

std::string AnsiLowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(kTables.lower[static_cast<uint8_t>(c)]);
  return r;
}

int AnsiCompareTextCI(std::string_view a, std::string_view b) {
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int ca = kTables.lower[static_cast<uint8_t>(a[i])];
    const int cb = kTables.lower[static_cast<uint8_t>(b[i])];
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (kTables.lower[static_cast<uint8_t>(a[i])] != kTables.lower[static_cast<uint8_t>(b[i])])
      return false;
  return true;
}

std::string AsciiLowerCase(std::string_view s) {
  std::string r(s);
  for (char& c : r) c = static_cast<char>(asciiLower(static_cast<uint8_t>(c)));
  return r;
}

bool AsciiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (asciiLower(static_cast<uint8_t>(a[i])) != asciiLower(static_cast<uint8_t>(b[i])))
      return false;
  return true;
}

}  // namespace tesvar::platform

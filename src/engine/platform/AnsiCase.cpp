#include "platform/AnsiCase.h"

#include "platform/CodePage_internal.h"

namespace tesvar::platform {

namespace {

uint8_t asciiLower(uint8_t c) { return (c >= 'A' && c <= 'Z') ? static_cast<uint8_t>(c + 32) : c; }

}  // namespace

uint8_t AnsiUpperChar(uint8_t c) { return EngineCaseTables().Upper[c]; }
uint8_t AnsiLowerChar(uint8_t c) { return EngineCaseTables().Lower[c]; }

std::string AnsiUpperCase(std::string_view s) {
  const auto& upper = EngineCaseTables().Upper;
  std::string r(s);
  for (char& c : r) c = static_cast<char>(upper[static_cast<uint8_t>(c)]);
  return r;
}

std::string AnsiLowerCase(std::string_view s) {
  const auto& lower = EngineCaseTables().Lower;
  std::string r(s);
  for (char& c : r) c = static_cast<char>(lower[static_cast<uint8_t>(c)]);
  return r;
}

int AnsiCompareTextCI(std::string_view a, std::string_view b) {
  const auto& lower = EngineCaseTables().Lower;
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    const int ca = lower[static_cast<uint8_t>(a[i])];
    const int cb = lower[static_cast<uint8_t>(b[i])];
    if (ca != cb) return ca - cb;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool AnsiSameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  const auto& lower = EngineCaseTables().Lower;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower[static_cast<uint8_t>(a[i])] != lower[static_cast<uint8_t>(b[i])]) return false;
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

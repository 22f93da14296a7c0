#include "toolkit/Conversions.h"

#include "platform/AnsiCase.h"
#include "toolkit/Errors.h"
#include "toolkit/FormatSettings.h"
#include "toolkit/Messages.h"

#include <charconv>
#include <cmath>
#include <limits>

namespace tesvar::toolkit {

std::string_view Trim(std::string_view Text) {
  size_t First = 0, Last = Text.size();
  while (First < Last && static_cast<unsigned char>(Text[First]) <= ' ') ++First;
  while (Last > First && static_cast<unsigned char>(Text[Last - 1]) <= ' ') --Last;
  return Text.substr(First, Last - First);
}

std::string IntToStr(int64_t Value) { return std::to_string(Value); }

bool TryStrToInt64(std::string_view Text, int64_t& Value) {
  std::string_view t = Trim(Text);
  if (!t.empty() && t[0] == '+') {
    t.remove_prefix(1);
    if (!t.empty() && (t[0] == '-' || t[0] == '+')) return false;
  }
  if (t.empty()) return false;
  int64_t v = 0;
  auto [end, ec] = std::from_chars(t.data(), t.data() + t.size(), v);
  if (ec != std::errc() || end != t.data() + t.size()) return false;
  Value = v;
  return true;
}

bool TryStrToInt(std::string_view Text, int32_t& Value) {
  int64_t v = 0;
  if (!TryStrToInt64(Text, v) || v < std::numeric_limits<int32_t>::min() || v > std::numeric_limits<int32_t>::max())
    return false;
  Value = static_cast<int32_t>(v);
  return true;
}

int64_t StrToInt64(std::string_view Text) {
  int64_t v = 0;
  if (!TryStrToInt64(Text, v)) throw EConvertError(FormatMsg(SInvalidInteger, {Text}));
  return v;
}

int32_t StrToInt(std::string_view Text) {
  int32_t v = 0;
  if (!TryStrToInt(Text, v)) throw EConvertError(FormatMsg(SInvalidInteger, {Text}));
  return v;
}

std::string FloatToStr(double Value) {
  if (std::isnan(Value)) return "NAN";
  if (std::isinf(Value)) return Value < 0 ? "-INF" : "INF";
  char buf[64];
  auto [end, ec] = std::to_chars(buf, buf + sizeof buf, Value, std::chars_format::general, 15);
  if (ec != std::errc()) return "NAN";  // cannot happen: 64 bytes hold any 15-digit form
  // to_chars writes "1.5e+20" / "1e-05"; the framework's form is "1,5E20" / "1E-5".
  std::string Text;
  for (char* p = buf; p != end; ++p) {
    if (*p == '.') {
      Text += FormatSettings().DecimalSeparator;
    } else if (*p == 'e') {
      Text += 'E';
      ++p;
      if (*p == '-') Text += '-';
      ++p;
      while (p + 1 != end && *p == '0') ++p;
      Text.append(p, end);
      break;
    } else {
      Text += *p;
    }
  }
  return Text;
}

bool TryStrToFloat(std::string_view Text, double& Value) {
  std::string_view t = Trim(Text);
  const char Sep = FormatSettings().DecimalSeparator;
  std::string Plain;
  size_t i = 0;
  if (i < t.size() && (t[i] == '+' || t[i] == '-')) {
    if (t[i] == '-') Plain += '-';
    ++i;
  }
  size_t Digits = 0;
  while (i < t.size() && t[i] >= '0' && t[i] <= '9') Plain += t[i++], ++Digits;
  if (i < t.size() && t[i] == Sep) {
    Plain += '.';
    ++i;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') Plain += t[i++], ++Digits;
  }
  if (Digits == 0) return false;
  if (i < t.size() && (t[i] == 'e' || t[i] == 'E')) {
    Plain += 'e';
    ++i;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) Plain += t[i++];
    size_t ExpDigits = 0;
    while (i < t.size() && t[i] >= '0' && t[i] <= '9') Plain += t[i++], ++ExpDigits;
    if (ExpDigits == 0) return false;
  }
  if (i != t.size()) return false;
  double v = 0;
  auto [end, ec] = std::from_chars(Plain.data(), Plain.data() + Plain.size(), v);
  if (ec != std::errc() || end != Plain.data() + Plain.size()) return false;
  Value = v;
  return true;
}

double StrToFloat(std::string_view Text) {
  double v = 0;
  if (!TryStrToFloat(Text, v)) throw EConvertError(FormatMsg(SInvalidFloat, {Text}));
  return v;
}

std::string BoolToStr(bool Value) { return Value ? "True" : "False"; }

bool TryStrToBool(std::string_view Text, bool& Value) {
  const std::string_view t = Trim(Text);
  if (platform::AsciiSameText(t, "true")) {
    Value = true;
    return true;
  }
  if (platform::AsciiSameText(t, "false")) {
    Value = false;
    return true;
  }
  int64_t n = 0;
  if (!TryStrToInt64(t, n)) return false;
  Value = n != 0;
  return true;
}

bool StrToBool(std::string_view Text) {
  bool v = false;
  if (!TryStrToBool(Text, v)) throw EConvertError(FormatMsg(SInvalidBoolean, {Text}));
  return v;
}

}  // namespace tesvar::toolkit

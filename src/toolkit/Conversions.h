#pragma once
// Numbers and Booleans as text, in the process-wide format (FormatSettings.h). Every function that
// reads text raises EConvertError with the framework's message naming the text when it is not a
// value of the kind asked for; the Try forms report that by result instead.

#include <cstdint>
#include <string>
#include <string_view>

namespace tesvar::toolkit {

// The text without blanks and control characters (bytes up to 0x20) at both ends.
std::string_view Trim(std::string_view Text);

std::string IntToStr(int64_t Value);
// Decimal integer, optional sign, blanks around it ignored. Raises EConvertError
// ("'<text>' is not a valid integer value"), also for a value outside the result type.
int32_t StrToInt(std::string_view Text);
int64_t StrToInt64(std::string_view Text);
[[nodiscard]] bool TryStrToInt(std::string_view Text, int32_t& Value);
[[nodiscard]] bool TryStrToInt64(std::string_view Text, int64_t& Value);

// The shortest text of at most 15 significant digits that reads back as the same rounded value,
// with the decimal separator of the format; plain notation for exponents from -5 to 14, else
// mantissa, "E" and exponent ("1,5E20", "1E-5"). Infinities and NaN give "INF", "-INF", "NAN".
std::string FloatToStr(double Value);
// Optional sign, digits with at most one decimal separator of the format, optional exponent
// ("E" or "e", optional sign, digits); blanks around it ignored. Raises EConvertError
// ("'<text>' is not a valid floating point value"), also for a value beyond the double range.
double StrToFloat(std::string_view Text);
[[nodiscard]] bool TryStrToFloat(std::string_view Text, double& Value);

// "True" / "False".
std::string BoolToStr(bool Value);
// "true" or "false" in any letter case, or an integer (non-zero is true). Raises EConvertError
// ("'<text>' is not a valid boolean value").
bool StrToBool(std::string_view Text);
[[nodiscard]] bool TryStrToBool(std::string_view Text, bool& Value);

}  // namespace tesvar::toolkit

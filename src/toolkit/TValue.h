#pragma once
// TValue: the framework's one variant value. It is what a field's Value, a parameter's value, the
// key values of Locate and the result of Lookup are.
//
// A value has a type code (TVarType, the codes of the classic variant: varNull 1, varInteger 3,
// varByte 17, varString 0x100 ...), which callers may inspect (VarType) and which the messages
// name. It holds: nothing (varNull), a Boolean, an integer of one of the integer types (kept as
// int64), a floating-point number of type varSingle, varDouble or varCurrency (kept as double), a
// date-time (varDate, a TDateTime), an ANSI string (varString, code-page bytes), a wide string
// (varOleStr, UTF-16), bytes (varArray | varByte) or an array of values (varArray | varVariant).
//
// The As* conversions convert between the types as a program expects ("12" -> 12, 1.5 -> "1,5" in
// the process-wide format, true -> 1); a value that has no such form raises EVariantTypeCastError
// ("Could not convert variant of type (Null) into type (Integer)"), a number that does not fit
// EVariantOverflowError ("Overflow while converting variant of type (Int64) into type
// (Integer)"). Null converts to nothing: every As* of Null raises (use VarToStr for "" instead).

#include "toolkit/DateTime.h"

#include <cstdint>
#include <utility>
#include <string>
#include <variant>
#include <vector>

namespace tesvar::toolkit {

enum TVarType : uint16_t {
  varNull = 0x0001,
  varSmallint = 0x0002,
  varInteger = 0x0003,
  varSingle = 0x0004,
  varDouble = 0x0005,
  varCurrency = 0x0006,
  varDate = 0x0007,
  varOleStr = 0x0008,
  varBoolean = 0x000B,
  varVariant = 0x000C,
  varShortInt = 0x0010,
  varByte = 0x0011,
  varWord = 0x0012,
  varLongWord = 0x0013,
  varInt64 = 0x0014,
  varString = 0x0100,
  varArray = 0x2000,
};

// The name of a type code as the messages write it: "Null", "Integer", "String", "Array Byte" ...
std::string VarTypeAsText(uint16_t VarType);

class TValue {
public:
  // Null.
  TValue() = default;
  TValue(bool Value) : FType(varBoolean), FData(Value) {}
  TValue(int32_t Value) : FType(varInteger), FData(int64_t{Value}) {}
  TValue(int64_t Value) : FType(varInt64), FData(Value) {}
  TValue(double Value) : FType(varDouble), FData(Value) {}
  TValue(const char* Value) : FType(varString), FData(std::string(Value)) {}
  TValue(std::string Value) : FType(varString), FData(std::move(Value)) {}
  TValue(std::u16string Value) : FType(varOleStr), FData(std::move(Value)) {}

  static TValue Null() { return TValue(); }
  // An integer of type Type (varSmallint, varInteger, varShortInt, varByte, varWord, varLongWord or
  // varInt64). Raises EVariantOverflowError when Value lies outside that type's range and
  // EVariantTypeCastError for a type that is no integer type.
  static TValue FromInteger(int64_t Value, TVarType Type);
  static TValue FromCurrency(double Value);
  static TValue FromSingle(float Value);
  static TValue FromDateTime(TDateTime Value);
  static TValue FromBytes(std::vector<uint8_t> Value);
  static TValue FromArray(std::vector<TValue> Items);

  uint16_t VarType() const { return FType; }
  bool IsNull() const { return FType == varNull; }
  bool IsArray() const { return FType == (varArray | varVariant); }

  // Text: numbers in decimal (FloatToStr for floating point), Booleans "True" / "False", dates by
  // DateTimeToStr, wide strings converted to the engine code page (ECodePageError for a character
  // it lacks), bytes as they are.
  std::string AsString() const;
  std::u16string AsWideString() const;
  // Integers: floating point rounds to the nearest (halves to even), Booleans give 1 / 0, strings
  // are read as integers or else as floating point.
  int32_t AsInteger() const;
  int64_t AsInt64() const;
  // Floating point: dates give their TDateTime, Booleans 1 / 0, strings are read by StrToFloat.
  double AsFloat() const;
  // Points in time: numbers are a TDateTime, strings are read by StrToDateTime.
  TDateTime AsDateTime() const;
  // Booleans: numbers are true when not 0, strings by StrToBool.
  bool AsBoolean() const;
  // Bytes, or the bytes of an ANSI string.
  std::vector<uint8_t> AsBytes() const;

  // Items of an array value; raise EVariantTypeCastError for a value that is no array, and
  // EVariantError for an index outside 0 .. ItemCount() - 1.
  int32_t ItemCount() const;
  const TValue& Item(int32_t Index) const;

  // Same type code and same contents.
  bool operator==(const TValue& Other) const;

private:
  using TData = std::variant<std::monostate, bool, int64_t, double, std::string, std::u16string,
                             std::vector<uint8_t>, std::vector<TValue>>;
  // The alternative is built in place: moving a whole variant in makes GCC 12 warn about
  // uninitialised members of the alternatives not taken.
  template <class T>
  TValue(uint16_t Type, std::in_place_type_t<T> Kind, T Value) : FType(Type), FData(Kind, std::move(Value)) {}
  [[noreturn]] void CastError(uint16_t ToType) const;
  [[noreturn]] void OverflowError(uint16_t ToType) const;

  uint16_t FType = varNull;
  TData FData{};
};

// The value's text, "" for Null.
std::string VarToStr(const TValue& Value);

}  // namespace tesvar::toolkit

#include "toolkit/TValue.h"

#include "platform/CodePage.h"
#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/Messages.h"

#include <cmath>
#include <limits>

namespace tesvar::toolkit {

namespace {

struct TIntRange {
  int64_t Min;
  int64_t Max;
};

bool integerRange(uint16_t Type, TIntRange& Range) {
  switch (Type) {
    case varSmallint: Range = {INT16_MIN, INT16_MAX}; return true;
    case varInteger: Range = {INT32_MIN, INT32_MAX}; return true;
    case varShortInt: Range = {INT8_MIN, INT8_MAX}; return true;
    case varByte: Range = {0, UINT8_MAX}; return true;
    case varWord: Range = {0, UINT16_MAX}; return true;
    case varLongWord: Range = {0, UINT32_MAX}; return true;
    case varInt64: Range = {INT64_MIN, INT64_MAX}; return true;
    default: return false;
  }
}

bool isFloatType(uint16_t Type) { return Type == varSingle || Type == varDouble || Type == varCurrency; }

}  // namespace

std::string VarTypeAsText(uint16_t VarType) {
  if ((VarType & varArray) != 0) return "Array " + VarTypeAsText(static_cast<uint16_t>(VarType & ~varArray));
  switch (VarType) {
    case varNull: return "Null";
    case varSmallint: return "Smallint";
    case varInteger: return "Integer";
    case varSingle: return "Single";
    case varDouble: return "Double";
    case varCurrency: return "Currency";
    case varDate: return "Date";
    case varOleStr: return "OleStr";
    case varBoolean: return "Boolean";
    case varVariant: return "Variant";
    case varShortInt: return "ShortInt";
    case varByte: return "Byte";
    case varWord: return "Word";
    case varLongWord: return "LongWord";
    case varInt64: return "Int64";
    case varString: return "String";
    default: return "$" + IntToStr(VarType);
  }
}

TValue TValue::FromInteger(int64_t Value, TVarType Type) {
  TIntRange Range{};
  if (!integerRange(Type, Range))
    throw EVariantTypeCastError(FormatMsg(SVarTypeCastError, {VarTypeAsText(varInt64), VarTypeAsText(Type)}));
  if (Value < Range.Min || Value > Range.Max)
    throw EVariantOverflowError(FormatMsg(SVarOverflowError, {VarTypeAsText(varInt64), VarTypeAsText(Type)}));
  return TValue(Type, std::in_place_type<int64_t>, Value);
}

TValue TValue::FromCurrency(double Value) { return TValue(varCurrency, std::in_place_type<double>, Value); }
TValue TValue::FromSingle(float Value) {
  return TValue(varSingle, std::in_place_type<double>, static_cast<double>(Value));
}
TValue TValue::FromDateTime(TDateTime Value) { return TValue(varDate, std::in_place_type<double>, Value); }
TValue TValue::FromBytes(std::vector<uint8_t> Value) {
  return TValue(varArray | varByte, std::in_place_type<std::vector<uint8_t>>, std::move(Value));
}
TValue TValue::FromArray(std::vector<TValue> Items) {
  return TValue(varArray | varVariant, std::in_place_type<std::vector<TValue>>, std::move(Items));
}

void TValue::CastError(uint16_t ToType) const {
  throw EVariantTypeCastError(FormatMsg(SVarTypeCastError, {VarTypeAsText(FType), VarTypeAsText(ToType)}));
}

void TValue::OverflowError(uint16_t ToType) const {
  throw EVariantOverflowError(FormatMsg(SVarOverflowError, {VarTypeAsText(FType), VarTypeAsText(ToType)}));
}

std::string TValue::AsString() const {
  TIntRange Range{};
  if (integerRange(FType, Range)) return IntToStr(std::get<int64_t>(FData));
  if (isFloatType(FType)) return FloatToStr(std::get<double>(FData));
  switch (FType) {
    case varBoolean: return BoolToStr(std::get<bool>(FData));
    case varDate: return DateTimeToStr(std::get<double>(FData));
    case varString: return std::get<std::string>(FData);
    case varOleStr: return platform::ToAnsi(std::get<std::u16string>(FData));
    case varArray | varByte: {
      const auto& Bytes = std::get<std::vector<uint8_t>>(FData);
      return std::string(Bytes.begin(), Bytes.end());
    }
    default: CastError(varString);
  }
}

std::u16string TValue::AsWideString() const {
  if (FType == varOleStr) return std::get<std::u16string>(FData);
  if (FType == (varArray | varByte)) CastError(varOleStr);
  return platform::FromAnsiUtf16(AsString());
}

int64_t TValue::AsInt64() const {
  TIntRange Range{};
  if (integerRange(FType, Range)) return std::get<int64_t>(FData);
  if (isFloatType(FType) || FType == varDate) {
    const double Rounded = std::nearbyint(std::get<double>(FData));
    // 2^63 is the first double above the int64 range.
    if (!(Rounded >= -9223372036854775808.0 && Rounded < 9223372036854775808.0)) OverflowError(varInt64);
    return static_cast<int64_t>(Rounded);
  }
  switch (FType) {
    case varBoolean: return std::get<bool>(FData) ? 1 : 0;
    case varString:
    case varOleStr: {
      const std::string Text = AsString();
      int64_t v = 0;
      if (TryStrToInt64(Text, v)) return v;
      double d = 0;
      if (!TryStrToFloat(Text, d)) CastError(varInt64);
      return TValue(d).AsInt64();
    }
    default: CastError(varInt64);
  }
}

int32_t TValue::AsInteger() const {
  int64_t v = 0;
  try {
    v = AsInt64();
  } catch (const EVariantOverflowError&) {
    OverflowError(varInteger);
  } catch (const EVariantTypeCastError&) {
    CastError(varInteger);
  }
  if (v < INT32_MIN || v > INT32_MAX) OverflowError(varInteger);
  return static_cast<int32_t>(v);
}

double TValue::AsFloat() const {
  TIntRange Range{};
  if (integerRange(FType, Range)) return static_cast<double>(std::get<int64_t>(FData));
  if (isFloatType(FType) || FType == varDate) return std::get<double>(FData);
  switch (FType) {
    case varBoolean: return std::get<bool>(FData) ? 1.0 : 0.0;
    case varString:
    case varOleStr: {
      double d = 0;
      if (!TryStrToFloat(AsString(), d)) CastError(varDouble);
      return d;
    }
    default: CastError(varDouble);
  }
}

TDateTime TValue::AsDateTime() const {
  TIntRange Range{};
  if (integerRange(FType, Range)) return static_cast<double>(std::get<int64_t>(FData));
  if (isFloatType(FType) || FType == varDate) return std::get<double>(FData);
  if (FType == varString || FType == varOleStr) {
    TDateTime d = 0;
    if (!TryStrToDateTime(AsString(), d)) CastError(varDate);
    return d;
  }
  CastError(varDate);
}

bool TValue::AsBoolean() const {
  TIntRange Range{};
  if (integerRange(FType, Range)) return std::get<int64_t>(FData) != 0;
  if (isFloatType(FType)) return std::get<double>(FData) != 0;
  switch (FType) {
    case varBoolean: return std::get<bool>(FData);
    case varString:
    case varOleStr: {
      bool b = false;
      if (!TryStrToBool(AsString(), b)) CastError(varBoolean);
      return b;
    }
    default: CastError(varBoolean);
  }
}

std::vector<uint8_t> TValue::AsBytes() const {
  if (FType == (varArray | varByte)) return std::get<std::vector<uint8_t>>(FData);
  if (FType == varString) {
    const auto& Text = std::get<std::string>(FData);
    return std::vector<uint8_t>(Text.begin(), Text.end());
  }
  CastError(varArray | varByte);
}

int32_t TValue::ItemCount() const {
  if (!IsArray()) CastError(varArray | varVariant);
  return static_cast<int32_t>(std::get<std::vector<TValue>>(FData).size());
}

const TValue& TValue::Item(int32_t Index) const {
  if (!IsArray()) CastError(varArray | varVariant);
  const auto& Items = std::get<std::vector<TValue>>(FData);
  if (Index < 0 || static_cast<size_t>(Index) >= Items.size())
    throw EVariantError(FormatMsg(SVarArrayBounds, {IntToStr(Index)}));
  return Items[static_cast<size_t>(Index)];
}

bool TValue::operator==(const TValue& Other) const { return FType == Other.FType && FData == Other.FData; }

std::string VarToStr(const TValue& Value) { return Value.IsNull() ? std::string() : Value.AsString(); }

}  // namespace tesvar::toolkit

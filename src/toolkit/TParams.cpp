#include "toolkit/TParams.h"

#include "platform/AnsiCase.h"
#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/Messages.h"

namespace tesvar::toolkit {

namespace {

TFieldType typeOfValue(const TValue& Value) {
  switch (Value.VarType()) {
    case varString: return ftString;
    case varOleStr: return ftWideString;
    case varSmallint:
    case varShortInt:
    case varByte: return ftSmallint;
    case varWord: return ftWord;
    case varInteger: return ftInteger;
    case varLongWord:
    case varInt64: return ftLargeint;
    case varSingle:
    case varDouble: return ftFloat;
    case varCurrency: return ftCurrency;
    case varDate: return ftDateTime;
    case varBoolean: return ftBoolean;
    case varArray | varByte: return ftBytes;
    default: return ftUnknown;
  }
}

bool isNameChar(char c) {
  const auto u = static_cast<unsigned char>(c);
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' || u >= 0x80;
}

}  // namespace

void TParam::Set(TFieldType Type, TValue Value) {
  FDataType = Type;
  FValue = std::move(Value);
  FBound = true;
}

void TParam::SetValue(const TValue& Value) {
  if (FDataType == ftUnknown) FDataType = typeOfValue(Value);
  FValue = Value;
  FBound = true;
}

std::string TParam::AsString() const { return VarToStr(FValue); }
void TParam::SetAsString(const std::string& Value) { Set(ftString, TValue(Value)); }
int32_t TParam::AsInteger() const { return IsNull() ? 0 : FValue.AsInteger(); }
void TParam::SetAsInteger(int32_t Value) { Set(ftInteger, TValue(Value)); }
int64_t TParam::AsLargeInt() const { return IsNull() ? 0 : FValue.AsInt64(); }
void TParam::SetAsLargeInt(int64_t Value) { Set(ftLargeint, TValue(Value)); }
double TParam::AsFloat() const { return IsNull() ? 0.0 : FValue.AsFloat(); }
void TParam::SetAsFloat(double Value) { Set(ftFloat, TValue(Value)); }
TDateTime TParam::AsDateTime() const { return IsNull() ? 0.0 : FValue.AsDateTime(); }
void TParam::SetAsDateTime(TDateTime Value) { Set(ftDateTime, TValue::FromDateTime(Value)); }
bool TParam::AsBoolean() const { return !IsNull() && FValue.AsBoolean(); }
void TParam::SetAsBoolean(bool Value) { Set(ftBoolean, TValue(Value)); }

TParam& TParams::operator[](int32_t Index) const {
  if (Index < 0 || Index >= Count()) DatabaseError(FormatMsg(SListIndexError, {IntToStr(Index)}));
  return *FItems[static_cast<size_t>(Index)];
}

TParam& TParams::CreateParam(TFieldType DataType, const std::string& Name, TParamType ParamType) {
  FItems.push_back(std::make_unique<TParam>(Name, DataType, ParamType));
  return *FItems.back();
}

TParam* TParams::FindParam(std::string_view Name) const {
  for (const auto& Item : FItems)
    if (platform::AnsiSameText(Item->Name(), Name)) return Item.get();
  return nullptr;
}

TParam& TParams::ParamByName(std::string_view Name) const {
  TParam* Param = FindParam(Name);
  if (Param == nullptr) DatabaseError(FormatMsg(SParameterNotFound, {Name}));
  return *Param;
}

TValue TParams::ParamValues(std::string_view Names) const {
  if (Names.find(';') == std::string_view::npos) return ParamByName(Trim(Names)).Value();
  std::vector<TValue> Values;
  size_t Start = 0;
  while (Start <= Names.size()) {
    size_t End = Names.find(';', Start);
    if (End == std::string_view::npos) End = Names.size();
    const std::string_view Name = Trim(Names.substr(Start, End - Start));
    if (!Name.empty()) Values.push_back(ParamByName(Name).Value());
    Start = End + 1;
  }
  return TValue::FromArray(std::move(Values));
}

void TParams::Assign(const TParams& Source) {
  std::vector<std::unique_ptr<TParam>> Items;
  Items.reserve(Source.FItems.size());
  for (const auto& Item : Source.FItems) Items.push_back(std::make_unique<TParam>(*Item));
  FItems = std::move(Items);
}

void TParams::AssignValues(const TParams& Source) {
  for (const auto& Item : Source.FItems) {
    TParam* Target = FindParam(Item->Name());
    if (Target == nullptr) continue;
    Target->SetDataType(Item->DataType());
    Target->SetValue(Item->Value());
    Target->SetBound(Item->Bound());
  }
}

bool TParams::IsEqual(const TParams& Other) const {
  if (Count() != Other.Count()) return false;
  for (size_t i = 0; i < FItems.size(); ++i) {
    const TParam& a = *FItems[i];
    const TParam& b = *Other.FItems[i];
    if (a.Name() != b.Name() || a.DataType() != b.DataType() || a.ParamType() != b.ParamType() ||
        !(a.Value() == b.Value()) || a.Bound() != b.Bound())
      return false;
  }
  return true;
}

std::string TParams::ParseSQL(const std::string& SQL, bool DoCreate) {
  std::vector<std::string> Names;
  const size_t n = SQL.size();
  size_t i = 0;
  while (i < n) {
    const char c = SQL[i];
    if (c == '\'' || c == '"') {
      // A quoted text; a doubled quote stands for one inside it.
      ++i;
      while (i < n) {
        if (SQL[i] == c) {
          if (i + 1 < n && SQL[i + 1] == c) {
            i += 2;
            continue;
          }
          break;
        }
        ++i;
      }
      ++i;
      continue;
    }
    if (c != ':') {
      ++i;
      continue;
    }
    if (i + 1 < n && SQL[i + 1] == ':') {
      i += 2;
      continue;
    }
    if (i > 0 && isNameChar(SQL[i - 1])) {
      ++i;
      continue;
    }
    std::string Name;
    size_t j = i + 1;
    if (j < n && SQL[j] == '"') {
      const size_t Close = SQL.find('"', j + 1);
      if (Close == std::string::npos) break;
      Name = SQL.substr(j + 1, Close - j - 1);
      j = Close + 1;
    } else {
      while (j < n && isNameChar(SQL[j])) ++j;
      Name = SQL.substr(i + 1, j - i - 1);
    }
    if (!Name.empty()) {
      bool Seen = false;
      for (const std::string& Other : Names) Seen = Seen || platform::AnsiSameText(Other, Name);
      if (!Seen) Names.push_back(Name);
    }
    i = j;
  }
  if (DoCreate) {
    Clear();
    for (const std::string& Name : Names) CreateParam(ftUnknown, Name, ptInput);
  }
  return SQL;
}

}  // namespace tesvar::toolkit

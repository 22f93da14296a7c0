#include "toolkit/FieldClasses.h"

#include "platform/AnsiCase.h"
#include "platform/CodePage.h"
#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/Messages.h"
#include "toolkit/TDataSet.h"

#include <cmath>
#include <cstring>

namespace tesvar::toolkit {

namespace {

bool isTextValue(const TValue& Value) { return Value.VarType() == varString || Value.VarType() == varOleStr; }

bool isFloatValue(const TValue& Value) {
  const uint16_t t = Value.VarType();
  return t == varSingle || t == varDouble || t == varCurrency || t == varDate;
}

// Nearest integer of Value (halves to even) within Min .. Max; false when it lies outside or is
// no number.
bool roundInto(double Value, int64_t Min, int64_t Max, int64_t& Result) {
  const double r = std::nearbyint(Value);
  // Max + 1 is a power of two for every integer type, so it converts exactly.
  if (!(r >= static_cast<double>(Min) && r < static_cast<double>(Max) + 1.0)) return false;
  Result = static_cast<int64_t>(r);
  return true;
}

// The cases every SetValue shares: Null clears the field, a text goes through SetAsString.
// Returns whether Value was one of them.
bool assignNullOrText(TField& Field, const TValue& Value) {
  if (Value.IsNull()) {
    Field.Clear();
    return true;
  }
  if (isTextValue(Value)) {
    Field.SetAsString(Value.AsString());
    return true;
  }
  return false;
}

template <class T>
T readAs(const uint8_t* Bytes) {
  T v{};
  std::memcpy(&v, Bytes, sizeof v);
  return v;
}

template <class T>
T readAs(const std::vector<uint8_t>& Bytes) {
  return readAs<T>(Bytes.data());
}

}  // namespace

// ---- Strings ---------------------------------------------------------------------------------

std::string TStringField::AsString() const {
  // The native value straight into the result: one allocation at most, none for short texts.
  std::string Text(static_cast<size_t>(DataSize()), '\0');
  if (!GetData(Text.data())) return {};
  Text.resize(strnlen(Text.data(), Text.size()));
  return Text;
}

void TStringField::SetAsString(const std::string& Value) {
  std::vector<uint8_t> Buf(static_cast<size_t>(DataSize()), 0);
  std::memcpy(Buf.data(), Value.data(), std::min(Value.size(), static_cast<size_t>(Size())));
  SetData(Buf.data());
}

int32_t TStringField::AsInteger() const {
  const std::string Text = AsString();
  return Text.empty() ? 0 : StrToInt(Text);
}
void TStringField::SetAsInteger(int32_t Value) { SetAsString(IntToStr(Value)); }
int64_t TStringField::AsLargeInt() const {
  const std::string Text = AsString();
  return Text.empty() ? 0 : StrToInt64(Text);
}
void TStringField::SetAsLargeInt(int64_t Value) { SetAsString(IntToStr(Value)); }
double TStringField::AsFloat() const {
  const std::string Text = AsString();
  return Text.empty() ? 0.0 : StrToFloat(Text);
}
void TStringField::SetAsFloat(double Value) { SetAsString(FloatToStr(Value)); }
TDateTime TStringField::AsDateTime() const {
  const std::string Text = AsString();
  return Text.empty() ? 0.0 : StrToDateTime(Text);
}
void TStringField::SetAsDateTime(TDateTime Value) { SetAsString(DateTimeToStr(Value)); }
bool TStringField::AsBoolean() const {
  const std::string Text = AsString();
  if (Text.empty()) return false;
  const char c = Text[0];
  return c == 'T' || c == 't' || c == 'Y' || c == 'y' || c == '1';
}
void TStringField::SetAsBoolean(bool Value) { SetAsString(BoolToStr(Value)); }
std::vector<uint8_t> TStringField::AsBytes() const {
  const std::string Text = AsString();
  return std::vector<uint8_t>(Text.begin(), Text.end());
}
void TStringField::SetAsBytes(const std::vector<uint8_t>& Value) {
  SetAsString(std::string(Value.begin(), Value.end()));
}

TValue TStringField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue(AsString());
}

void TStringField::SetValue(const TValue& Value) {
  if (Value.IsNull()) {
    Clear();
    return;
  }
  SetAsString(Value.AsString());
}

std::u16string TWideStringField::AsWideString() const {
  std::vector<uint8_t> Buf;
  if (!ReadNative(Buf)) return {};
  std::u16string Text;
  for (size_t i = 0; i + 1 < Buf.size(); i += 2) {
    char16_t c = 0;
    std::memcpy(&c, Buf.data() + i, 2);
    if (c == 0) break;
    Text += c;
  }
  return Text;
}

void TWideStringField::SetAsWideString(const std::u16string& Value) {
  std::vector<uint8_t> Buf(static_cast<size_t>(DataSize()), 0);
  const size_t Chars = std::min(Value.size(), static_cast<size_t>(Size() / 2));
  std::memcpy(Buf.data(), Value.data(), Chars * 2);
  SetData(Buf.data());
}

std::string TWideStringField::AsString() const { return platform::ToAnsi(AsWideString()); }
void TWideStringField::SetAsString(const std::string& Value) { SetAsWideString(platform::FromAnsiUtf16(Value)); }

TValue TWideStringField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue(AsWideString());
}

void TWideStringField::SetValue(const TValue& Value) {
  if (Value.IsNull()) {
    Clear();
    return;
  }
  SetAsWideString(Value.AsWideString());
}

// ---- Integers --------------------------------------------------------------------------------

std::string TIntegralField::AsString() const {
  int64_t v = 0;
  return ReadInt(v) ? IntToStr(v) : std::string();
}

void TIntegralField::SetAsString(const std::string& Value) {
  if (Trim(Value).empty()) {
    Clear();
    return;
  }
  int64_t v = 0;
  if (!TryStrToInt64(Value, v)) throw EConvertError(FormatMsg(SInvalidInteger, {Value}));
  SetAsLargeInt(v);
}

int32_t TIntegralField::AsInteger() const {
  int64_t v = 0;
  if (!ReadInt(v)) return 0;
  if (v < INT32_MIN || v > INT32_MAX) RangeError(IntToStr(v), IntToStr(INT32_MIN), IntToStr(INT32_MAX));
  return static_cast<int32_t>(v);
}

void TIntegralField::SetAsInteger(int32_t Value) { SetAsLargeInt(Value); }

int64_t TIntegralField::AsLargeInt() const {
  int64_t v = 0;
  return ReadInt(v) ? v : 0;
}

void TIntegralField::SetAsLargeInt(int64_t Value) {
  if (Value < FMin || Value > FMax) RangeError(IntToStr(Value), IntToStr(FMin), IntToStr(FMax));
  WriteInt(Value);
}

double TIntegralField::AsFloat() const { return static_cast<double>(AsLargeInt()); }

void TIntegralField::SetAsFloat(double Value) {
  int64_t v = 0;
  if (!roundInto(Value, FMin, FMax, v)) RangeError(FloatToStr(Value), IntToStr(FMin), IntToStr(FMax));
  WriteInt(v);
}

TValue TIntegralField::Value() const {
  int64_t v = 0;
  if (!ReadInt(v)) return TValue::Null();
  return TValue::FromInteger(v, ValueType());
}

void TIntegralField::SetValue(const TValue& Value) {
  if (assignNullOrText(*this, Value)) return;
  if (isFloatValue(Value)) {
    SetAsFloat(Value.AsFloat());
  } else {
    SetAsLargeInt(Value.AsInt64());
  }
}

int32_t TIntegerField::DataSize() const { return DataType() == ftSmallint || DataType() == ftWord ? 2 : 4; }

bool TIntegerField::ReadInt(int64_t& Value) const {
  uint8_t Buf[4] = {};  // DataSize: 2 or 4
  if (!GetData(Buf)) return false;
  switch (DataType()) {
    case ftSmallint: Value = readAs<int16_t>(Buf); break;
    case ftWord: Value = readAs<uint16_t>(Buf); break;
    default: Value = readAs<int32_t>(Buf); break;
  }
  return true;
}

void TIntegerField::WriteInt(int64_t Value) {
  if (DataType() == ftSmallint) {
    const auto v = static_cast<int16_t>(Value);
    SetData(&v);
  } else if (DataType() == ftWord) {
    const auto v = static_cast<uint16_t>(Value);
    SetData(&v);
  } else {
    const auto v = static_cast<int32_t>(Value);
    SetData(&v);
  }
}

TVarType TIntegerField::ValueType() const {
  switch (DataType()) {
    case ftSmallint: return varSmallint;
    case ftWord: return varWord;
    default: return varInteger;
  }
}

bool TLargeintField::ReadInt(int64_t& Value) const {
  uint8_t Buf[8] = {};
  if (!GetData(Buf)) return false;
  Value = readAs<int64_t>(Buf);
  return true;
}

void TLargeintField::WriteInt(int64_t Value) { SetData(&Value); }

// ---- Boolean ---------------------------------------------------------------------------------

bool TBooleanField::AsBoolean() const {
  std::vector<uint8_t> Buf;
  return ReadNative(Buf) && readAs<int16_t>(Buf) != 0;
}

void TBooleanField::SetAsBoolean(bool Value) {
  const int16_t v = Value ? 1 : 0;
  SetData(&v);
}

std::string TBooleanField::AsString() const { return IsNull() ? std::string() : BoolToStr(AsBoolean()); }

void TBooleanField::SetAsString(const std::string& Value) {
  const std::string_view t = Trim(Value);
  if (t.empty()) {
    Clear();
    return;
  }
  const auto isPrefixOf = [&](std::string_view Word) {
    return t.size() <= Word.size() && platform::AsciiSameText(t, Word.substr(0, t.size()));
  };
  if (isPrefixOf("true")) {
    SetAsBoolean(true);
  } else if (isPrefixOf("false")) {
    SetAsBoolean(false);
  } else {
    DatabaseError(FormatMsg(SInvalidBoolValue, {Value, DisplayName()}));
  }
}

int32_t TBooleanField::AsInteger() const { return AsBoolean() ? 1 : 0; }
void TBooleanField::SetAsInteger(int32_t Value) { SetAsBoolean(Value != 0); }

TValue TBooleanField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue(AsBoolean());
}

void TBooleanField::SetValue(const TValue& Value) {
  if (!assignNullOrText(*this, Value)) SetAsBoolean(Value.AsBoolean());
}

// ---- Floating point --------------------------------------------------------------------------

double TFloatField::AsFloat() const {
  std::vector<uint8_t> Buf;
  return ReadNative(Buf) ? readAs<double>(Buf) : 0.0;
}

void TFloatField::SetAsFloat(double Value) { SetData(&Value); }

std::string TFloatField::AsString() const { return IsNull() ? std::string() : FloatToStr(AsFloat()); }

void TFloatField::SetAsString(const std::string& Value) {
  if (Trim(Value).empty()) {
    Clear();
    return;
  }
  SetAsFloat(StrToFloat(Value));
}

int32_t TFloatField::AsInteger() const {
  const double d = AsFloat();
  int64_t v = 0;
  if (!roundInto(d, INT32_MIN, INT32_MAX, v)) RangeError(FloatToStr(d), IntToStr(INT32_MIN), IntToStr(INT32_MAX));
  return static_cast<int32_t>(v);
}

void TFloatField::SetAsInteger(int32_t Value) { SetAsFloat(Value); }

int64_t TFloatField::AsLargeInt() const {
  const double d = AsFloat();
  int64_t v = 0;
  if (!roundInto(d, INT64_MIN, INT64_MAX, v)) RangeError(FloatToStr(d), IntToStr(INT64_MIN), IntToStr(INT64_MAX));
  return v;
}

void TFloatField::SetAsLargeInt(int64_t Value) { SetAsFloat(static_cast<double>(Value)); }

TValue TFloatField::Value() const {
  if (IsNull()) return TValue::Null();
  return DataType() == ftCurrency ? TValue::FromCurrency(AsFloat()) : TValue(AsFloat());
}

void TFloatField::SetValue(const TValue& Value) {
  if (!assignNullOrText(*this, Value)) SetAsFloat(Value.AsFloat());
}

// ---- Dates and times -------------------------------------------------------------------------

TDateTime TDateTimeField::AsDateTime() const {
  std::vector<uint8_t> Buf;
  if (!ReadNative(Buf)) return 0.0;
  switch (DataType()) {
    case ftDate: return TimeStampToDateTime(TTimeStamp{0, readAs<int32_t>(Buf)});
    case ftTime: return TimeStampToDateTime(TTimeStamp{readAs<int32_t>(Buf), DateDelta});
    default: return TimeStampToDateTime(MSecsToTimeStamp(readAs<double>(Buf)));
  }
}

void TDateTimeField::SetAsDateTime(TDateTime Value) {
  const TTimeStamp Stamp = DateTimeToTimeStamp(Value);
  uint8_t Buf[8] = {};
  switch (DataType()) {
    case ftDate: std::memcpy(Buf, &Stamp.Date, 4); break;
    case ftTime: std::memcpy(Buf, &Stamp.Time, 4); break;
    default: {
      const double MSecs = TimeStampToMSecs(Stamp);
      std::memcpy(Buf, &MSecs, 8);
      break;
    }
  }
  SetData(Buf);
}

std::string TDateTimeField::AsString() const {
  if (IsNull()) return {};
  switch (DataType()) {
    case ftDate: return DateToStr(AsDateTime());
    case ftTime: return TimeToStr(AsDateTime());
    default: return DateTimeToStr(AsDateTime());
  }
}

void TDateTimeField::SetAsString(const std::string& Value) {
  if (Trim(Value).empty()) {
    Clear();
    return;
  }
  SetAsDateTime(StrToDateTime(Value));
}

double TDateTimeField::AsFloat() const { return AsDateTime(); }
void TDateTimeField::SetAsFloat(double Value) { SetAsDateTime(Value); }

TValue TDateTimeField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue::FromDateTime(AsDateTime());
}

void TDateTimeField::SetValue(const TValue& Value) {
  if (!assignNullOrText(*this, Value)) SetAsDateTime(Value.AsDateTime());
}

// ---- Bytes -----------------------------------------------------------------------------------

std::vector<uint8_t> TBytesField::AsBytes() const {
  std::vector<uint8_t> Buf;
  if (!ReadNative(Buf)) return {};
  return Buf;
}

void TBytesField::SetAsBytes(const std::vector<uint8_t>& Value) {
  if (Value.size() > static_cast<size_t>(Size()))
    DatabaseError(FormatMsg(SFieldValueTooLong, {IntToStr(static_cast<int64_t>(Value.size())), DisplayName(),
                                                 IntToStr(Size())}));
  std::vector<uint8_t> Buf(static_cast<size_t>(DataSize()), 0);
  std::copy(Value.begin(), Value.end(), Buf.begin());
  SetData(Buf.data());
}

std::string TBytesField::AsString() const {
  const std::vector<uint8_t> Bytes = AsBytes();
  return std::string(Bytes.begin(), Bytes.end());
}

void TBytesField::SetAsString(const std::string& Value) {
  if (Value.empty()) {
    Clear();
    return;
  }
  SetAsBytes(std::vector<uint8_t>(Value.begin(), Value.end()));
}

TValue TBytesField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue::FromBytes(AsBytes());
}

void TBytesField::SetValue(const TValue& Value) {
  if (Value.IsNull()) {
    Clear();
    return;
  }
  SetAsBytes(Value.AsBytes());
}

// ---- BLOBs -----------------------------------------------------------------------------------

std::unique_ptr<TStream> TBlobField::ReadStream() const {
  TDataSet* Owner = DataSet();
  if (Owner == nullptr) DatabaseError(FormatMsg(SDataSetMissing, {DisplayName()}));
  if (IsNull()) return nullptr;
  std::unique_ptr<TStream> Stream = Owner->CreateBlobStream(*const_cast<TBlobField*>(this), bmRead);
  if (Stream) Stream->SetPosition(0);
  return Stream;
}

std::vector<uint8_t> TBlobField::AsBytes() const {
  std::unique_ptr<TStream> Stream = ReadStream();
  if (!Stream) return {};
  return Stream->ReadAll();
}

void TBlobField::SetAsBytes(const std::vector<uint8_t>& Value) {
  CheckWrite();
  std::unique_ptr<TStream> Stream = DataSet()->CreateBlobStream(*this, bmWrite);
  if (!Stream) DatabaseError(FormatMsg(SFieldReadOnly, {DisplayName()}));
  Stream->WriteBuffer(Value.data(), Value.size());
  // Destroying the stream hands the value to the dataset.
  Stream.reset();
}

std::string TBlobField::AsString() const {
  // The stream's bytes straight into the result (no byte vector between).
  std::unique_ptr<TStream> Stream = ReadStream();
  if (!Stream) return {};
  std::string Text(static_cast<size_t>(Stream->Size()), '\0');
  Stream->ReadBuffer(Text.data(), Text.size());
  return Text;
}

void TBlobField::SetAsString(const std::string& Value) { SetAsBytes(std::vector<uint8_t>(Value.begin(), Value.end())); }

TValue TBlobField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue::FromBytes(AsBytes());
}

void TBlobField::SetValue(const TValue& Value) {
  if (!assignNullOrText(*this, Value)) SetAsBytes(Value.AsBytes());
}

void TBlobField::Clear() { SetAsBytes({}); }

void TBlobField::LoadFromStream(TStream& Stream) { SetAsBytes(Stream.ReadAll()); }

void TBlobField::SaveToStream(TStream& Stream) const {
  const std::vector<uint8_t> Bytes = AsBytes();
  Stream.WriteBuffer(Bytes.data(), Bytes.size());
}

std::string TBlobField::GetText(bool DisplayText) const {
  if (!DisplayText) return AsString();
  const std::string Tag = DisplayTag();
  return "(" + (IsNull() ? platform::AsciiLowerCase(Tag) : Tag) + ")";
}

TValue TMemoField::Value() const {
  if (IsNull()) return TValue::Null();
  return TValue(AsString());
}

// ---- Factory ---------------------------------------------------------------------------------

std::unique_ptr<TField> CreateFieldOfType(TFieldType Type) {
  switch (Type) {
    case ftString:
    case ftFixedChar: return std::unique_ptr<TField>(new TStringField(Type, 20));
    case ftWideString: return std::make_unique<TWideStringField>();
    case ftSmallint: return std::make_unique<TSmallintField>();
    case ftInteger: return std::make_unique<TIntegerField>();
    case ftWord: return std::make_unique<TWordField>();
    case ftAutoInc: return std::make_unique<TAutoIncField>();
    case ftLargeint: return std::make_unique<TLargeintField>();
    case ftBoolean: return std::make_unique<TBooleanField>();
    case ftFloat: return std::make_unique<TFloatField>();
    case ftCurrency: return std::make_unique<TCurrencyField>();
    case ftBCD: return std::make_unique<TBCDField>();
    case ftDate: return std::make_unique<TDateField>();
    case ftTime: return std::make_unique<TTimeField>();
    case ftDateTime: return std::make_unique<TDateTimeField>();
    case ftBytes: return std::make_unique<TBytesField>();
    case ftMemo:
    case ftFmtMemo: return std::unique_ptr<TField>(new TMemoField(Type));
    case ftGraphic: return std::make_unique<TGraphicField>();
    case ftBlob:
    case ftParadoxOle:
    case ftDBaseOle:
    case ftTypedBinary: return std::unique_ptr<TField>(new TBlobField(Type));
    default: return nullptr;
  }
}

}  // namespace tesvar::toolkit

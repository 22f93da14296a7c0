#include "toolkit/TField.h"

#include "platform/CodePage.h"
#include "toolkit/Conversions.h"
#include "toolkit/Errors.h"
#include "toolkit/Messages.h"
#include "toolkit/TDataSet.h"

#include <cstring>

namespace tesvar::toolkit {

std::string FieldTypeName(TFieldType Type) {
  static constexpr const char* kNames[] = {
      "Unknown",   "String",     "Smallint", "Integer",  "Word",      "Boolean",   "Float",        "Currency",
      "BCD",       "Date",       "Time",     "DateTime", "Bytes",     "VarBytes",  "AutoInc",      "Blob",
      "Memo",      "Graphic",    "FmtMemo",  "ParadoxOle", "DBaseOle", "TypedBinary", "Cursor",    "FixedChar",
      "WideString", "Largeint",  "ADT",      "Array",    "Reference", "DataSet",   "OraBlob",      "OraClob",
      "Variant",   "Interface",  "IDispatch", "Guid"};
  if (Type < sizeof kNames / sizeof kNames[0]) return kNames[Type];
  return "Unknown";
}

TField::TField(TFieldType DataType, int32_t DefaultSize) : FDataType(DataType), FSize(DefaultSize) {}

TField::~TField() = default;

void TField::CheckInactive() const {
  if (FDataSet != nullptr) FDataSet->CheckInactive();
}

void TField::SetFieldName(std::string Value) {
  CheckInactive();
  if (FDataSet != nullptr) {
    const TField* Other = FDataSet->FindField(Value);
    if (Other != nullptr && Other != this) DatabaseError(FormatMsg(SDuplicateFieldName, {Value}), FDataSet->Name());
  }
  FFieldName = std::move(Value);
}

void TField::SetFieldKind(TFieldKind Value) {
  CheckInactive();
  FFieldKind = Value;
}

void TField::SetSize(int32_t Value) {
  CheckInactive();
  FSize = Value;
}

int32_t TField::Index() const { return FDataSet == nullptr ? -1 : FDataSet->Fields().IndexOf(*this); }

bool TField::CanModify() const { return !FReadOnly && FDataSet != nullptr && FDataSet->CanModify(); }

bool TField::GetData(void* Buffer) const {
  if (FDataSet == nullptr) DatabaseError(FormatMsg(SDataSetMissing, {DisplayName()}));
  if (FValidating) {
    if (FValidateBuffer == nullptr) return false;
    if (Buffer != nullptr) std::memcpy(Buffer, FValidateBuffer, static_cast<size_t>(DataSize()));
    return true;
  }
  return FDataSet->GetFieldData(*const_cast<TField*>(this), Buffer);
}

void TField::CheckWrite() const {
  if (FDataSet == nullptr) DatabaseError(FormatMsg(SDataSetMissing, {DisplayName()}));
  FDataSet->CheckFieldWrite(*this);
}

void TField::SetData(const void* Buffer) {
  CheckWrite();
  FDataSet->SetFieldData(*this, Buffer);
}

bool TField::ReadNative(std::vector<uint8_t>& Buffer) const {
  Buffer.assign(static_cast<size_t>(DataSize()), 0);
  return GetData(Buffer.data());
}

void TField::Validate(const void* Buffer) {
  if (!OnValidate) return;
  FValidating = true;
  FValidateBuffer = Buffer;
  try {
    OnValidate(*this);
  } catch (...) {
    FValidating = false;
    FValidateBuffer = nullptr;
    throw;
  }
  FValidating = false;
  FValidateBuffer = nullptr;
}

void TField::Change() {
  if (OnChange) OnChange(*this);
}

void TField::FocusControl() {
  if (FDataSet != nullptr) FDataSet->FocusControlOf(*this);
}

bool TField::IsNull() const { return !GetData(nullptr); }

void TField::Clear() { SetData(nullptr); }

std::string TField::GetText(bool DisplayText) const {
  (void)DisplayText;
  return AsString();
}

void TField::AccessError(const char* TypeName) const {
  DatabaseError(FormatMsg(SFieldAccessError, {DisplayName(), TypeName}));
}

void TField::RangeError(const std::string& Value, const std::string& Min, const std::string& Max) const {
  DatabaseError(FormatMsg(SFieldRangeError, {Value, DisplayName(), Min, Max}));
}

std::string TField::AsString() const { AccessError("String"); }
void TField::SetAsString(const std::string&) { AccessError("String"); }
std::u16string TField::AsWideString() const { return platform::FromAnsiUtf16(AsString()); }
void TField::SetAsWideString(const std::u16string& Value) { SetAsString(platform::ToAnsi(Value)); }
int32_t TField::AsInteger() const { AccessError("Integer"); }
void TField::SetAsInteger(int32_t) { AccessError("Integer"); }
int64_t TField::AsLargeInt() const { AccessError("Largeint"); }
void TField::SetAsLargeInt(int64_t) { AccessError("Largeint"); }
double TField::AsFloat() const { AccessError("Float"); }
void TField::SetAsFloat(double) { AccessError("Float"); }
TDateTime TField::AsDateTime() const { AccessError("DateTime"); }
void TField::SetAsDateTime(TDateTime) { AccessError("DateTime"); }
bool TField::AsBoolean() const { AccessError("Boolean"); }
void TField::SetAsBoolean(bool) { AccessError("Boolean"); }
std::vector<uint8_t> TField::AsBytes() const { AccessError("Bytes"); }
void TField::SetAsBytes(const std::vector<uint8_t>&) { AccessError("Bytes"); }

}  // namespace tesvar::toolkit

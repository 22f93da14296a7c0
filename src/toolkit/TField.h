#pragma once
// TField: one column of a dataset as the program sees it. A field reads and writes the value of
// its column in the dataset's current record through the dataset (GetFieldData / SetFieldData) in
// its type's native form, and converts it for the program: AsString, AsInteger, AsFloat,
// AsDateTime, AsBoolean, AsBytes, Value (TValue), IsNull, Clear.
//
// Native forms (what GetData / SetData carry; DataSize bytes):
//   ftString       Size + 1 bytes: ANSI text, zero-terminated (at most Size characters)
//   ftWideString   Size + 2 bytes: UTF-16 text, zero-terminated (Size counts bytes: at most
//                  Size / 2 characters)
//   ftSmallint     int16          ftWord    uint16         ftInteger, ftAutoInc  int32
//   ftLargeint     int64          ftBoolean 2 bytes, 0 = false, 1 = true (non-zero reads true)
//   ftFloat, ftCurrency, ftBCD    double
//   ftDate         8 bytes: int32 day number (DateTime.h) in the first 4, the rest 0
//   ftTime         8 bytes: int32 milliseconds since midnight in the first 4, the rest 0
//   ftDateTime     double: day number × 86 400 000 + milliseconds since midnight
//   ftBytes        Size bytes, raw
//   BLOB types     none (DataSize 0): the value goes through the dataset's CreateBlobStream
// Integers and doubles are in the machine's byte order.
//
// Reading a field whose dataset has no current record, or whose value is NULL, gives "" / 0 /
// false / 0.0 and IsNull true, and Value Null. Writing requires the dataset to be in a state that
// edits a record (dsEdit, dsInsert, dsSetKey; calculated fields only during dsCalcFields) and the
// field not to be ReadOnly ("Dataset not in edit or insert mode", "Field 'X' cannot be modified").
// A conversion a type does not offer raises "Cannot access field 'X' as type Integer"; texts that
// are no value of the type raise EConvertError; integers outside the type's range raise "40000 is
// not a valid value for field 'X'. The allowed range is -32768 to 32767".
//
// A field belongs to at most one dataset, which owns it (TDataSet::AddField for fields the program
// makes, or the dataset's default fields made at open).

#include "toolkit/DateTime.h"
#include "toolkit/FieldType.h"
#include "toolkit/TValue.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace tesvar::toolkit {

class TDataSet;

// Where a field's value comes from: the dataset's record (fkData) or the program's OnCalcFields
// handler (fkCalculated, kept in the record buffer's calculated-field area).
enum TFieldKind : uint8_t { fkData = 0, fkCalculated = 1 };

// The name of a field type as the messages write it: "String", "Integer", "DateTime" ...
std::string FieldTypeName(TFieldType Type);

class TField {
public:
  using TFieldNotifyEvent = std::function<void(TField& Sender)>;

  virtual ~TField();
  TField(const TField&) = delete;
  TField& operator=(const TField&) = delete;

  // Identity. FieldName, FieldKind and Size may change only while the field's dataset is closed
  // ("Cannot perform this operation on an open dataset").
  const std::string& FieldName() const { return FFieldName; }
  void SetFieldName(std::string Value);
  TFieldType DataType() const { return FDataType; }
  TFieldKind FieldKind() const { return FFieldKind; }
  void SetFieldKind(TFieldKind Value);
  bool Calculated() const { return FFieldKind == fkCalculated; }
  // Number of the field definition the field is bound to (1-based) while its dataset is open;
  // -1 for a calculated field, 0 when unbound.
  int32_t FieldNo() const { return FFieldNo; }
  // Position in the dataset's Fields; -1 without a dataset.
  int32_t Index() const;
  TDataSet* DataSet() const { return FDataSet; }
  // Size of the definition: characters of ftString, bytes of ftWideString and ftBytes; 0 for the
  // other types.
  int32_t Size() const { return FSize; }
  void SetSize(int32_t Value);
  // Bytes of the native value (table above).
  virtual int32_t DataSize() const = 0;
  // Calculated fields: offset of the value's flag byte in the calculated-field area (the value
  // follows the flag byte), set when the dataset opens.
  int32_t Offset() const { return FOffset; }
  virtual bool IsBlob() const { return false; }

  // DisplayLabel is the column's title: the label set, else the field name. DisplayName is the
  // name messages use (the same).
  std::string DisplayLabel() const { return FDisplayLabel.empty() ? FFieldName : FDisplayLabel; }
  void SetDisplayLabel(std::string Value) { FDisplayLabel = std::move(Value); }
  std::string DisplayName() const { return DisplayLabel(); }
  // Characters a control shows; 0 set means the type's default.
  int32_t DisplayWidth() const { return FDisplayWidth > 0 ? FDisplayWidth : DefaultDisplayWidth(); }
  void SetDisplayWidth(int32_t Value) { FDisplayWidth = Value; }
  bool Visible() const { return FVisible; }
  void SetVisible(bool Value) { FVisible = Value; }
  // Text for showing (DisplayText) and for editing (Text); SetText is SetAsString.
  std::string DisplayText() const { return GetText(true); }
  std::string Text() const { return GetText(false); }
  void SetText(const std::string& Value) { SetAsString(Value); }

  // A required field must have a value when a record is posted ("Field 'X' must have a value").
  bool Required() const { return FRequired; }
  void SetRequired(bool Value) { FRequired = Value; }
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  // Not ReadOnly, and the dataset can modify its records.
  bool CanModify() const;

  bool IsNull() const;
  virtual std::string AsString() const;
  virtual void SetAsString(const std::string& Value);
  virtual std::u16string AsWideString() const;
  virtual void SetAsWideString(const std::u16string& Value);
  virtual int32_t AsInteger() const;
  virtual void SetAsInteger(int32_t Value);
  virtual int64_t AsLargeInt() const;
  virtual void SetAsLargeInt(int64_t Value);
  virtual double AsFloat() const;
  virtual void SetAsFloat(double Value);
  virtual TDateTime AsDateTime() const;
  virtual void SetAsDateTime(TDateTime Value);
  virtual bool AsBoolean() const;
  virtual void SetAsBoolean(bool Value);
  virtual std::vector<uint8_t> AsBytes() const;
  virtual void SetAsBytes(const std::vector<uint8_t>& Value);
  // Null for NULL; else the value in the type's variant form (varString, varInteger, varDate ...).
  // Setting Null clears the field; other values are converted as the As* setters do.
  virtual TValue Value() const = 0;
  virtual void SetValue(const TValue& Value) = 0;
  // Makes the value NULL.
  virtual void Clear();

  // The native value (Buffer may be null: then only whether there is a value). False for NULL or
  // no current record. Raises "Field 'X' has no dataset" without a dataset.
  bool GetData(void* Buffer) const;
  // Writes the native value (Buffer null: NULL) after the state and read-only checks above.
  void SetData(const void* Buffer);
  // Runs OnValidate for a value about to be written (Buffer: its native form, null for NULL); while
  // the handler runs, the field reads as that value. Datasets call it from SetFieldData.
  void Validate(const void* Buffer);
  // Runs OnChange; the dataset calls it when the field's value changed.
  void Change();
  // Asks the data-aware controls to focus the control showing this field.
  void FocusControl();

  TFieldNotifyEvent OnChange;
  TFieldNotifyEvent OnValidate;

protected:
  TField(TFieldType DataType, int32_t DefaultSize);

  // Text of the value for showing or editing; "" for NULL. Default: AsString.
  virtual std::string GetText(bool DisplayText) const;
  virtual int32_t DefaultDisplayWidth() const { return 10; }
  // Raises "Cannot access field 'X' as type <TypeName>".
  [[noreturn]] void AccessError(const char* TypeName) const;
  // Raises "<value> is not a valid value for field 'X'. The allowed range is <min> to <max>".
  [[noreturn]] void RangeError(const std::string& Value, const std::string& Min, const std::string& Max) const;
  // Reads the native value into a buffer of DataSize bytes; false for NULL.
  bool ReadNative(std::vector<uint8_t>& Buffer) const;
  // The checks SetData makes before a write: a dataset, a state that edits a record, not
  // ReadOnly. For fields whose value does not go through SetData (BLOBs).
  void CheckWrite() const;

private:
  friend class TDataSet;
  friend class TFields;
  void CheckInactive() const;

  TDataSet* FDataSet = nullptr;
  std::string FFieldName;
  std::string FDisplayLabel;
  TFieldType FDataType;
  TFieldKind FFieldKind = fkData;
  int32_t FFieldNo = 0;
  int32_t FSize = 0;
  int32_t FOffset = 0;
  int32_t FDisplayWidth = 0;
  bool FRequired = false;
  bool FReadOnly = false;
  bool FVisible = true;
  bool FValidating = false;
  const void* FValidateBuffer = nullptr;
};

}  // namespace tesvar::toolkit

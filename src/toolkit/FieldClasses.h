#pragma once
// The field classes, one per field type (native forms in TField.h), and the factory that makes
// the default field of a type.
//
// Conversions each class offers (others raise "Cannot access field 'X' as type ..."):
//   strings      every As*: the text read as a number, date-time or Boolean (EConvertError when it
//                is none); AsBoolean is true for a text starting with T, t, Y, y or 1. Setting a
//                text longer than the field keeps its first Size characters.
//   integers     AsString, AsInteger, AsLargeInt, AsFloat (set: rounded to the nearest, halves to
//                even); setting outside the type's range raises the range error.
//   Boolean      AsString ("True" / "False"; set: a leading part of either, any letter case, or
//                "" for NULL), AsBoolean, AsInteger (1 / 0).
//   floats       AsString, AsFloat, AsInteger, AsLargeInt (rounded).
//   date/time    AsString (DateToStr / TimeToStr / DateTimeToStr), AsDateTime, AsFloat (the
//                TDateTime). A date keeps the day (the time is dropped), a time the time of day.
//   bytes        AsString (the bytes as they are), AsBytes; shorter values are padded with zeros.
//   BLOBs        AsString, AsBytes, read and written whole through CreateBlobStream.
// Setting "" through AsString stores NULL for every type except strings (which store the empty
// text; a dataset may store that as NULL).

#include "toolkit/TField.h"

#include <memory>

namespace tesvar::toolkit {

class TStream;
std::unique_ptr<TField> CreateFieldOfType(TFieldType Type);

class TStringField : public TField {
public:
  TStringField() : TStringField(ftString, 20) {}
  int32_t DataSize() const override { return Size() + 1; }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t Value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t Value) override;
  double AsFloat() const override;
  void SetAsFloat(double Value) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime Value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool Value) override;
  std::vector<uint8_t> AsBytes() const override;
  void SetAsBytes(const std::vector<uint8_t>& Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;

protected:
  friend std::unique_ptr<TField> CreateFieldOfType(TFieldType Type);
  TStringField(TFieldType Type, int32_t DefaultSize) : TField(Type, DefaultSize) {}
  int32_t DefaultDisplayWidth() const override { return Size(); }
};

class TWideStringField : public TStringField {
public:
  TWideStringField() : TStringField(ftWideString, 40) {}
  int32_t DataSize() const override { return Size() + 2; }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  std::u16string AsWideString() const override;
  void SetAsWideString(const std::u16string& Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;

protected:
  int32_t DefaultDisplayWidth() const override { return Size() / 2; }
};

// Shared by the integer classes: the value as int64 with the type's range.
class TIntegralField : public TField {
public:
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t Value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t Value) override;
  double AsFloat() const override;
  void SetAsFloat(double Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;
  int64_t MinValue() const { return FMin; }
  int64_t MaxValue() const { return FMax; }

protected:
  TIntegralField(TFieldType Type, int64_t Min, int64_t Max) : TField(Type, 0), FMin(Min), FMax(Max) {}
  // The native value; false for NULL.
  virtual bool ReadInt(int64_t& Value) const = 0;
  // Writes a value already checked against the range.
  virtual void WriteInt(int64_t Value) = 0;
  virtual TVarType ValueType() const = 0;

private:
  int64_t FMin;
  int64_t FMax;
};

// ftInteger, and the base of the 16-bit and AutoInc fields.
class TIntegerField : public TIntegralField {
public:
  TIntegerField() : TIntegerField(ftInteger, INT32_MIN, INT32_MAX) {}
  int32_t DataSize() const override;

protected:
  TIntegerField(TFieldType Type, int64_t Min, int64_t Max) : TIntegralField(Type, Min, Max) {}
  bool ReadInt(int64_t& Value) const override;
  void WriteInt(int64_t Value) override;
  TVarType ValueType() const override;
  int32_t DefaultDisplayWidth() const override { return 11; }
};

class TSmallintField : public TIntegerField {
public:
  TSmallintField() : TIntegerField(ftSmallint, INT16_MIN, INT16_MAX) {}

protected:
  int32_t DefaultDisplayWidth() const override { return 6; }
};

class TWordField : public TIntegerField {
public:
  TWordField() : TIntegerField(ftWord, 0, UINT16_MAX) {}

protected:
  int32_t DefaultDisplayWidth() const override { return 5; }
};

class TAutoIncField : public TIntegerField {
public:
  TAutoIncField() : TIntegerField(ftAutoInc, INT32_MIN, INT32_MAX) {}
};

class TLargeintField : public TIntegralField {
public:
  TLargeintField() : TIntegralField(ftLargeint, INT64_MIN, INT64_MAX) {}
  int32_t DataSize() const override { return 8; }

protected:
  bool ReadInt(int64_t& Value) const override;
  void WriteInt(int64_t Value) override;
  TVarType ValueType() const override { return varInt64; }
  int32_t DefaultDisplayWidth() const override { return 15; }
};

class TBooleanField : public TField {
public:
  TBooleanField() : TField(ftBoolean, 0) {}
  int32_t DataSize() const override { return 2; }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  bool AsBoolean() const override;
  void SetAsBoolean(bool Value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;

protected:
  int32_t DefaultDisplayWidth() const override { return 5; }
};

// ftFloat, and the base of the currency and BCD fields (all kept as a double).
class TFloatField : public TField {
public:
  TFloatField() : TFloatField(ftFloat) {}
  int32_t DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  double AsFloat() const override;
  void SetAsFloat(double Value) override;
  int32_t AsInteger() const override;
  void SetAsInteger(int32_t Value) override;
  int64_t AsLargeInt() const override;
  void SetAsLargeInt(int64_t Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;

protected:
  explicit TFloatField(TFieldType Type) : TField(Type, 0) {}
};

class TCurrencyField : public TFloatField {
public:
  TCurrencyField() : TFloatField(ftCurrency) {}
};

class TBCDField : public TFloatField {
public:
  TBCDField() : TFloatField(ftBCD) {}
};

// ftDateTime, and the base of the date and time fields.
class TDateTimeField : public TField {
public:
  TDateTimeField() : TDateTimeField(ftDateTime) {}
  int32_t DataSize() const override { return 8; }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  TDateTime AsDateTime() const override;
  void SetAsDateTime(TDateTime Value) override;
  double AsFloat() const override;
  void SetAsFloat(double Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;

protected:
  explicit TDateTimeField(TFieldType Type) : TField(Type, 0) {}
  int32_t DefaultDisplayWidth() const override { return 19; }
};

class TDateField : public TDateTimeField {
public:
  TDateField() : TDateTimeField(ftDate) {}

protected:
  int32_t DefaultDisplayWidth() const override { return 10; }
};

class TTimeField : public TDateTimeField {
public:
  TTimeField() : TDateTimeField(ftTime) {}

protected:
  int32_t DefaultDisplayWidth() const override { return 8; }
};

class TBytesField : public TField {
public:
  TBytesField() : TField(ftBytes, 16) {}
  int32_t DataSize() const override { return Size(); }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  std::vector<uint8_t> AsBytes() const override;
  // Raises "Value of <n> bytes does not fit field 'X' of <Size> bytes" for a longer value.
  void SetAsBytes(const std::vector<uint8_t>& Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;

protected:
  int32_t DefaultDisplayWidth() const override { return Size() * 2; }
};

// ftBlob and the other binary BLOB kinds (BlobType), the base of the memo and graphic fields. The
// value is read and written whole through the dataset's CreateBlobStream; a dataset without BLOB
// streams reads as NULL and refuses writes ("Field 'X' cannot be modified").
class TBlobField : public TField {
public:
  TBlobField() : TBlobField(ftBlob) {}
  int32_t DataSize() const override { return 0; }
  bool IsBlob() const override { return true; }
  // The stored BLOB kind: ftBlob, ftGraphic, ftParadoxOle, ftDBaseOle, ftTypedBinary for binary
  // values, ftMemo, ftFmtMemo for text. The field's DataType is this kind.
  TFieldType BlobType() const { return DataType(); }
  std::string AsString() const override;
  void SetAsString(const std::string& Value) override;
  std::vector<uint8_t> AsBytes() const override;
  void SetAsBytes(const std::vector<uint8_t>& Value) override;
  TValue Value() const override;
  void SetValue(const TValue& Value) override;
  // Writes an empty value, which the dataset stores as NULL.
  void Clear() override;
  // The whole value from / into a stream (LoadFromStream reads Stream from its start).
  void LoadFromStream(TStream& Stream);
  void SaveToStream(TStream& Stream) const;
  // Set by a BLOB stream that wrote the value since the record was fetched.
  bool Modified() const { return FModified; }
  void SetModified(bool Value) { FModified = Value; }

protected:
  friend std::unique_ptr<TField> CreateFieldOfType(TFieldType Type);
  explicit TBlobField(TFieldType Type) : TField(Type, 0) {}
  // "(BLOB)" for showing, "(blob)" when NULL; the value as text for editing.
  std::string GetText(bool DisplayText) const override;
  virtual const char* DisplayTag() const { return "BLOB"; }

private:
  // The dataset's read stream of the value, at its start; null for NULL. Raises "Field 'X' has
  // no dataset" without a dataset.
  std::unique_ptr<TStream> ReadStream() const;
  bool FModified = false;
};

class TMemoField : public TBlobField {
public:
  TMemoField() : TBlobField(ftMemo) {}
  TValue Value() const override;

protected:
  friend std::unique_ptr<TField> CreateFieldOfType(TFieldType Type);
  explicit TMemoField(TFieldType Type) : TBlobField(Type) {}
  const char* DisplayTag() const override { return "MEMO"; }
};

class TGraphicField : public TBlobField {
public:
  TGraphicField() : TBlobField(ftGraphic) {}

protected:
  const char* DisplayTag() const override { return "GRAPHIC"; }
};

// The default field object of a field type: ftString and ftFixedChar TStringField, ftWideString
// TWideStringField, ftSmallint, ftInteger, ftWord, ftAutoInc, ftLargeint, ftBoolean, ftFloat,
// ftCurrency, ftBCD, ftDate, ftTime, ftDateTime, ftBytes their classes, ftMemo and ftFmtMemo
// TMemoField, ftGraphic TGraphicField, ftBlob, ftParadoxOle, ftDBaseOle, ftTypedBinary
// TBlobField. Null for any other type.
std::unique_ptr<TField> CreateFieldOfType(TFieldType Type);

}  // namespace tesvar::toolkit

#pragma once
// TParam and TParams: the parameters of an SQL text (":Name" in the text), each with a name, a
// data type, a direction and a value (TValue).
//
// Setting a value through an As* setter also sets the data type (AsString ftString, AsInteger
// ftInteger, AsFloat ftFloat, AsDateTime ftDateTime, AsBoolean ftBoolean, AsLargeInt ftLargeint);
// setting Value keeps a data type already set and otherwise takes the value's (varString ftString,
// varOleStr ftWideString, integer types ftInteger or ftLargeint, varDouble and varSingle ftFloat,
// varCurrency ftCurrency, varDate ftDateTime, varBoolean ftBoolean, bytes ftBytes). Every setter
// marks the parameter Bound. The As* getters convert as TValue does (TValue.h) and raise its
// errors; a NULL parameter reads as "" / 0 / false.
//
// Names compare case-insensitively. A list owns its parameters.

#include "toolkit/FieldType.h"
#include "toolkit/TValue.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::toolkit {

enum TParamType : uint8_t { ptUnknown = 0, ptInput = 1, ptOutput = 2, ptInputOutput = 3, ptResult = 4 };

class TParam {
public:
  TParam() = default;
  TParam(std::string Name, TFieldType DataType, TParamType ParamType)
      : FName(std::move(Name)), FDataType(DataType), FParamType(ParamType) {}

  const std::string& Name() const { return FName; }
  void SetName(std::string Value) { FName = std::move(Value); }
  TFieldType DataType() const { return FDataType; }
  void SetDataType(TFieldType Value) { FDataType = Value; }
  TParamType ParamType() const { return FParamType; }
  void SetParamType(TParamType Value) { FParamType = Value; }
  // A value was given (a setter ran, or Assign copied a bound parameter).
  bool Bound() const { return FBound; }
  void SetBound(bool Value) { FBound = Value; }

  bool IsNull() const { return FValue.IsNull(); }
  const TValue& Value() const { return FValue; }
  void SetValue(const TValue& Value);
  // Makes the value Null; the data type and Bound stay.
  void Clear() { FValue = TValue::Null(); }

  std::string AsString() const;
  void SetAsString(const std::string& Value);
  int32_t AsInteger() const;
  void SetAsInteger(int32_t Value);
  int64_t AsLargeInt() const;
  void SetAsLargeInt(int64_t Value);
  double AsFloat() const;
  void SetAsFloat(double Value);
  TDateTime AsDateTime() const;
  void SetAsDateTime(TDateTime Value);
  bool AsBoolean() const;
  void SetAsBoolean(bool Value);

  // Copies name, data type, direction, value and Bound.
  void Assign(const TParam& Source) { *this = Source; }

private:
  void Set(TFieldType Type, TValue Value);

  std::string FName;
  TFieldType FDataType = ftUnknown;
  TParamType FParamType = ptUnknown;
  TValue FValue;
  bool FBound = false;
};

class TParams {
public:
  TParams() = default;
  TParams(const TParams& Other) { Assign(Other); }
  TParams& operator=(const TParams& Other) {
    if (this != &Other) Assign(Other);
    return *this;
  }

  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  // Raises "List index out of bounds (<Index>)".
  TParam& operator[](int32_t Index) const;
  // A new parameter at the end; the list owns it.
  TParam& CreateParam(TFieldType DataType, const std::string& Name, TParamType ParamType);
  // Null when there is none of that name.
  TParam* FindParam(std::string_view Name) const;
  // Raises EDatabaseError "Parameter 'X' not found".
  TParam& ParamByName(std::string_view Name) const;
  // Value of the parameter of that name (ParamByName); several names separated by ";" give an
  // array of their values.
  TValue ParamValues(std::string_view Names) const;
  void Clear() { FItems.clear(); }
  // Becomes a copy of Source: every parameter with its value.
  void Assign(const TParams& Source);
  // For each of Source's parameters that this list holds under the same name: takes its data type
  // and value (the parameters that persist keep what was given).
  void AssignValues(const TParams& Source);
  bool IsEqual(const TParams& Other) const;

  // The names of the parameters in SQL, in order of first appearance: ":" followed by letters,
  // digits, "_" or bytes from 0x80 on (or by a name in double quotes). Text in single or double
  // quotes is skipped, as is "::" and a ":" that follows a name character (a time such as
  // 12:30 in a text is quoted anyway). With DoCreate the list is cleared and gets one ptInput
  // parameter of type ftUnknown per name. The text itself is returned unchanged.
  std::string ParseSQL(const std::string& SQL, bool DoCreate);

private:
  std::vector<std::unique_ptr<TParam>> FItems;
};

}  // namespace tesvar::toolkit

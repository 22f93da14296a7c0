#pragma once
// The field and index lists of `edb table create`, and the type names the table commands print.
//
//   --fields "NAME:TYPE[:SIZE][:required],..."   TYPE is a TFieldType name without "ft" (any
//       letter case); SIZE (characters of String and WideString, bytes of Bytes) is given for
//       those three types and only for them; ID:AutoInc makes the record-ID field.
//   --index "NAME:FIELD;FIELD...[:descending][:caseinsensitive][:unique][:primary]"
//
// Names are UTF-8 and come back in the engine code page. Every fault is a ToolError naming the
// item it is in.

#include "toolkit/FieldType.h"
#include "toolkit/TFieldDefs.h"

#include <optional>
#include <string>

namespace tesvar::edb {

toolkit::TFieldDefs ParseFieldList(const std::string& Utf8);
toolkit::TIndexDef ParseIndexDefinition(const std::string& Utf8);

// "String" for ftString ...; "type N" for a code without a name.
std::string FieldTypeName(toolkit::TFieldType Type);
// The type of a name (case-insensitive, without "ft"), or none.
std::optional<toolkit::TFieldType> FieldTypeByName(const std::string& Name);
// Whether edb can read and write values of the type (the types a table stores, but BCD, whose
// byte encoding belongs to the dataset layer).
bool IsTableFieldType(toolkit::TFieldType Type);
// String, WideString, Bytes: the types whose definition takes a size.
bool TypeTakesSize(toolkit::TFieldType Type);

}  // namespace tesvar::edb

#pragma once
// Field values as text in the table commands' tab-separated files, both ways, for every type
// edb handles (IsTableFieldType):
//
//   String, Memo, FmtMemo   the text (UTF-8 in the file, the engine code page in the table)
//   WideString              the text (UTF-8 in the file, UTF-16 in the table)
//   Smallint, Integer, Word, Largeint   decimal, within the type's range
//   Boolean                 true / false (also 1 / 0 when read)
//   Float, Currency         decimal with "." ("1.5", "-2e-07"), written as the shortest text that
//                           reads back to the same double
//   Date / Time / DateTime  YYYY-MM-DD / hh:mm:ss[.zzz] / YYYY-MM-DD hh:mm:ss[.zzz]
//   Bytes, Blob, Graphic    hexadecimal digits, two per byte (Bytes: exactly its size)
//
// Faults are ToolErrors whose text says what is wrong with the value; the caller adds where.

#include "storage/TEdbDataManager.h"

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace tesvar::edb {

// Writes the value Utf8 (escapes resolved) of Field into Dest, which holds Field.Size bytes.
// Not for BLOB fields.
void ParseFieldText(const storage::TFieldHeader& Field, std::string_view Utf8, uint8_t* Dest);
// The stored bytes of a BLOB field's value Utf8: engine code page text or the bytes of the hex.
std::string ParseBlobText(const storage::TFieldHeader& Field, std::string_view Utf8);
// Appends the text of the value at Src (Field.Size bytes) to Out, in UTF-8, escaped for the file.
void AppendFieldText(const storage::TFieldHeader& Field, const uint8_t* Src, std::string& Out);
// Appends the text of a BLOB field's stored bytes to Out, in UTF-8, escaped for the file.
void AppendBlobText(const storage::TFieldHeader& Field, std::string_view Stored, std::string& Out);

// Text in the engine code page; a ToolError saying which character the code page lacks or where
// the UTF-8 is broken. ASCII text is taken as is.
std::string TextToAnsi(std::string_view Utf8);
// Appends engine code page text to Out in UTF-8, escaped for the file. Bytes the code page leaves
// undefined raise a ToolError, and Out keeps what it held before.
void AppendAnsiText(std::string_view Ansi, std::string& Out);

struct TAnsiToUtf8;

// The writing calls above for many values in a row: the conversion of the engine code page is
// taken once, when the writer is made, and serves every later call (the code page in force
// then is the one it writes in).
class TFieldTextWriter {
public:
  TFieldTextWriter();

  void FieldText(const storage::TFieldHeader& Field, const uint8_t* Src, std::string& Out) const;
  void BlobText(const storage::TFieldHeader& Field, std::string_view Stored, std::string& Out) const;
  void AnsiText(std::string_view Ansi, std::string& Out) const;

private:
  std::shared_ptr<const TAnsiToUtf8> FTable;
};

// Day numbers as the table stores dates: 0001-01-01 is day 1.
int32_t DayNumber(int32_t Year, int32_t Month, int32_t Day);
void DateOfDayNumber(int32_t DayNumber, int32_t& Year, int32_t& Month, int32_t& Day);

}  // namespace tesvar::edb

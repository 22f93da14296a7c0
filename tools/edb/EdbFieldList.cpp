// Parsing of the field and index lists of `edb table create`.

#include "edb/EdbFieldList.h"

#include "edb/EdbTool_internal.h"
#include "platform/AnsiCase.h"

#include <charconv>
#include <iterator>
#include <string_view>
#include <vector>

namespace tesvar::edb {

using namespace tesvar::toolkit;

namespace {

// TFieldType names in code order.
const char* const kTypeNames[] = {
    "Unknown", "String",     "Smallint",   "Integer",     "Word",    "Boolean",  "Float",     "Currency", "BCD",
    "Date",    "Time",       "DateTime",   "Bytes",       "VarBytes", "AutoInc", "Blob",      "Memo",     "Graphic",
    "FmtMemo", "ParadoxOle", "DBaseOle",   "TypedBinary", "Cursor",  "FixedChar", "WideString", "Largeint", "ADT",
    "Array",   "Reference",  "DataSet",    "OraBlob",     "OraClob", "Variant",  "Interface", "IDispatch", "Guid"};
static_assert(std::size(kTypeNames) == ftGuid + 1);

std::vector<std::string_view> Split(std::string_view Text, char Separator) {
  std::vector<std::string_view> Parts;
  size_t Start = 0;
  while (true) {
    const size_t End = Text.find(Separator, Start);
    Parts.push_back(Text.substr(Start, End == std::string_view::npos ? std::string_view::npos : End - Start));
    if (End == std::string_view::npos) return Parts;
    Start = End + 1;
  }
}

std::string_view Trimmed(std::string_view Text) {
  while (!Text.empty() && Text.front() == ' ') Text.remove_prefix(1);
  while (!Text.empty() && Text.back() == ' ') Text.remove_suffix(1);
  return Text;
}

bool SameAscii(std::string_view A, std::string_view B) {
  if (A.size() != B.size()) return false;
  for (size_t I = 0; I < A.size(); ++I) {
    char X = A[I], Y = B[I];
    if (X >= 'A' && X <= 'Z') X = static_cast<char>(X - 'A' + 'a');
    if (Y >= 'A' && Y <= 'Z') Y = static_cast<char>(Y - 'A' + 'a');
    if (X != Y) return false;
  }
  return true;
}

std::string Quote(std::string_view Utf8) { return "'" + ShownHost(Utf8) + "'"; }

}  // namespace

std::string FieldTypeName(TFieldType Type) {
  if (Type < std::size(kTypeNames)) return kTypeNames[Type];
  return "type " + std::to_string(static_cast<int>(Type));
}

std::optional<TFieldType> FieldTypeByName(const std::string& Name) {
  std::string_view Bare = Name;
  if (Bare.size() > 2 && SameAscii(Bare.substr(0, 2), "ft")) Bare.remove_prefix(2);
  for (size_t Code = 1; Code < std::size(kTypeNames); ++Code) {
    if (SameAscii(Bare, kTypeNames[Code])) return static_cast<TFieldType>(Code);
  }
  return std::nullopt;
}

bool IsTableFieldType(TFieldType Type) {
  return (Type >= ftString && Type <= ftBytes && Type != ftBCD) || Type == ftAutoInc || IsBlobFieldType(Type) ||
         Type == ftWideString || Type == ftLargeint;
}

bool TypeTakesSize(TFieldType Type) { return Type == ftString || Type == ftWideString || Type == ftBytes; }

TFieldDefs ParseFieldList(const std::string& Utf8) {
  TFieldDefs Defs;
  if (Trimmed(Utf8).empty()) throw ToolError("--fields: no fields given");
  for (std::string_view Item : Split(Utf8, ',')) {
    const std::vector<std::string_view> Parts = Split(Item, ':');
    const std::string_view Name = Trimmed(Parts[0]);
    if (Name.empty()) throw ToolError("--fields: a field without a name in " + Quote(Item));
    const std::string Where = "--fields: field " + Quote(Name);
    if (Parts.size() < 2) throw ToolError(Where + ": no type (NAME:TYPE[:SIZE])");
    TFieldDef Def;
    Def.Name = ArgumentToAnsi(std::string(Name), "--fields");
    const std::string TypeName(Trimmed(Parts[1]));
    const std::optional<TFieldType> Type = FieldTypeByName(TypeName);
    if (!Type) throw ToolError(Where + ": unknown type " + Quote(TypeName));
    if (!IsTableFieldType(*Type)) throw ToolError(Where + ": edb cannot store fields of type " + FieldTypeName(*Type));
    Def.DataType = *Type;
    size_t Next = 2;
    if (TypeTakesSize(*Type)) {
      const std::string_view Size = Parts.size() > 2 ? Trimmed(Parts[2]) : std::string_view();
      int32_t Value = 0;
      const auto [End, Error] = std::from_chars(Size.data(), Size.data() + Size.size(), Value);
      if (Size.empty() || Error != std::errc() || End != Size.data() + Size.size() || Value <= 0) {
        throw ToolError(Where + ": type " + FieldTypeName(*Type) + " needs a positive size (NAME:" + FieldTypeName(*Type) +
                        ":SIZE)");
      }
      Def.Size = Value;
      Next = 3;
    }
    for (; Next < Parts.size(); ++Next) {
      const std::string_view Flag = Trimmed(Parts[Next]);
      if (SameAscii(Flag, "required")) Def.Required = true;
      else if (!Flag.empty() && Flag.find_first_not_of("0123456789") == std::string_view::npos)
        throw ToolError(Where + ": type " + FieldTypeName(*Type) + " takes no size");
      else
        throw ToolError(Where + ": unknown flag " + Quote(Flag) + " (only 'required')");
    }
    for (const TFieldDef& Other : Defs) {
      if (platform::AnsiSameText(Other.Name, Def.Name)) throw ToolError(Where + " is given twice");
    }
    Defs.push_back(std::move(Def));
  }
  return Defs;
}

TIndexDef ParseIndexDefinition(const std::string& Utf8) {
  const std::vector<std::string_view> Parts = Split(Utf8, ':');
  const std::string_view Name = Trimmed(Parts[0]);
  if (Name.empty()) throw ToolError("--index " + Quote(Utf8) + ": no index name (NAME:FIELD;FIELD...)");
  const std::string Where = "--index " + Quote(Name);
  if (Parts.size() < 2 || Trimmed(Parts[1]).empty()) throw ToolError(Where + ": no fields (NAME:FIELD;FIELD...)");
  TIndexDef Def;
  Def.Name = ArgumentToAnsi(std::string(Name), "--index");
  if (Def.Name.front() == '@' || Def.Name.front() == '$') {
    throw ToolError(Where + ": names beginning with '@' or '$' belong to the engine's own indexes");
  }
  Def.Fields = ArgumentToAnsi(std::string(Parts[1]), "--index");
  for (size_t I = 2; I < Parts.size(); ++I) {
    const std::string_view Option = Trimmed(Parts[I]);
    if (SameAscii(Option, "descending")) Def.Options = Def.Options | ixDescending;
    else if (SameAscii(Option, "caseinsensitive")) Def.Options = Def.Options | ixCaseInsensitive;
    else if (SameAscii(Option, "unique")) Def.Options = Def.Options | ixUnique;
    else if (SameAscii(Option, "primary")) Def.Options = Def.Options | ixPrimary;
    else
      throw ToolError(Where + ": unknown option " + Quote(Option) +
                      " (descending, caseinsensitive, unique or primary)");
  }
  return Def;
}

}  // namespace tesvar::edb

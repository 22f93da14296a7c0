#pragma once
// Tab-separated text as `edb table load` reads and `edb table dump` writes it: one record per
// line ended by LF, fields separated by TAB. A field that is exactly "\N" is NULL; inside a field
// the escapes "\t", "\n", "\r" and "\\" stand for TAB, LF, CR and a backslash, and every other
// byte stands for itself. The codec works on bytes, so it serves UTF-8 and code-page text alike.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace tesvar::edb {

// One field of a line: its text with the escapes still in it, or NULL.
struct TTsvField {
  std::string_view Raw;  // empty for NULL
  bool Null = false;
};

// Splits Line (without its LF; a CR before the LF is dropped) at every TAB into Fields (cleared
// first). The views point into Line.
void SplitTsvLine(std::string_view Line, std::vector<TTsvField>& Fields);

// Appends the text of Raw with its escapes resolved to Out. Returns false when Raw holds a
// backslash that starts no escape ("\x", a lone "\" at the end, or "\N" inside a longer field);
// BadAt then tells the byte offset of that backslash, and Out holds what came before it.
[[nodiscard]] bool UnescapeTsvField(std::string_view Raw, std::string& Out, size_t& BadAt);

// Appends Value escaped to Out (TAB, LF, CR and backslash as escapes; everything else as is).
void AppendTsvEscaped(std::string_view Value, std::string& Out);
// Appends "\N".
inline void AppendTsvNull(std::string& Out) { Out += "\\N"; }

}  // namespace tesvar::edb

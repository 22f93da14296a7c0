// Text at the tool's edge: arguments from UTF-8 into the engine code page, engine and host text
// back to the terminal with every control character escaped.

#include "edb/EdbTool_internal.h"
#include "platform/CodePage.h"

#include <unicode/utf8.h>

#include <cstdio>

namespace tesvar::edb {

namespace {

// Characters that steer a terminal instead of showing: C0, DEL and C1.
bool IsControl(char32_t C) { return C < 0x20 || (C >= 0x7F && C <= 0x9F); }

void AppendEscaped(std::string& Out, uint8_t Byte) {
  char Text[8];
  std::snprintf(Text, sizeof Text, "\\x%02x", Byte);
  Out += Text;
}

// The UTF-8 character that starts at Offset (one byte when it is not well-formed there).
std::string_view CharacterAt(std::string_view Utf8, size_t Offset) {
  const auto* S = reinterpret_cast<const uint8_t*>(Utf8.data());
  size_t End = Offset;
  UChar32 C;
  U8_NEXT(S, End, Utf8.size(), C);
  (void)C;
  return Utf8.substr(Offset, End - Offset);
}

std::string Ordinal(size_t N) {
  const size_t Tens = N % 100;
  const char* Suffix = (Tens >= 11 && Tens <= 13) ? "th" : N % 10 == 1 ? "st" : N % 10 == 2 ? "nd" : N % 10 == 3 ? "rd" : "th";
  return std::to_string(N) + Suffix;
}

// Number of characters in Utf8 before byte Offset.
size_t CharactersBefore(std::string_view Utf8, size_t Offset) {
  size_t Count = 0;
  for (size_t I = 0; I < Offset && I < Utf8.size(); ++I) {
    if ((static_cast<uint8_t>(Utf8[I]) & 0xC0) != 0x80) ++Count;
  }
  return Count;
}

}  // namespace

std::string CodePageProblem(std::string_view Utf8, const platform::ECodePageError& E, bool Secret) {
  const std::string Place = "the " + Ordinal(CharactersBefore(Utf8, E.Offset()) + 1) + " character";
  if (E.Reason() != platform::ECodePageError::TReason::Unmappable) return "not valid UTF-8 text (" + Place + ")";
  char Code[16];
  std::snprintf(Code, sizeof Code, "U+%04X", static_cast<unsigned>(E.Character()));
  const std::string What = Secret ? Place + " (" + Code + ")"
                                  : "the character '" + ShownHost(CharacterAt(Utf8, E.Offset())) + "' (" + Code + ")";
  return What + " is not in code page " + platform::EngineCodePage();
}

std::string ArgumentToAnsi(const std::string& Utf8, const std::string& Role, bool Secret) {
  try {
    return platform::ToAnsi(Utf8);
  } catch (const platform::ECodePageError& E) {
    const std::string Which = Secret ? Role : Role + " '" + ShownHost(Utf8) + "'";
    throw ToolError(Which + ": " + CodePageProblem(Utf8, E, Secret));
  }
}

std::string Shown(std::string_view Ansi) {
  std::string Out;
  Out.reserve(Ansi.size());
  for (char Byte : Ansi) {
    const uint8_t B = static_cast<uint8_t>(Byte);
    const std::optional<char32_t> C = platform::AnsiCharToUnicode(B);
    if (!C || IsControl(*C)) AppendEscaped(Out, B);
    else Out += platform::FromAnsi(std::string_view(&Byte, 1));
  }
  return Out;
}

std::string Quoted(std::string_view Ansi) { return "'" + Shown(Ansi) + "'"; }

std::string ShownHost(std::string_view Text) {
  const auto* S = reinterpret_cast<const uint8_t*>(Text.data());
  std::string Out;
  Out.reserve(Text.size());
  for (size_t I = 0; I < Text.size();) {
    const size_t Start = I;
    UChar32 C;
    U8_NEXT(S, I, Text.size(), C);
    if (C < 0 || IsControl(static_cast<char32_t>(C))) {
      // Not UTF-8, or a control character: each byte on its own.
      for (size_t K = Start; K < I; ++K) AppendEscaped(Out, S[K]);
    } else {
      Out.append(Text.substr(Start, I - Start));
    }
  }
  return Out;
}

}  // namespace tesvar::edb

#pragma once
// The engine code page and the one conversion between it and Unicode.
//
// Engine strings (names of databases, tables, files and folders, passwords, messages) are 8-bit
// ANSI bytes in the engine code page, "windows-1251" unless set otherwise. Text crosses to
// Unicode only at the programs' edges (the edb tool's arguments and output in UTF-8, the windows'
// UTF-16 strings), and only through ToAnsi / FromAnsi below. Nothing is ever replaced by a
// substitute character: a character the code page cannot hold, a byte the code page leaves
// undefined and text that is not well-formed UTF-8 / UTF-16 raise ECodePageError.
//
// The case folding of platform/AnsiCase.h follows the engine code page. Set the code page at
// start-up, before any container or table is opened: an open container keeps its names sorted
// by the folding in force when it was loaded.
//
// Thread-safe; conversions take no lock.

#include "platform/Exception.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tesvar::platform {

struct TCodePageTables;
struct TCaseTables;

inline constexpr char kDefaultCodePage[] = "windows-1251";
// The environment variable through which a program's user chooses another engine code page;
// read by the programs at start-up (the engine itself never reads the environment).
inline constexpr char kCodePageVariable[] = "TESVAR_CODEPAGE";

// A text that cannot cross between Unicode and the engine code page, or a code page that cannot
// serve as the engine's. The message is ASCII; Offset and Character tell where and what.
class ECodePageError : public Exception {
public:
  enum class TReason : uint8_t {
    UnknownCodePage,  // the name is no code page the converter library knows
    Unsuitable,       // more than one byte per character (UTF-8, Shift-JIS ...), or bytes 0x20..0x7E not printable ASCII
    InvalidText,      // the Unicode text is not well-formed (bad UTF-8 sequence, lone surrogate)
    Unmappable,       // a Unicode character the code page has no byte for
    Undefined,        // a byte of the ANSI text that is no character of the code page
  };

  ECodePageError(TReason Reason, std::string Message, size_t Offset = 0, char32_t Character = 0)
      : Exception(std::move(Message)), FReason(Reason), FOffset(Offset), FCharacter(Character) {}

  TReason Reason() const noexcept { return FReason; }
  // Where the text failed: a byte offset into UTF-8 or ANSI input, a code-unit offset into
  // UTF-16 input.
  size_t Offset() const noexcept { return FOffset; }
  // The Unicode character (Unmappable) or the byte (Undefined) that failed; 0 otherwise.
  char32_t Character() const noexcept { return FCharacter; }

private:
  TReason FReason;
  size_t FOffset;
  char32_t FCharacter;
};

// The engine code page, by the name it was set with.
std::string EngineCodePage();
// Makes Name (a converter name or alias of a single-byte code page: "windows-1251", "cp1251",
// "koi8-r", "cp866", "windows-1252" ...) the engine code page. Raises ECodePageError
// (UnknownCodePage, Unsuitable) and leaves the code page unchanged when Name does not serve.
void SetEngineCodePage(const std::string& Name);

// Sets the engine code page for its lifetime and restores the former one after; for a program's
// run and for tests. Raises as SetEngineCodePage (then nothing changed).
class ScopedEngineCodePage {
public:
  explicit ScopedEngineCodePage(const std::string& Name);
  ~ScopedEngineCodePage();
  ScopedEngineCodePage(const ScopedEngineCodePage&) = delete;
  ScopedEngineCodePage& operator=(const ScopedEngineCodePage&) = delete;

private:
  const TCodePageTables* FPrevious;
  const TCaseTables* FPreviousCase;
};

// UTF-8 / UTF-16 text in the engine code page: one byte per character. Raises ECodePageError
// (InvalidText, Unmappable) with the offset of the first character that fails.
std::string ToAnsi(std::string_view Utf8);
std::string ToAnsi(std::u16string_view Utf16);
// Engine-code-page text in UTF-8 / UTF-16. Raises ECodePageError (Undefined) with the offset of
// the first byte that has no character.
std::string FromAnsi(std::string_view Ansi);
std::u16string FromAnsiUtf16(std::string_view Ansi);

// The Unicode character of one byte of the engine code page; none when the byte is undefined.
std::optional<char32_t> AnsiCharToUnicode(uint8_t Byte);

}  // namespace tesvar::platform

#include "platform/CodePage.h"

#include "platform/CodePage_internal.h"

#include <unicode/uchar.h>
#include <unicode/ucnv.h>
#include <unicode/utf16.h>
#include <unicode/utf8.h>

#include <cstdio>
#include <map>
#include <memory>
#include <mutex>

namespace tesvar::platform {

namespace {

// The case tables of the default code page, Windows-1251, as the engine starts with them. The
// same tables come out of the converter library's data for that code page (a test holds them to
// it); built in, they need no library call before the first name is compared.
constexpr TCaseTables Windows1251CaseTables() {
  TCaseTables T = TCaseTables::Identity();
  for (int I = 0; I < 26; ++I) T.Pair('A' + I, 'a' + I);
  for (int I = 0; I < 32; ++I) T.Pair(0xC0 + I, 0xE0 + I);
  constexpr int kPairs[][2] = {
      {0x80, 0x90}, {0x81, 0x83}, {0x8A, 0x9A}, {0x8C, 0x9C}, {0x8D, 0x9D}, {0x8E, 0x9E}, {0x8F, 0x9F}, {0xA1, 0xA2},
      {0xA3, 0xBC}, {0xA5, 0xB4}, {0xA8, 0xB8}, {0xAA, 0xBA}, {0xAF, 0xBF}, {0xB2, 0xB3}, {0xBD, 0xBE},
  };
  for (const auto& P : kPairs) T.Pair(P[0], P[1]);
  return T;
}

constexpr TCaseTables kWindows1251Case = Windows1251CaseTables();

}  // namespace

namespace detail {
std::atomic<const TCodePageTables*> gEngineCodePage{nullptr};
std::atomic<const TCaseTables*> gEngineCase{&kWindows1251Case};
}  // namespace detail

namespace {

using TReason = ECodePageError::TReason;

std::string Hex(uint32_t Value, int Digits) {
  char Text[16];
  std::snprintf(Text, sizeof Text, "%0*X", Digits, static_cast<unsigned>(Value));
  return Text;
}

struct ConverterCloser {
  void operator()(UConverter* Converter) const { ucnv_close(Converter); }
};

// The character of byte B alone, or -1 when the converter stops on it.
int32_t DecodeByte(UConverter* Converter, uint8_t B) {
  const char In = static_cast<char>(B);
  UChar Out[4];
  UErrorCode Status = U_ZERO_ERROR;
  const int32_t Length = ucnv_toUChars(Converter, Out, 4, &In, 1, &Status);
  if (U_FAILURE(Status)) return -1;
  if (Length == 1 && !U16_IS_SURROGATE(Out[0])) return Out[0];
  if (Length == 2 && U16_IS_LEAD(Out[0]) && U16_IS_TRAIL(Out[1])) return U16_GET_SUPPLEMENTARY(Out[0], Out[1]);
  return -1;  // no character, or more than one: not a byte of its own
}

// The one byte the converter gives for character C, or -1 when it stops on it.
int32_t EncodeCharacter(UConverter* Converter, char32_t C) {
  UChar In[2];
  int32_t InLength = 0;
  UBool Error = false;
  U16_APPEND(In, InLength, 2, static_cast<UChar32>(C), Error);
  if (Error) return -1;
  char Out[4];
  UErrorCode Status = U_ZERO_ERROR;
  const int32_t Length = ucnv_fromUChars(Converter, Out, 4, In, InLength, &Status);
  if (U_FAILURE(Status) || Length != 1) return -1;
  return static_cast<uint8_t>(Out[0]);
}

// The tables of code page Name, read from the converter library with callbacks that stop on
// anything without a mapping of its own (no substitutes, no fallbacks).
std::unique_ptr<TCodePageTables> BuildTables(const std::string& Name) {
  UErrorCode Status = U_ZERO_ERROR;
  // An empty name would open the host's default converter.
  std::unique_ptr<UConverter, ConverterCloser> Converter(Name.empty() ? nullptr : ucnv_open(Name.c_str(), &Status));
  if (!Converter || U_FAILURE(Status)) {
    throw ECodePageError(TReason::UnknownCodePage, "Code page \"" + Name + "\" is unknown");
  }
  const std::string Unsuitable =
      "Code page \"" + Name + "\" cannot be the engine's: it must have one byte per character and printable ASCII in bytes 0x20..0x7E";
  if (ucnv_getMaxCharSize(Converter.get()) != 1) throw ECodePageError(TReason::Unsuitable, Unsuitable);
  ucnv_setToUCallBack(Converter.get(), UCNV_TO_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &Status);
  ucnv_setFromUCallBack(Converter.get(), UCNV_FROM_U_CALLBACK_STOP, nullptr, nullptr, nullptr, &Status);
  ucnv_setFallback(Converter.get(), false);
  if (U_FAILURE(Status)) throw ECodePageError(TReason::UnknownCodePage, "Code page \"" + Name + "\" is unknown");

  auto Tables = std::make_unique<TCodePageTables>();
  Tables->Name = Name;
  for (int B = 0; B < 256; ++B) {
    const int32_t C = DecodeByte(Converter.get(), static_cast<uint8_t>(B));
    // Separators, dots and the engine's own messages are ASCII.
    if (B >= 0x20 && B < 0x7F && C != B) throw ECodePageError(TReason::Unsuitable, Unsuitable);
    Tables->ToUnicode[static_cast<size_t>(B)] = C;
  }
  for (int B = 0; B < 256; ++B) {
    const int32_t C = Tables->ToUnicode[static_cast<size_t>(B)];
    if (C < 0) continue;
    const int32_t Back = EncodeCharacter(Converter.get(), static_cast<char32_t>(C));
    if (Back >= 0) Tables->FromUnicode.emplace(static_cast<char32_t>(C), static_cast<uint8_t>(Back));
  }
  auto CasePartner = [&Tables](int32_t C, UChar32 Partner, uint8_t Self) -> uint8_t {
    if (Partner == C) return Self;
    auto It = Tables->FromUnicode.find(static_cast<char32_t>(Partner));
    return It == Tables->FromUnicode.end() ? Self : It->second;
  };
  for (int B = 0; B < 256; ++B) {
    const uint8_t Self = static_cast<uint8_t>(B);
    const int32_t C = Tables->ToUnicode[static_cast<size_t>(B)];
    Tables->Case.Upper[static_cast<size_t>(B)] = C < 0 ? Self : CasePartner(C, u_toupper(C), Self);
    Tables->Case.Lower[static_cast<size_t>(B)] = C < 0 ? Self : CasePartner(C, u_tolower(C), Self);
  }
  return Tables;
}

// Every code page built so far, by the name it was asked for; never freed.
struct TRegistry {
  std::mutex Lock;
  std::map<std::string, std::unique_ptr<TCodePageTables>> Tables;
};

TRegistry& Registry() {
  static TRegistry Instance;
  return Instance;
}

const TCodePageTables& TablesFor(const std::string& Name) {
  TRegistry& R = Registry();
  std::lock_guard<std::mutex> Guard(R.Lock);
  auto It = R.Tables.find(Name);
  if (It == R.Tables.end()) It = R.Tables.emplace(Name, BuildTables(Name)).first;
  return *It->second;
}

std::string Unmappable(char32_t C, const char* Unit, size_t Offset, const std::string& CodePage) {
  return "Character U+" + Hex(C, 4) + " at " + Unit + " " + std::to_string(Offset) + " has no place in code page " +
         CodePage;
}

// Appends the byte of character C, or raises Unmappable.
void AppendAnsi(std::string& Out, char32_t C, const TCodePageTables& Tables, const char* Unit, size_t Offset) {
  auto It = Tables.FromUnicode.find(C);
  if (It == Tables.FromUnicode.end()) {
    throw ECodePageError(TReason::Unmappable, Unmappable(C, Unit, Offset, Tables.Name), Offset, C);
  }
  Out.push_back(static_cast<char>(It->second));
}

// The character of byte Ansi[Offset], or raises Undefined.
char32_t AnsiCharacter(const TCodePageTables& Tables, std::string_view Ansi, size_t Offset) {
  const uint8_t B = static_cast<uint8_t>(Ansi[Offset]);
  const int32_t C = Tables.ToUnicode[B];
  if (C < 0) {
    throw ECodePageError(TReason::Undefined,
                         "Byte 0x" + Hex(B, 2) + " at byte " + std::to_string(Offset) +
                             " is no character of code page " + Tables.Name,
                         Offset, B);
  }
  return static_cast<char32_t>(C);
}

void Install(const TCodePageTables& Tables, const TCaseTables& Case) {
  detail::gEngineCodePage.store(&Tables, std::memory_order_release);
  detail::gEngineCase.store(&Case, std::memory_order_release);
  detail::EngineCodePageChanged();
}

}  // namespace

namespace detail {

const TCodePageTables& InstallDefaultCodePage() {
  // The case tables stay the built-in ones they equal.
  const TCodePageTables& Default = TablesFor(kDefaultCodePage);
  const TCodePageTables* Expected = nullptr;
  gEngineCodePage.compare_exchange_strong(Expected, &Default, std::memory_order_acq_rel);
  return *gEngineCodePage.load(std::memory_order_acquire);
}

}  // namespace detail

std::string EngineCodePage() { return EngineCodePageTables().Name; }

void SetEngineCodePage(const std::string& Name) {
  const TCodePageTables& Tables = TablesFor(Name);
  Install(Tables, Tables.Case);
}

ScopedEngineCodePage::ScopedEngineCodePage(const std::string& Name)
    : FPrevious(&EngineCodePageTables()), FPreviousCase(&EngineCaseTables()) {
  SetEngineCodePage(Name);
}

ScopedEngineCodePage::~ScopedEngineCodePage() { Install(*FPrevious, *FPreviousCase); }

namespace {

// The text in the engine code page; Next(S, I, Length, C) reads the character at I into C (and
// moves I past it), leaving C negative or a surrogate where the text is not well-formed.
template <typename TChar, typename TNext>
std::string EncodeAnsi(std::basic_string_view<TChar> Text, const char* Unit, const char* Form, TNext Next) {
  const TCodePageTables& Tables = EngineCodePageTables();
  std::string Out;
  Out.reserve(Text.size());
  for (size_t I = 0; I < Text.size();) {
    const size_t Start = I;
    UChar32 C = Next(Text, I);
    if (C < 0 || U_IS_SURROGATE(C)) {
      throw ECodePageError(TReason::InvalidText, std::string("Invalid ") + Form + " at " + Unit + " " + std::to_string(Start),
                           Start);
    }
    AppendAnsi(Out, static_cast<char32_t>(C), Tables, Unit, Start);
  }
  return Out;
}

// The characters of Ansi, each appended by Append; raises Undefined at the first byte without one.
template <typename TString, typename TAppend>
TString DecodeAnsi(std::string_view Ansi, TAppend Append) {
  const TCodePageTables& Tables = EngineCodePageTables();
  TString Out;
  Out.reserve(Ansi.size());
  for (size_t I = 0; I < Ansi.size(); ++I) Append(Out, AnsiCharacter(Tables, Ansi, I));
  return Out;
}

}  // namespace

std::string ToAnsi(std::string_view Utf8) {
  return EncodeAnsi(Utf8, "byte", "UTF-8", [](std::string_view Text, size_t& I) {
    const auto* S = reinterpret_cast<const uint8_t*>(Text.data());
    UChar32 C;
    U8_NEXT(S, I, Text.size(), C);
    return C;
  });
}

std::string ToAnsi(std::u16string_view Utf16) {
  return EncodeAnsi(Utf16, "code unit", "UTF-16", [](std::u16string_view Text, size_t& I) {
    UChar32 C;
    U16_NEXT(Text.data(), I, Text.size(), C);
    return C;
  });
}

std::string FromAnsi(std::string_view Ansi) {
  return DecodeAnsi<std::string>(Ansi, [](std::string& Out, char32_t C) {
    char Bytes[4];
    int32_t Length = 0;
    U8_APPEND_UNSAFE(Bytes, Length, C);
    Out.append(Bytes, static_cast<size_t>(Length));
  });
}

std::u16string FromAnsiUtf16(std::string_view Ansi) {
  return DecodeAnsi<std::u16string>(Ansi, [](std::u16string& Out, char32_t C) {
    if (C < 0x10000) {
      Out.push_back(static_cast<char16_t>(C));
    } else {
      Out.push_back(static_cast<char16_t>(U16_LEAD(C)));
      Out.push_back(static_cast<char16_t>(U16_TRAIL(C)));
    }
  });
}

std::optional<char32_t> AnsiCharToUnicode(uint8_t Byte) {
  const int32_t C = EngineCodePageTables().ToUnicode[Byte];
  if (C < 0) return std::nullopt;
  return static_cast<char32_t>(C);
}

}  // namespace tesvar::platform

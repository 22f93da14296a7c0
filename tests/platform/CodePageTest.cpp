#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

using namespace tesvar::platform;

namespace {

using TReason = ECodePageError::TReason;

// Runs Call, which must raise ECodePageError; returns it.
ECodePageError Raised(const std::function<void()>& Call) {
  try {
    Call();
  } catch (const ECodePageError& E) {
    return E;
  }
  ADD_FAILURE() << "no ECodePageError";
  return ECodePageError(TReason::InvalidText, "none");
}

}  // namespace

TEST(CodePage, DefaultIsWindows1251) {
  EXPECT_EQ(EngineCodePage(), "windows-1251");
  // "Папка Ёж №1" in UTF-8 and in Windows-1251.
  const std::string Utf8 = "\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0 \xD0\x81\xD0\xB6 \xE2\x84\x96\x31";
  const std::string Ansi = "\xCF\xE0\xEF\xEA\xE0 \xA8\xE6 \xB9\x31";
  EXPECT_EQ(ToAnsi(Utf8), Ansi);
  EXPECT_EQ(FromAnsi(Ansi), Utf8);
  EXPECT_EQ(ToAnsi(u"\u041F\u0430\u043F\u043A\u0430 \u0401\u0436 \u21161"), Ansi);
  EXPECT_EQ(FromAnsiUtf16(Ansi), u"\u041F\u0430\u043F\u043A\u0430 \u0401\u0436 \u21161");
  EXPECT_EQ(ToAnsi(""), "");
  EXPECT_EQ(FromAnsi(""), "");
}

TEST(CodePage, EveryByteRoundTrips) {
  for (const char* Name : {"windows-1251", "koi8-r", "cp866", "windows-1252"}) {
    SCOPED_TRACE(Name);
    ScopedEngineCodePage CodePage(Name);
    for (int B = 0; B < 256; ++B) {
      const std::string Ansi(1, static_cast<char>(B));
      const auto C = AnsiCharToUnicode(static_cast<uint8_t>(B));
      if (!C) {
        EXPECT_EQ(Raised([&] { (void)FromAnsi(Ansi); }).Reason(), TReason::Undefined) << B;
        continue;
      }
      if (B >= 0x20 && B < 0x7F) {
        EXPECT_EQ(*C, static_cast<char32_t>(B));
      }
      EXPECT_EQ(ToAnsi(FromAnsi(Ansi)), Ansi) << B;
      EXPECT_EQ(ToAnsi(FromAnsiUtf16(Ansi)), Ansi) << B;
    }
  }
}

TEST(CodePage, UnmappableCharacterIsAnErrorNeverASubstitute) {
  struct Case {
    const char* Utf8;
    size_t Offset;
    char32_t Character;
  } const Cases[] = {
      {"a\xE4\xB8\xAD", 1, 0x4E2D},                 // CJK
      {"\xD0\x90\xF0\x9F\x98\x80z", 2, 0x1F600},    // emoji after a Cyrillic letter
      {"\xC3\xA4", 0, 0xE4},                        // ä: Latin, not in Windows-1251
      {"x\xEF\xBF\xBD", 1, 0xFFFD},                 // the replacement character itself
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Utf8);
    const ECodePageError E = Raised([&] { (void)ToAnsi(C.Utf8); });
    EXPECT_EQ(E.Reason(), TReason::Unmappable);
    EXPECT_EQ(E.Offset(), C.Offset);
    EXPECT_EQ(E.Character(), C.Character);
    EXPECT_NE(E.Message().find("windows-1251"), std::string::npos) << E.Message();
  }
  const ECodePageError E = Raised([] { (void)ToAnsi(u"ab\u4E2D"); });
  EXPECT_EQ(E.Reason(), TReason::Unmappable);
  EXPECT_EQ(E.Offset(), 2u);
  EXPECT_EQ(Raised([] { (void)ToAnsi(u"\U0001F600"); }).Character(), 0x1F600u);
}

TEST(CodePage, MalformedUnicodeIsAnError) {
  struct Case {
    std::string Utf8;
    size_t Offset;
  } const Cases[] = {
      {"ab\xFF", 2},                 // not a UTF-8 byte
      {"a\xD0", 1},                  // cut sequence
      {"\xC0\xAF", 0},               // overlong "/"
      {"\xED\xA0\x80", 0},           // a surrogate
      {"\xF4\x90\x80\x80", 0},       // beyond U+10FFFF
      {"ok\x80", 2},                 // a lone trail byte
  };
  for (const Case& C : Cases) {
    const ECodePageError E = Raised([&] { (void)ToAnsi(C.Utf8); });
    EXPECT_EQ(E.Reason(), TReason::InvalidText) << C.Offset;
    EXPECT_EQ(E.Offset(), C.Offset);
  }
  const std::u16string Lone = {u'a', static_cast<char16_t>(0xD800), u'b'};
  EXPECT_EQ(Raised([&] { (void)ToAnsi(Lone); }).Offset(), 1u);
  const std::u16string Trail = {static_cast<char16_t>(0xDC00)};
  EXPECT_EQ(Raised([&] { (void)ToAnsi(Trail); }).Reason(), TReason::InvalidText);
}

TEST(CodePage, SettingTheCodePage) {
  {
    ScopedEngineCodePage Koi8("koi8-r");
    EXPECT_EQ(EngineCodePage(), "koi8-r");
    EXPECT_EQ(ToAnsi("\xD0\x9F\xD0\xB0"), "\xF0\xC1");  // "Па"
    EXPECT_EQ(FromAnsi("\xF0\xC1"), "\xD0\x9F\xD0\xB0");
    const ECodePageError E = Raised([] { (void)ToAnsi("\xC3\xA4"); });
    EXPECT_NE(E.Message().find("koi8-r"), std::string::npos) << E.Message();
  }
  EXPECT_EQ(EngineCodePage(), "windows-1251");

  // Unknown, multi-byte and non-ASCII code pages are refused and change nothing.
  struct Case {
    const char* Name;
    TReason Reason;
  } const Cases[] = {
      {"no-such-code-page", TReason::UnknownCodePage},
      {"", TReason::UnknownCodePage},
      {"utf-8", TReason::Unsuitable},
      {"shift_jis", TReason::Unsuitable},
      {"ibm-037", TReason::Unsuitable},  // EBCDIC: no ASCII in bytes 0x20..0x7E
  };
  for (const Case& C : Cases) {
    SCOPED_TRACE(C.Name);
    EXPECT_EQ(Raised([&] { SetEngineCodePage(C.Name); }).Reason(), C.Reason);
    EXPECT_EQ(Raised([&] { ScopedEngineCodePage Scoped(C.Name); }).Reason(), C.Reason);
    EXPECT_EQ(EngineCodePage(), "windows-1251");
  }
}

TEST(CodePage, UndefinedByteIsAnError) {
  // Windows-1253 (Greek) leaves 0xD2 undefined.
  ScopedEngineCodePage Greek("windows-1253");
  ASSERT_FALSE(AnsiCharToUnicode(0xD2));
  const ECodePageError E = Raised([] { (void)FromAnsi("ab\xD2"); });
  EXPECT_EQ(E.Reason(), TReason::Undefined);
  EXPECT_EQ(E.Offset(), 2u);
  EXPECT_EQ(E.Character(), 0xD2u);
  EXPECT_EQ(Raised([] { (void)FromAnsiUtf16("\xD2"); }).Reason(), TReason::Undefined);
}

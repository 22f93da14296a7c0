// Field values between the table and the text of the table commands' files.

#include "edb/EdbFieldText.h"

#include "edb/EdbFieldList.h"
#include "edb/EdbTool_internal.h"
#include "edb/EdbTsv.h"
#include "platform/CodePage.h"
#include "storage/TableFormat.h"

#include <unicode/utf16.h>
#include <unicode/utf8.h>

#if (defined(__GNUC__) || defined(__clang__)) && defined(__x86_64__)
#include <immintrin.h>
#define TESVAR_EDB_VECTOR_TEXT 1
#else
#define TESVAR_EDB_VECTOR_TEXT 0
#endif

#include <algorithm>
#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

namespace tesvar::edb {

using namespace tesvar::toolkit;
using storage::TFieldHeader;

namespace {

constexpr int64_t kMsPerDay = 86'400'000;

bool IsAscii(std::string_view Text) {
  for (char C : Text) {
    if (static_cast<uint8_t>(C) >= 0x80) return false;
  }
  return true;
}

std::string Shortened(std::string_view Utf8) {
  constexpr size_t kShown = 40;
  if (Utf8.size() <= kShown) return "'" + ShownHost(Utf8) + "'";
  size_t Cut = kShown;
  while (Cut > 0 && (static_cast<uint8_t>(Utf8[Cut]) & 0xC0) == 0x80) --Cut;
  return "'" + ShownHost(Utf8.substr(0, Cut)) + "...'";
}

template <class T>
T ParseInteger(std::string_view Text, const char* What) {
  T Value{};
  std::string_view Digits = Text;
  if (!Digits.empty() && Digits.front() == '+') Digits.remove_prefix(1);
  const auto [End, Error] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value);
  if (Digits.empty() || End != Digits.data() + Digits.size()) throw ToolError(Shortened(Text) + " is not " + What);
  if (Error == std::errc::result_out_of_range) throw ToolError(Shortened(Text) + " is out of the range of " + What);
  if (Error != std::errc()) throw ToolError(Shortened(Text) + " is not " + What);
  return Value;
}

double ParseDouble(std::string_view Text) {
  double Value = 0;
  std::string_view Digits = Text;
  if (!Digits.empty() && Digits.front() == '+') Digits.remove_prefix(1);
  const auto [End, Error] = std::from_chars(Digits.data(), Digits.data() + Digits.size(), Value);
  if (Digits.empty() || Error != std::errc() || End != Digits.data() + Digits.size()) {
    throw ToolError(Shortened(Text) + " is not a number (digits with '.' as the decimal point)");
  }
  return Value;
}

// Exactly Count decimal digits at Text[At...].
bool Digits(std::string_view Text, size_t At, size_t Count, int32_t& Value) {
  if (At + Count > Text.size()) return false;
  Value = 0;
  for (size_t I = At; I < At + Count; ++I) {
    if (Text[I] < '0' || Text[I] > '9') return false;
    Value = Value * 10 + (Text[I] - '0');
  }
  return true;
}

bool IsLeap(int32_t Year) { return (Year % 4 == 0 && Year % 100 != 0) || Year % 400 == 0; }

int32_t DaysInMonth(int32_t Year, int32_t Month) {
  static constexpr int32_t kDays[] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return Month == 2 && IsLeap(Year) ? 29 : kDays[Month - 1];
}

// "YYYY-MM-DD" from Text[0..10): the day number.
bool ParseDatePart(std::string_view Text, int32_t& Day) {
  int32_t Y = 0, M = 0, D = 0;
  if (Text.size() < 10 || !Digits(Text, 0, 4, Y) || Text[4] != '-' || !Digits(Text, 5, 2, M) || Text[7] != '-' ||
      !Digits(Text, 8, 2, D))
    return false;
  if (Y < 1 || M < 1 || M > 12 || D < 1 || D > DaysInMonth(Y, M)) return false;
  Day = DayNumber(Y, M, D);
  return true;
}

// "hh:mm:ss[.zzz]" (the whole of Text): milliseconds since midnight.
bool ParseTimePart(std::string_view Text, int32_t& Ms) {
  int32_t H = 0, M = 0, S = 0, Z = 0;
  if ((Text.size() != 8 && Text.size() != 12) || !Digits(Text, 0, 2, H) || Text[2] != ':' || !Digits(Text, 3, 2, M) ||
      Text[5] != ':' || !Digits(Text, 6, 2, S))
    return false;
  if (Text.size() == 12 && (Text[8] != '.' || !Digits(Text, 9, 3, Z))) return false;
  if (H > 23 || M > 59 || S > 59) return false;
  Ms = ((H * 60 + M) * 60 + S) * 1000 + Z;
  return true;
}

void AppendDate(int32_t DayNo, std::string& Out) {
  int32_t Y = 0, M = 0, D = 0;
  DateOfDayNumber(DayNo, Y, M, D);
  char Text[32];
  std::snprintf(Text, sizeof Text, "%04d-%02d-%02d", Y, M, D);
  Out += Text;
}

void AppendTime(int64_t Ms, std::string& Out) {
  char Text[32];
  const int64_t S = Ms / 1000;
  if (Ms % 1000 != 0)
    std::snprintf(Text, sizeof Text, "%02d:%02d:%02d.%03d", static_cast<int>(S / 3600), static_cast<int>(S / 60 % 60),
                  static_cast<int>(S % 60), static_cast<int>(Ms % 1000));
  else
    std::snprintf(Text, sizeof Text, "%02d:%02d:%02d", static_cast<int>(S / 3600), static_cast<int>(S / 60 % 60),
                  static_cast<int>(S % 60));
  Out += Text;
}

template <class T>
void AppendNumber(T Value, std::string& Out) {
  char Text[64];
  const auto [End, Error] = std::to_chars(Text, Text + sizeof Text, Value);
  (void)Error;  // the buffer holds any number
  Out.append(Text, End);
}

std::string ParseHex(std::string_view Text) {
  if (Text.size() % 2 != 0) throw ToolError(Shortened(Text) + " is not hexadecimal bytes (two digits per byte)");
  std::string Bytes(Text.size() / 2, '\0');
  for (size_t I = 0; I < Bytes.size(); ++I) {
    uint8_t Byte = 0;
    const auto [End, Error] = std::from_chars(Text.data() + 2 * I, Text.data() + 2 * I + 2, Byte, 16);
    if (Error != std::errc() || End != Text.data() + 2 * I + 2)
      throw ToolError(Shortened(Text) + " is not hexadecimal bytes (two digits per byte)");
    Bytes[I] = static_cast<char>(Byte);
  }
  return Bytes;
}

void AppendHex(std::string_view Bytes, std::string& Out) {
  static constexpr char kHex[] = "0123456789abcdef";
  for (char C : Bytes) {
    Out += kHex[static_cast<uint8_t>(C) >> 4];
    Out += kHex[static_cast<uint8_t>(C) & 15];
  }
}

}  // namespace

// The bytes of the engine code page as they go into the file: UTF-8, escaped. Each byte's text
// is kept in the first Length bytes of a word, so that conversion copies a whole word per byte
// without a branch.
struct TAnsiToUtf8 {
  std::string CodePage;
  std::array<uint32_t, 256> Text{};    // the escape or the UTF-8 character, in memory order
  std::array<uint8_t, 256> Length{};   // 0: the code page leaves the byte undefined
  // Bytes 0xC0..0xFF are the letters U+0410..U+044F in order (as in Windows-1251): their UTF-8
  // follows by arithmetic, many bytes at a time.
  bool CyrillicLetters = false;
};

namespace {

// The conversion of the engine code page in force, made once per code page and thread.
std::shared_ptr<const TAnsiToUtf8> AnsiTable() {
  thread_local std::shared_ptr<const TAnsiToUtf8> Cached;
  const std::string Current = platform::EngineCodePage();
  if (Cached && Cached->CodePage == Current) return Cached;
  auto Table = std::make_shared<TAnsiToUtf8>();
  for (int B = 0; B < 256; ++B) {
    const char Byte = static_cast<char>(B);
    std::string Text;
    if (B < 0x80) AppendTsvEscaped(std::string_view(&Byte, 1), Text);
    else if (platform::AnsiCharToUnicode(static_cast<uint8_t>(B))) Text = platform::FromAnsi(std::string_view(&Byte, 1));
    // A character of a single-byte code page is in the Basic Multilingual Plane: three UTF-8
    // bytes at most.
    const auto Index = static_cast<size_t>(B);
    Table->Length[Index] = static_cast<uint8_t>(std::min<size_t>(Text.size(), 4));
    std::memcpy(&Table->Text[Index], Text.data(), Table->Length[Index]);
  }
  Table->CyrillicLetters = true;
  for (int B = 0xC0; B < 0x100; ++B) {
    const auto Index = static_cast<size_t>(B);
    const char Expected[2] = {static_cast<char>(B < 0xF0 ? 0xD0 : 0xD1), static_cast<char>(0x80 | ((B + 0x10) & 0x3F))};
    Table->CyrillicLetters = Table->CyrillicLetters && Table->Length[Index] == 2 && std::memcmp(&Table->Text[Index], Expected, 2) == 0;
  }
  Table->CodePage = Current;
  Cached = std::move(Table);
  return Cached;
}

}  // namespace

TFieldTextWriter::TFieldTextWriter() : FTable(AnsiTable()) {}

namespace {

#if TESVAR_EDB_VECTOR_TEXT
// For each mask of the letters among 8 bytes: the shuffle that takes their 16 bytes of (letter's
// lead byte or the plain byte, letter's trail byte) pairs to the text, dropping the pair's second
// byte after a plain byte, and the length of that text.
struct TPairShuffles {
  alignas(16) uint8_t Mask[256][16];
  uint8_t Length[256];
};

const TPairShuffles& PairShuffles() {
  static const TPairShuffles Shuffles = [] {
    TPairShuffles Made{};
    for (int M = 0; M < 256; ++M) {
      int Used = 0;
      for (int I = 0; I < 8; ++I) {
        Made.Mask[M][Used++] = static_cast<uint8_t>(2 * I);
        if ((M >> I) & 1) Made.Mask[M][Used++] = static_cast<uint8_t>(2 * I + 1);
      }
      for (int I = Used; I < 16; ++I) Made.Mask[M][I] = 0x80;  // zero
      Made.Length[M] = static_cast<uint8_t>(Used);
    }
    return Made;
  }();
  return Shuffles;
}

bool HasSsse3() {
  static const bool Has = __builtin_cpu_supports("ssse3");
  return Has;
}

// Converts the text at At (within the text from Begin) 16 bytes at a time for as long as every
// byte needs neither an escape nor the table: ASCII from 0x20 on other than the backslash, and
// with Letters the letters 0xC0..0xFF. Writes to Dest (room for 2 bytes per byte taken and 32
// more), advances At and returns the bytes written; ByTable tells how many bytes after At go
// through the table next: up to the byte that stopped the run, or all that are left (none when
// the run reached End; a text shorter than 16 bytes goes through the table whole).
__attribute__((target("ssse3"))) size_t ConvertPlainRuns(const char*& At, const char* Begin, const char* End, char* Dest,
                                                         bool Letters, size_t& ByTable) {
  const TPairShuffles& Shuffles = PairShuffles();
  const __m128i Zero = _mm_setzero_si128();
  const __m128i Space = _mm_set1_epi8(0x20);
  const __m128i Backslash = _mm_set1_epi8('\\');
  const __m128i BeforeLetters = _mm_set1_epi8(static_cast<char>(0xBF));
  const __m128i BeforeSecondRow = _mm_set1_epi8(static_cast<char>(0xEF));
  const __m128i Lead = _mm_set1_epi8(static_cast<char>(0xD0));
  const __m128i Low6 = _mm_set1_epi8(0x3F);
  const __m128i Sixteen = _mm_set1_epi8(0x10);
  const __m128i Continuation = _mm_set1_epi8(static_cast<char>(0x80));
  // Index 16 - n on: the shuffle that moves the last n bytes of 16 to the front and zeroes the
  // rest; and the spaces that then fill the rest.
  alignas(16) static const uint8_t kSlide[32] = {0,    1,    2,    3,    4,    5,    6,    7,    8,    9,    10,
                                                 11,   12,   13,   14,   15,   0x80, 0x80, 0x80, 0x80, 0x80, 0x80,
                                                 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80, 0x80};
  alignas(16) static const uint8_t kPad[32] = {0,    0,    0,    0,    0,    0,    0,    0,    0,    0,    0,
                                               0,    0,    0,    0,    0,    0x20, 0x20, 0x20, 0x20, 0x20, 0x20,
                                               0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20, 0x20};
  size_t Used = 0;
  while (At < End) {
    const size_t Count = std::min<size_t>(16, static_cast<size_t>(End - At));
    __m128i X;
    if (Count == 16) {
      X = _mm_loadu_si128(reinterpret_cast<const __m128i*>(At));
    } else if (End - Begin >= 16) {
      // The last bytes: the 16 that end the text, moved down and padded with spaces, which
      // convert to themselves and are not counted.
      const __m128i Last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(End - 16));
      X = _mm_or_si128(_mm_shuffle_epi8(Last, _mm_loadu_si128(reinterpret_cast<const __m128i*>(kSlide + 16 - Count))),
                       _mm_loadu_si128(reinterpret_cast<const __m128i*>(kPad + 16 - Count)));
    } else {
      break;  // a short text: the table is quicker
    }
    // Signed compares: 0x80..0xFF are below zero, the letters 0xC0..0xFF above 0xBF.
    const __m128i Letter = Letters ? _mm_and_si128(_mm_cmpgt_epi8(X, BeforeLetters), _mm_cmplt_epi8(X, Zero)) : Zero;
    const __m128i Bad = _mm_or_si128(_mm_andnot_si128(Letter, _mm_cmplt_epi8(X, Space)), _mm_cmpeq_epi8(X, Backslash));
    const int BadBytes = _mm_movemask_epi8(Bad);
    if (BadBytes != 0) {
      ByTable = static_cast<size_t>(std::countr_zero(static_cast<unsigned>(BadBytes))) + 1;
      return Used;
    }
    const int LetterBytes = _mm_movemask_epi8(Letter);
    if (LetterBytes == 0) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Dest + Used), X);
      Used += Count;
    } else {
      // U+0410 + (b - 0xC0): lead 0xD0 (0xD1 from 0xF0 on), trail 0x80 | ((b + 0x10) & 0x3F).
      const __m128i LeadBytes = _mm_sub_epi8(Lead, _mm_cmpgt_epi8(X, BeforeSecondRow));
      const __m128i Trail = _mm_or_si128(Continuation, _mm_and_si128(_mm_add_epi8(X, Sixteen), Low6));
      const __m128i First = _mm_or_si128(_mm_and_si128(Letter, LeadBytes), _mm_andnot_si128(Letter, X));
      const int Low = LetterBytes & 0xFF;
      const int High = LetterBytes >> 8;
      // The text of 8 bytes with m letters is 8 + m bytes long.
      const size_t Written = Used + Count + Shuffles.Length[Low] + Shuffles.Length[High] - 16;
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Dest + Used),
                       _mm_shuffle_epi8(_mm_unpacklo_epi8(First, Trail),
                                        _mm_load_si128(reinterpret_cast<const __m128i*>(Shuffles.Mask[Low]))));
      Used += Shuffles.Length[Low];
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Dest + Used),
                       _mm_shuffle_epi8(_mm_unpackhi_epi8(First, Trail),
                                        _mm_load_si128(reinterpret_cast<const __m128i*>(Shuffles.Mask[High]))));
      Used = Written;
    }
    At += Count;
  }
  ByTable = static_cast<size_t>(End - At);
  return Used;
}
#endif

}  // namespace

void TFieldTextWriter::AnsiText(std::string_view Ansi, std::string& Out) const {
  const TAnsiToUtf8& Table = *FTable;
  // Converted through a buffer on the stack, a piece at a time: growing Out by the longest result
  // first would fill four bytes per byte only to cut them off again.
  constexpr size_t kPiece = 1024;
  // Three bytes per byte at most, and room for the last 16-byte store of a run.
  char Buffer[kPiece * 3 + 32];
#if TESVAR_EDB_VECTOR_TEXT
  const bool Vector = HasSsse3();
#endif
  const size_t Start = Out.size();
  const char* At = Ansi.data();
  const char* const End = At + Ansi.size();
  while (At < End) {
    const char* const PieceStart = At;
    const char* const PieceEnd = At + std::min<size_t>(kPiece, static_cast<size_t>(End - At));
    size_t Used = 0;
    uint8_t Undefined = 0;
    while (At < PieceEnd) {
      size_t ByTable = static_cast<size_t>(PieceEnd - At);
#if TESVAR_EDB_VECTOR_TEXT
      if (Vector && PieceEnd - At >= 16) Used += ConvertPlainRuns(At, Ansi.data(), PieceEnd, Buffer + Used, Table.CyrillicLetters, ByTable);
#endif
      // Every byte the same way, without a branch: its text is copied whole and Used advances by
      // its length (text is a mix of plain and converted bytes that no branch predicts well).
      for (const char* const Stop = At + ByTable; At < Stop; ++At) {
        const auto B = static_cast<uint8_t>(*At);
        std::memcpy(Buffer + Used, &Table.Text[B], 4);
        Used += Table.Length[B];
        Undefined |= static_cast<uint8_t>(Table.Length[B] == 0);
      }
    }
    if (Undefined) {
      Out.resize(Start);
      for (const char* Bad = PieceStart;; ++Bad) {
        const auto B = static_cast<uint8_t>(*Bad);
        if (Table.Length[B] != 0) continue;
        char Code[8];
        std::snprintf(Code, sizeof Code, "0x%02X", B);
        throw ToolError(std::string("the byte ") + Code + " is no character of code page " + Table.CodePage);
      }
    }
    Out.append(Buffer, Used);
  }
}

int32_t DayNumber(int32_t Year, int32_t Month, int32_t Day) {
  // Days from civil (H. Hinnant), counted from 1970-01-01, moved to 0001-01-01 = 1.
  const int32_t Y = Year - (Month <= 2);
  const int32_t Era = (Y >= 0 ? Y : Y - 399) / 400;
  const int32_t YearOfEra = Y - Era * 400;
  const int32_t DayOfYear = (153 * (Month + (Month > 2 ? -3 : 9)) + 2) / 5 + Day - 1;
  const int32_t DayOfEra = YearOfEra * 365 + YearOfEra / 4 - YearOfEra / 100 + DayOfYear;
  return Era * 146097 + DayOfEra - 719468 + 719163;
}

void DateOfDayNumber(int32_t DayNo, int32_t& Year, int32_t& Month, int32_t& Day) {
  const int32_t Z = DayNo - 719163 + 719468;
  const int32_t Era = (Z >= 0 ? Z : Z - 146096) / 146097;
  const int32_t DayOfEra = Z - Era * 146097;
  const int32_t YearOfEra = (DayOfEra - DayOfEra / 1460 + DayOfEra / 36524 - DayOfEra / 146096) / 365;
  const int32_t DayOfYear = DayOfEra - (365 * YearOfEra + YearOfEra / 4 - YearOfEra / 100);
  const int32_t MP = (5 * DayOfYear + 2) / 153;
  Day = DayOfYear - (153 * MP + 2) / 5 + 1;
  Month = MP < 10 ? MP + 3 : MP - 9;
  Year = YearOfEra + Era * 400 + (Month <= 2);
}

std::string TextToAnsi(std::string_view Utf8) {
  if (IsAscii(Utf8)) return std::string(Utf8);
  try {
    return platform::ToAnsi(Utf8);
  } catch (const platform::ECodePageError& E) {
    throw ToolError(CodePageProblem(Utf8, E));
  }
}

void AppendAnsiText(std::string_view Ansi, std::string& Out) { TFieldTextWriter().AnsiText(Ansi, Out); }

void ParseFieldText(const TFieldHeader& Field, std::string_view Utf8, uint8_t* Dest) {
  using storage::PutInt32;
  switch (Field.FieldType) {
    case ftString: {
      std::string Converted;
      const std::string_view Ansi = IsAscii(Utf8) ? Utf8 : std::string_view(Converted = TextToAnsi(Utf8));
      if (Ansi.find('\0') != std::string_view::npos) throw ToolError("a text field holds no NUL character");
      if (Ansi.size() > static_cast<size_t>(Field.Size - 1)) {
        throw ToolError("the text has " + std::to_string(Ansi.size()) + " characters, the field holds " +
                        std::to_string(Field.Size - 1));
      }
      std::memcpy(Dest, Ansi.data(), Ansi.size());
      std::memset(Dest + Ansi.size(), 0, static_cast<size_t>(Field.Size) - Ansi.size());
      return;
    }
    case ftSmallint: {
      const int16_t V = ParseInteger<int16_t>(Utf8, "a Smallint (-32768..32767)");
      std::memcpy(Dest, &V, 2);
      return;
    }
    case ftWord: {
      const uint16_t V = ParseInteger<uint16_t>(Utf8, "a Word (0..65535)");
      std::memcpy(Dest, &V, 2);
      return;
    }
    case ftInteger: PutInt32(Dest, ParseInteger<int32_t>(Utf8, "an Integer (32 bits)")); return;
    case ftLargeint: {
      const int64_t V = ParseInteger<int64_t>(Utf8, "a Largeint (64 bits)");
      std::memcpy(Dest, &V, 8);
      return;
    }
    case ftBoolean: {
      bool V = false;
      if (Utf8 == "1" || Utf8 == "true" || Utf8 == "True" || Utf8 == "TRUE") V = true;
      else if (Utf8 != "0" && Utf8 != "false" && Utf8 != "False" && Utf8 != "FALSE")
        throw ToolError(Shortened(Utf8) + " is not a Boolean (true or false)");
      Dest[0] = V ? 1 : 0;
      Dest[1] = 0;
      return;
    }
    case ftFloat:
    case ftCurrency: {
      const double V = ParseDouble(Utf8);
      std::memcpy(Dest, &V, 8);
      return;
    }
    case ftDate: {
      int32_t Day = 0;
      if (Utf8.size() != 10 || !ParseDatePart(Utf8, Day)) throw ToolError(Shortened(Utf8) + " is not a date (YYYY-MM-DD)");
      std::memset(Dest, 0, 8);
      PutInt32(Dest, Day);
      return;
    }
    case ftTime: {
      int32_t Ms = 0;
      if (!ParseTimePart(Utf8, Ms)) throw ToolError(Shortened(Utf8) + " is not a time (hh:mm:ss or hh:mm:ss.zzz)");
      std::memset(Dest, 0, 8);
      PutInt32(Dest, Ms);
      return;
    }
    case ftDateTime: {
      int32_t Day = 0, Ms = 0;
      if (Utf8.size() < 11 || Utf8[10] != ' ' || !ParseDatePart(Utf8, Day) || !ParseTimePart(Utf8.substr(11), Ms))
        throw ToolError(Shortened(Utf8) + " is not a date and time (YYYY-MM-DD hh:mm:ss[.zzz])");
      const double V = static_cast<double>(Day) * static_cast<double>(kMsPerDay) + Ms;
      std::memcpy(Dest, &V, 8);
      return;
    }
    case ftBytes: {
      const std::string Bytes = ParseHex(Utf8);
      if (Bytes.size() != static_cast<size_t>(Field.Size))
        throw ToolError("the field holds " + std::to_string(Field.Size) + " bytes, " + std::to_string(Bytes.size()) +
                        " are given");
      std::memcpy(Dest, Bytes.data(), Bytes.size());
      return;
    }
    case ftWideString: {
      const auto* S = reinterpret_cast<const uint8_t*>(Utf8.data());
      const size_t Capacity = static_cast<size_t>(Field.Size / 2 - 1);
      std::u16string Units;
      for (size_t I = 0; I < Utf8.size();) {
        UChar32 C;
        U8_NEXT(S, I, Utf8.size(), C);
        if (C < 0) throw ToolError("not valid UTF-8 text");
        if (C == 0) throw ToolError("a text field holds no NUL character");
        if (C > 0xFFFF) {
          Units += static_cast<char16_t>(U16_LEAD(C));
          Units += static_cast<char16_t>(U16_TRAIL(C));
        } else {
          Units += static_cast<char16_t>(C);
        }
      }
      if (Units.size() > Capacity)
        throw ToolError("the text has " + std::to_string(Units.size()) + " UTF-16 units, the field holds " +
                        std::to_string(Capacity));
      std::memset(Dest, 0, static_cast<size_t>(Field.Size));
      std::memcpy(Dest, Units.data(), Units.size() * 2);
      return;
    }
    default: throw ToolError("edb cannot store values of type " + FieldTypeName(Field.FieldType));
  }
}

std::string ParseBlobText(const TFieldHeader& Field, std::string_view Utf8) {
  if (Field.FieldType == ftMemo || Field.FieldType == ftFmtMemo) return TextToAnsi(Utf8);
  return ParseHex(Utf8);
}

void TFieldTextWriter::FieldText(const TFieldHeader& Field, const uint8_t* Src, std::string& Out) const {
  switch (Field.FieldType) {
    case ftString: {
      const size_t Length = strnlen(reinterpret_cast<const char*>(Src), static_cast<size_t>(Field.Size));
      AnsiText(std::string_view(reinterpret_cast<const char*>(Src), Length), Out);
      return;
    }
    case ftSmallint: {
      int16_t V;
      std::memcpy(&V, Src, 2);
      AppendNumber(V, Out);
      return;
    }
    case ftWord: {
      uint16_t V;
      std::memcpy(&V, Src, 2);
      AppendNumber(V, Out);
      return;
    }
    case ftInteger: AppendNumber(storage::GetInt32(Src), Out); return;
    case ftLargeint: {
      int64_t V;
      std::memcpy(&V, Src, 8);
      AppendNumber(V, Out);
      return;
    }
    case ftBoolean: Out += Src[0] != 0 ? "true" : "false"; return;
    case ftFloat:
    case ftCurrency: {
      double V;
      std::memcpy(&V, Src, 8);
      AppendNumber(V, Out);
      return;
    }
    case ftDate: AppendDate(storage::GetInt32(Src), Out); return;
    case ftTime: AppendTime(storage::GetInt32(Src), Out); return;
    case ftDateTime: {
      double V;
      std::memcpy(&V, Src, 8);
      const double Rounded = std::floor(V + 0.5);
      if (!(Rounded >= static_cast<double>(kMsPerDay)) || Rounded > 3.0e14) {
        AppendNumber(V, Out);  // no date of the calendar: the stored number, as it is
        return;
      }
      const auto Ms = static_cast<int64_t>(Rounded);
      AppendDate(static_cast<int32_t>(Ms / kMsPerDay), Out);
      Out += ' ';
      AppendTime(Ms % kMsPerDay, Out);
      return;
    }
    case ftBytes: AppendHex(std::string_view(reinterpret_cast<const char*>(Src), static_cast<size_t>(Field.Size)), Out); return;
    case ftWideString: {
      const size_t Capacity = static_cast<size_t>(Field.Size / 2);
      std::u16string Units;
      for (size_t I = 0; I < Capacity; ++I) {
        char16_t U;
        std::memcpy(&U, Src + 2 * I, 2);
        if (U == 0) break;
        Units += U;
      }
      std::string Utf8;
      for (size_t I = 0; I < Units.size();) {
        UChar32 C;
        U16_NEXT(Units.data(), I, Units.size(), C);
        if (U_IS_SURROGATE(C)) C = 0xFFFD;  // a lone surrogate is no character
        char Bytes[4];
        int32_t Length = 0;
        U8_APPEND_UNSAFE(reinterpret_cast<uint8_t*>(Bytes), Length, C);
        Utf8.append(Bytes, static_cast<size_t>(Length));
      }
      AppendTsvEscaped(Utf8, Out);
      return;
    }
    default: throw ToolError("edb cannot show values of type " + FieldTypeName(Field.FieldType));
  }
}

void TFieldTextWriter::BlobText(const TFieldHeader& Field, std::string_view Stored, std::string& Out) const {
  if (Field.FieldType == ftMemo || Field.FieldType == ftFmtMemo) AnsiText(Stored, Out);
  else AppendHex(Stored, Out);
}

void AppendFieldText(const TFieldHeader& Field, const uint8_t* Src, std::string& Out) {
  TFieldTextWriter().FieldText(Field, Src, Out);
}

void AppendBlobText(const TFieldHeader& Field, std::string_view Stored, std::string& Out) {
  TFieldTextWriter().BlobText(Field, Stored, Out);
}

}  // namespace tesvar::edb

// The text boundary of edb: names and passwords from UTF-8 into the engine code page and back,
// the rules for names inside a container, and escaped control characters in what it prints.

#include "EdbTestSupport.h"

#include "container/ContainerFormat.h"
#include "container/TContainerFileSystem.h"
#include "platform/CodePage.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <map>

namespace tesvar::edb::test {
namespace {

using container::TContainerFileSystem;

// Names as the terminal gives them (UTF-8) and as the engine keeps them (Windows-1251).
const std::string kFolderUtf8 = "\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";               // Папка
const std::string kFolderLowerUtf8 = "\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0";          // папка
const std::string kFileUtf8 = "\xD0\xA4\xD0\xB0\xD0\xB9\xD0\xBB.txt";                      // Файл.txt
const std::string kPasswordUtf8 = "\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C";     // Пароль
const std::string kFolderAnsi = "\xCF\xE0\xEF\xEA\xE0";
const std::string kFileAnsi = "\xD4\xE0\xE9\xEB.txt";
const std::string kPasswordAnsi = "\xCF\xE0\xF0\xEE\xEB\xFC";
const std::string kCjk = "\xE4\xB8\xAD";         // 中 U+4E2D
const std::string kEmoji = "\xF0\x9F\x98\x80";   // U+1F600

TEST_F(EdbToolTest, CyrillicNamesAndPasswordMeetTheEngineInWindows1251) {
  const std::string C = P("c.edb");
  Ok({"create", C, "--password", kPasswordUtf8});
  Ok({"put", C, kFolderUtf8 + "/" + kFileUtf8, "--password", kPasswordUtf8}, "data");

  {
    // What the window program passes: the Windows-1251 bytes.
    TContainerFileSystem Container(C, container::kModeRead, false, kPasswordAnsi);
    const int32_t ItemID = Container.Directory().FindFile(kFolderAnsi + "\\" + kFileAnsi);
    ASSERT_GE(ItemID, 0);
    EXPECT_EQ(Container.Directory().ReadItem(ItemID).FileName, kFileAnsi);
    EXPECT_EQ(Container.Directory().ItemPath(ItemID), "\\" + kFolderAnsi + "\\" + kFileAnsi);
    // Both letter cases: "ПАПКА\ФАЙЛ.TXT" and "папка\файл.txt".
    EXPECT_EQ(Container.Directory().FindFile("\xCF\xC0\xCF\xCA\xC0\\\xD4\xC0\xC9\xCB.TXT"), ItemID);
    EXPECT_EQ(Container.Directory().FindFile("\xEF\xE0\xEF\xEA\xE0\\\xF4\xE0\xE9\xEB.txt"), ItemID);
  }
  EXPECT_FALSE(TContainerFileSystem::CheckFilePassword(C, kPasswordUtf8)) << "the UTF-8 bytes are not the password";

  // The tool finds the folder in the other letter case and prints the names in UTF-8.
  EXPECT_EQ(Ok({"ls", C, kFolderLowerUtf8, "--password", kPasswordUtf8}),
            "2024-01-01 00:00:00             4  " + kFileUtf8 + "\n");
  EXPECT_EQ(Ok({"ls", C, "--password", kPasswordUtf8}), "2024-01-01 00:00:00         <DIR>  " + kFolderUtf8 + "\\\n");
  EXPECT_EQ(Ok({"get", C, kFolderLowerUtf8 + "\\" + kFileUtf8, "--password", kPasswordUtf8}), "data");
  EnvPassword = kPasswordUtf8;
  EXPECT_EQ(Ok({"get", C, kFolderUtf8 + "/" + kFileUtf8}), "data");
}

TEST_F(EdbToolTest, AContainerOfTheWindowProgramOpensWithTheSamePassword) {
  const std::string C = P("w.edb");
  {
    TContainerFileSystem Container(C, container::kModeCreate, false, kPasswordAnsi);
    ASSERT_TRUE(Container.ForceDirectories(kFolderAnsi));
    const int32_t Handle = Container.FileOpen(kFolderAnsi + "\\" + kFileAnsi, container::kModeCreate);
    ASSERT_GE(Handle, 0);
    ASSERT_EQ(Container.FileWrite(Handle, "abc", 3), 3);
    EXPECT_TRUE(Container.FileClose(Handle));
  }
  EXPECT_EQ(Ok({"ls", C, kFolderUtf8, "--password", kPasswordUtf8}),
            "2024-01-01 00:00:00             3  " + kFileUtf8 + "\n");
  EXPECT_NE(Fails({"ls", C, "--password", kPasswordAnsi}).find("not valid UTF-8"), std::string::npos);
}

TEST_F(EdbToolTest, PasswordLengthCountsCharacters) {
  // 32 Cyrillic letters are 64 bytes of UTF-8 but 32 characters of the code page.
  std::string Long;
  for (int I = 0; I < 32; ++I) Long += "\xD0\xB6";  // ж
  Ok({"create", P("c.edb"), "--password", Long});
  EXPECT_TRUE(TContainerFileSystem::CheckFilePassword(P("c.edb"), std::string(32, '\xE6')));
  EXPECT_NE(Fails({"create", P("d.edb"), "--password", Long + "\xD0\xB6"}).find("longer than 32"), std::string::npos);
}

// A text argument that does not convert is one line naming the argument, before anything is
// touched.
struct TextCase {
  const char* Name;
  std::vector<std::string> Args;  // "{c}" = the container, "{new}" = a container file that does not exist
  std::string Expected;           // part of the error line
  std::string EnvPassword = {};   // EDB_PASSWORD, when not empty
};

void PrintTo(const TextCase& Case, std::ostream* Os) { *Os << Case.Name; }

class EdbUnconvertible : public EdbToolTest, public testing::WithParamInterface<TextCase> {};

TEST_P(EdbUnconvertible, OneLineNamingTheArgumentAndNothingChanges) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, "data");
  const std::string Image = ReadHostFile(C);
  if (!GetParam().EnvPassword.empty()) EnvPassword = GetParam().EnvPassword;
  std::vector<std::string> Args;
  for (const std::string& Arg : GetParam().Args) Args.push_back(Arg == "{c}" ? C : Arg == "{new}" ? P("new.edb") : Arg);

  const std::string Err = Fails(Args);
  EXPECT_NE(Err.find(GetParam().Expected), std::string::npos) << Err;
  EXPECT_TRUE(ReadHostFile(C) == Image) << "the container changed";
  EXPECT_FALSE(std::filesystem::exists(P("new.edb")));
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EdbUnconvertible,
    testing::Values(
        TextCase{"PutName", {"put", "{c}", "a" + kCjk + ".txt", "-"},
                 "NAME 'a" + kCjk + ".txt': the character '" + kCjk + "' (U+4E2D) is not in code page windows-1251"},
        TextCase{"MkdirEmoji", {"mkdir", "{c}", "d/" + kEmoji}, "DIR 'd/" + kEmoji + "': the character '" + kEmoji + "' (U+1F600)"},
        TextCase{"MvNew", {"mv", "{c}", "f.txt", kCjk}, "NEW '" + kCjk + "'"},
        TextCase{"MvOld", {"mv", "{c}", kCjk, "g.txt"}, "OLD '" + kCjk + "'"},
        TextCase{"LsDir", {"ls", "{c}", kEmoji}, "DIR '" + kEmoji + "'"},
        TextCase{"GetName", {"get", "{c}", kCjk}, "NAME '" + kCjk + "'"},
        TextCase{"RmName", {"rm", "{c}", kCjk}, "NAME '" + kCjk + "'"},
        TextCase{"LatinLetter", {"put", "{c}", "\xC3\xA4.txt"}, "(U+00E4) is not in code page windows-1251"},
        TextCase{"InvalidUtf8", {"put", "{c}", "ok\xFF"}, "NAME 'ok\\xff': not valid UTF-8 text (the 3rd character)"},
        // Passwords are not shown.
        TextCase{"Password", {"put", "{c}", "g.txt", "--password", "ab" + kCjk}, "--password: the 3rd character (U+4E2D) is not in code page windows-1251"},
        TextCase{"PasswordOfNewContainer", {"create", "{new}", "--password", kEmoji}, "--password: the 1st character (U+1F600)"},
        TextCase{"PasswordOfReplacedContainer", {"create", "{c}", "--force", "--password", kCjk}, "--password: "},
        TextCase{"EnvironmentPassword", {"ls", "{c}"}, "EDB_PASSWORD: the 1st character (U+4E2D)", kCjk}),
    [](const testing::TestParamInfo<TextCase>& Info) { return std::string(Info.param.Name); });

TEST_F(EdbToolTest, PasswordsAreNotShownInErrors) {
  const std::string Err = Fails({"create", P("c.edb"), "--password", "secret" + kCjk});
  EXPECT_EQ(Err.find("secret"), std::string::npos) << Err;
}

// ---- names inside the container

struct NameCase {
  const char* Name;
  std::vector<std::string> Args;  // after the container
  const char* Expected;
};

void PrintTo(const NameCase& Case, std::ostream* Os) { *Os << Case.Name; }

class EdbBadNames : public EdbToolTest, public testing::WithParamInterface<NameCase> {};

TEST_P(EdbBadNames, RefusedBeforeAnythingChanges) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"put", C, "a/f.txt"}, "data");
  const std::string Image = ReadHostFile(C);
  std::vector<std::string> Args = {GetParam().Args.front(), C};
  Args.insert(Args.end(), GetParam().Args.begin() + 1, GetParam().Args.end());
  const std::string Err = Fails(Args, "new data");
  EXPECT_NE(Err.find(GetParam().Expected), std::string::npos) << Err;
  EXPECT_TRUE(ReadHostFile(C) == Image) << "the container changed";
}

const std::string k300(300, 'm');

INSTANTIATE_TEST_SUITE_P(
    Cases, EdbBadNames,
    testing::Values(NameCase{"PutDotDot", {"put", "../x"}, "'..' are not allowed"},
                    NameCase{"PutDotDotInside", {"put", "a/../../y"}, "'..' are not allowed"},
                    NameCase{"PutDot", {"put", "a/./z"}, "'..' are not allowed"},
                    NameCase{"MkdirDotDot", {"mkdir", "a/.."}, "'..' are not allowed"},
                    NameCase{"MvToDotDot", {"mv", "a/f.txt", "../g.txt"}, "'..' are not allowed"},
                    NameCase{"GetDotDot", {"get", "a/../a/f.txt"}, "'..' are not allowed"},
                    NameCase{"LongMiddleFolder", {"put", "a/" + k300 + "/f.txt"}, "at most 259 characters"},
                    NameCase{"LongFolder", {"mkdir", k300}, "at most 259 characters"},
                    NameCase{"LongLookup", {"ls", k300}, "at most 259 characters"},
                    NameCase{"DoubleSeparator", {"put", "a//b"}, "no empty parts"},
                    NameCase{"DoubleSeparatorInMkdir", {"mkdir", "a\\\\b"}, "no empty parts"},
                    NameCase{"DoubleSeparatorLookup", {"get", "a//f.txt"}, "no empty parts"},
                    NameCase{"TwoSeparatorsOnly", {"ls", "//"}, "no empty parts"},
                    NameCase{"Empty", {"put", ""}, "an empty name"},
                    NameCase{"Escape", {"put", "x\x1b[2J"}, "hold no control characters"},
                    NameCase{"Tab", {"mkdir", "a\tb"}, "hold no control characters"},
                    NameCase{"C1Control", {"put", "x\xC2\x98"}, "hold no control characters"},
                    NameCase{"MvToControl", {"mv", "a/f.txt", "a/f\n.txt"}, "hold no control characters"}),
    [](const testing::TestParamInfo<NameCase>& Info) { return std::string(Info.param.Name); });

TEST_F(EdbToolTest, TheRootStaysAPlaceToMoveInto) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"put", C, "a/f.txt"}, "data");
  Ok({"mv", C, "a/f.txt", "\\"});
  EXPECT_EQ(Ok({"get", C, "f.txt"}), "data");
  EXPECT_NE(Fails({"mkdir", C, "/"}).find("is not a valid name"), std::string::npos);
}

TEST_F(EdbToolTest, StoredControlCharactersArePrintedEscaped) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  // Names another program stored: an escape sequence, a bell, and Windows-1251 0x98 (U+0098).
  const std::string Evil = "evil\x1b]0;x\x07.txt";
  {
    TContainerFileSystem Container(C, container::kModeReadWrite, false, {});
    for (const std::string& Name : {Evil, std::string("c1\x98"), std::string("tab\there")}) {
      const int32_t Handle = Container.FileOpen(Name, container::kModeCreate);
      ASSERT_GE(Handle, 0);
      EXPECT_TRUE(Container.FileClose(Handle));
    }
  }
  const std::string Listing = Ok({"ls", C});
  EXPECT_EQ(Listing,
            "2024-01-01 00:00:00             0  c1\\x98\n"
            "2024-01-01 00:00:00             0  evil\\x1b]0;x\\x07.txt\n"
            "2024-01-01 00:00:00             0  tab\\x09here\n");
  // Such names can still be found, and messages show them escaped too.
  EXPECT_EQ(Ok({"get", C, Evil}), "");
  const std::string Err = Fails({"mkdir", C, Evil});
  EXPECT_NE(Err.find("'evil\\x1b]0;x\\x07.txt'"), std::string::npos) << Err;
  EXPECT_EQ(Err.find('\x1b'), std::string::npos);
  EXPECT_EQ(Fails({"get", C, "missing\x1b"}), "edb: 'missing\\x1b': no such file or folder in the container\n");
  Ok({"rm", C, Evil});
  EXPECT_EQ(Ok({"ls", C}).find("evil"), std::string::npos);
}

TEST_F(EdbToolTest, HostPathsInMessagesAreEscapedToo) {
  const std::string Missing = P("no\x1b[31m.edb");
  EXPECT_EQ(Fails({"ls", Missing}), "edb: " + P("no\\x1b[31m.edb") + ": no such file\n");
}

// ---- the engine code page

TEST_F(EdbToolTest, CodePageFromTheEnvironment) {
  const std::string C = P("k.edb");
  EnvCodePage = "koi8-r";
  Ok({"create", C});
  Ok({"put", C, kFolderUtf8 + "/" + kFileUtf8}, "koi");
  EXPECT_EQ(Ok({"ls", C, kFolderLowerUtf8}), "2024-01-01 00:00:00             3  " + kFileUtf8 + "\n");
  // Ё/ё are 0xB3/0xA3 in KOI8-R, where Windows-1251 has the pair і/Ј: letter case follows the code page.
  Ok({"put", C, "\xD0\x81\xD0\xBB\xD0\xBA\xD0\xB0"}, "tree");                            // Ёлка
  EXPECT_EQ(Ok({"get", C, "\xD1\x91\xD0\xBB\xD0\xBA\xD0\xB0"}), "tree");                // ёлка
  EXPECT_EQ(platform::EngineCodePage(), "windows-1251") << "the run's code page ends with the run";
  {
    platform::ScopedEngineCodePage Koi8("koi8-r");
    TContainerFileSystem Container(C, container::kModeRead, false, {});
    EXPECT_GE(Container.Directory().FindFile("\xF0\xC1\xD0\xCB\xC1\\\xE6\xC1\xCA\xCC.txt"), 0);  // Папка\Файл.txt
  }
  EXPECT_NE(Fails({"put", C, "\xC3\xA4"}, "x").find("is not in code page koi8-r"), std::string::npos);

  EnvCodePage = "no-such-code-page";
  EXPECT_EQ(Fails({"ls", C}), "edb: TESVAR_CODEPAGE: Code page \"no-such-code-page\" is unknown\n");
  EnvCodePage = "utf-8";
  EXPECT_NE(Fails({"ls", C}).find("TESVAR_CODEPAGE: Code page \"utf-8\" cannot be the engine's"), std::string::npos);
}

}  // namespace
}  // namespace tesvar::edb::test

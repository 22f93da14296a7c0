// The built edb program through a shell: exit statuses, standard streams and the environment.

#include "EdbTestSupport.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#ifndef _WIN32
#include <sys/wait.h>
#endif

namespace tesvar::edb::test {
namespace {

std::string Quoted(const std::string& Text) { return "\"" + Text + "\""; }

class EdbProgramTest : public testing::Test {
protected:
  // Runs `edb ARGS` with standard output and error captured in files; returns the exit status.
  int Edb(const std::string& Args, const std::string& Before = {}, const std::string& Input = {}) {
    std::string Command = Before + Quoted(EDB_PROGRAM) + " " + Args;
    if (!Input.empty()) Command += " < " + Quoted(Input);
    Command += " > " + Quoted(P("stdout")) + " 2> " + Quoted(P("stderr"));
    const int Raw = std::system(Command.c_str());
    Out = ReadHostFile(P("stdout"));
    Err = ReadHostFile(P("stderr"));
#ifdef _WIN32
    return Raw;
#else
    return WIFEXITED(Raw) ? WEXITSTATUS(Raw) : -1;
#endif
  }

  std::string P(const std::string& Name) const { return Temp.Path(Name); }

  TempFolder Temp;
  std::string Out;
  std::string Err;
};

TEST_F(EdbProgramTest, HelpAndUsageErrors) {
  EXPECT_EQ(Edb("--help"), 0);
  EXPECT_TRUE(Out.starts_with("Usage: edb COMMAND")) << Out;
  EXPECT_EQ(Err, "");
  EXPECT_EQ(Edb("put --help"), 0);
  EXPECT_TRUE(Out.starts_with("Usage: edb put")) << Out;

  EXPECT_EQ(Edb(""), 1);
  EXPECT_EQ(Out, "");
  EXPECT_TRUE(IsOneErrorLine(Err)) << Err;
  EXPECT_EQ(Edb("ls " + Quoted(P("missing.edb"))), 1);
  EXPECT_EQ(Out, "");
  EXPECT_EQ(Err, "edb: " + P("missing.edb") + ": no such file\n");
}

TEST_F(EdbProgramTest, PutFromStdinAndGetToStdoutAreByteIdentical) {
  const std::string C = Quoted(P("c.edb"));
  // Every byte value, CR LF and a NUL included, over more than one chunk of pages.
  std::string Data;
  for (int I = 0; I < 1100000; ++I) Data += static_cast<char>((I * 7 + I / 256) & 0xFF);
  Data += "\r\n\x1a\0end";
  WriteHostFile(P("src.bin"), Data);

  ASSERT_EQ(Edb("create " + C), 0) << Err;
  ASSERT_EQ(Edb("put " + C + " dir/data.bin", {}, P("src.bin")), 0) << Err;
  ASSERT_EQ(Edb("get " + C + " " + Quoted("dir\\data.bin")), 0) << Err;
  EXPECT_TRUE(Out == Data);
  ASSERT_EQ(Edb("ls " + C + " dir"), 0) << Err;
  EXPECT_NE(Out.find(" " + std::to_string(Data.size()) + "  data.bin\n"), std::string::npos) << Out;
  EXPECT_EQ(Edb("check " + C), 0) << Out;
  EXPECT_TRUE(Out.starts_with("OK")) << Out;
}

TEST_F(EdbProgramTest, PasswordFromTheEnvironment) {
  const std::string C = Quoted(P("e.edb"));
#ifdef _WIN32
  const std::string Env = "set EDB_PASSWORD=secret&& ";
#else
  const std::string Env = "EDB_PASSWORD=secret ";
#endif
  ASSERT_EQ(Edb("create " + C, Env), 0) << Err;
  EXPECT_EQ(Edb("info " + C, Env), 0) << Err;
  EXPECT_NE(Out.find("page cipher"), std::string::npos) << Out;
  EXPECT_EQ(Edb("info " + C + " --password wrong", Env), 1);
  EXPECT_EQ(Out, "");
  EXPECT_EQ(Err, "edb: " + P("e.edb") + ": wrong password\n");
}

TEST_F(EdbProgramTest, CyrillicArgumentsFromTheCommandLine) {
  const std::string C = Quoted(P("c.edb"));
  const std::string Password = " --password \"\xD0\x9F\xD0\xB0\xD1\x80\xD0\xBE\xD0\xBB\xD1\x8C\"";  // Пароль
  WriteHostFile(P("src.txt"), "text");
  ASSERT_EQ(Edb("create " + C + Password), 0) << Err;
  ASSERT_EQ(Edb("put " + C + " \"\xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0/f.txt\"" + Password, {}, P("src.txt")), 0) << Err;
  ASSERT_EQ(Edb("ls " + C + Password), 0) << Err;
  EXPECT_NE(Out.find("  \xD0\x9F\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0\\\n"), std::string::npos) << Out;
  // папка: the other letter case finds the folder.
  ASSERT_EQ(Edb("get " + C + " \"\xD0\xBF\xD0\xB0\xD0\xBF\xD0\xBA\xD0\xB0/F.TXT\"" + Password), 0) << Err;
  EXPECT_EQ(Out, "text");
  EXPECT_EQ(Edb("put " + C + " \"\xE4\xB8\xAD\"" + Password, {}, P("src.txt")), 1);
  EXPECT_EQ(Err, "edb: NAME '\xE4\xB8\xAD': the character '\xE4\xB8\xAD' (U+4E2D) is not in code page windows-1251\n");
}

#ifndef _WIN32
TEST_F(EdbProgramTest, GetToDevNull) {
  const std::string C = Quoted(P("c.edb"));
  WriteHostFile(P("src.bin"), std::string(10000, 'x'));
  ASSERT_EQ(Edb("create " + C), 0) << Err;
  ASSERT_EQ(Edb("put " + C + " data.bin " + Quoted(P("src.bin"))), 0) << Err;
  EXPECT_EQ(Edb("get " + C + " data.bin /dev/null"), 0) << Err;
  EXPECT_EQ(Err, "");
}
#endif

}  // namespace
}  // namespace tesvar::edb::test

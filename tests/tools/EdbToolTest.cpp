// The edb commands run in-process on real container files in a temporary folder.

#include "EdbTestSupport.h"

#include "container/ContainerFormat.h"
#include "container/TContainerFileSystem.h"
#include "container/TPageFileManager.h"
#include "container/TUserFilePageMapManager.h"
#include "edb/EdbTool.h"
#include "platform/IClock.h"
#include "platform/MemoryFileSystem.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <optional>
#include <sstream>
#include <tuple>

namespace tesvar::edb::test {
namespace {

using container::kPageHeaderSize;
using container::kPartHeaderSize;

const char* const kCommandNames[] = {"create", "info", "ls", "put", "get", "rm", "mv", "mkdir", "check", "compact"};

// Pages of a container that damage tests hit, found through the engine.
struct StoredPages {
  int32_t Directory = 0;  // first directory page
  int32_t Map = 0;        // first page-map page of the file
  int32_t Data = 0;       // first data page of the file
  int32_t LastData = 0;   // last data page of the file
};

StoredPages PagesOf(const std::string& File, const std::string& Password, const std::string& Name) {
  container::TContainerFileSystem Container(File, container::kModeRead, false, Password);
  const container::TDirItem& Item = Container.Directory().ReadItem(Container.Directory().FindFile(Name));
  const auto& Maps = Container.PageMaps().GetMaps(Item);
  return {Container.Directory().DirPages().at(0), Maps.MapPages.at(0), Maps.DataPages.at(0), Maps.DataPages.back()};
}

// Host file offset of byte Offset in the data area of page PageNo.
int64_t PageDataOffset(int32_t PageNo, int64_t Offset = 100) {
  return kPartHeaderSize + int64_t{PageNo} * 4096 + kPageHeaderSize + Offset;
}

void FlipHostByte(const std::string& File, int64_t Offset) {
  std::fstream Stream(File, std::ios::in | std::ios::out | std::ios::binary);
  Stream.seekg(Offset);
  char Byte = 0;
  Stream.read(&Byte, 1);
  Byte = static_cast<char>(Byte ^ 0x5A);
  Stream.seekp(Offset);
  Stream.write(&Byte, 1);
}

// ---- Round trips: every size that matters, plain and encrypted, from a file and from stdin.

class EdbRoundTrip : public EdbToolTest, public testing::WithParamInterface<std::tuple<size_t, const char*>> {};

TEST_P(EdbRoundTrip, PutAndGetAreByteIdentical) {
  const auto [Size, Password] = GetParam();
  const std::string C = P("c.edb");
  const std::string Data = Pattern(Size, static_cast<uint32_t>(Size) + 7);
  WriteHostFile(P("src.bin"), Data);
  Ok({"create", C, "--password", Password});

  Ok({"put", C, "from\\file.bin", P("src.bin"), "--password", Password});
  Ok({"put", C, "from/stdin.bin", "--password", Password}, Data);
  Ok({"get", C, "from/file.bin", P("out.bin"), "--password", Password});
  EXPECT_TRUE(ReadHostFile(P("out.bin")) == Data);
  EXPECT_TRUE(Ok({"get", C, "from\\stdin.bin", "--password", Password}) == Data);

  EXPECT_NE(Ok({"ls", C, "from", "--password", Password}).find(" " + std::to_string(Size) + "  file.bin\n"),
            std::string::npos);
  EXPECT_NE(Ok({"check", C, "--password", Password}).find("OK"), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Sizes, EdbRoundTrip,
                         testing::Combine(testing::Values(size_t{0}, size_t{1}, size_t{4064}, size_t{4065},
                                                          size_t{2 * 1024 * 1024 + 123}),
                                          testing::Values("", "secret")),
                         [](const testing::TestParamInfo<EdbRoundTrip::ParamType>& Info) {
                           return std::string(*std::get<1>(Info.param) ? "Encrypted" : "Plain") + "_" +
                                  std::to_string(std::get<0>(Info.param));
                         });

// ---- create

TEST_F(EdbToolTest, CreateMakesAnEmptyContainerAndRefusesToOverwrite) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  EXPECT_EQ(std::filesystem::file_size(C), 536u);
  EXPECT_NE(Fails({"create", C}).find("exists"), std::string::npos);

  Ok({"put", C, "keep.txt"}, "data");
  EXPECT_NE(Ok({"ls", C}).find("keep.txt"), std::string::npos);
  Ok({"create", C, "--force"});
  EXPECT_EQ(Ok({"ls", C}), "");

  WriteHostFile(P("other.txt"), "not a container");
  Fails({"create", P("other.txt")});
  EXPECT_EQ(ReadHostFile(P("other.txt")), "not a container");
  Fails({"create", P("no-such-folder/c.edb")});
}

TEST_F(EdbToolTest, CreateWithPasswordEncrypts) {
  const std::string C = P("e.edb");
  Ok({"create", C, "--password", "secret"});
  EXPECT_TRUE(container::TContainerFileSystem::IsFileEncrypted(C));
  EXPECT_NE(Ok({"info", C, "--password=secret"}).find("Encryption:       page cipher"), std::string::npos);

  // An over-long password is refused before an existing file is touched.
  EXPECT_NE(Fails({"create", C, "--force", "--password", std::string(33, 'x')}).find("32"), std::string::npos);
  EXPECT_TRUE(container::TContainerFileSystem::CheckFilePassword(C, "secret"));
}

// ---- info and ls

TEST_F(EdbToolTest, InfoPrintsTheHeaderFields) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"put", C, "a.txt"}, "0123456789");
  // One extent: header page + PFS, GAM, SGAM, one directory page, one map page, one data page.
  const std::string Info = Ok({"info", C});
  for (const char* Line : {"Format version:   1.2\n", "Page size:        4096 bytes (4064 data bytes)\n",
                           "Extent pages:     16\n", "Page count:       17\n", "GAM pages:        1\n",
                           "PFS pages:        1\n", "Directory pages:  1 (first 4)\n",
                           "Directory items:  1 (1 file, 0 folders, 0 deleted)\n", "Container size:   69632 bytes\n",
                           "Free pages:       10\n", "Encryption:       none\n"}) {
    EXPECT_NE(Info.find(Line), std::string::npos) << Line << "in\n" << Info;
  }
}

TEST_F(EdbToolTest, LsListsNamesSizesTimesAndFolders) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"put", C, "a/b/c.txt"}, "hello");
  Ok({"put", C, "Top.bin"}, std::string(4064, 'x'));
  Ok({"mkdir", C, "empty"});
  EXPECT_EQ(Ok({"ls", C}),
            "2024-01-01 00:00:00         <DIR>  a\\\n"
            "2024-01-01 00:00:00         <DIR>  empty\\\n"
            "2024-01-01 00:00:00          4064  Top.bin\n");
  const std::string Inner = "2024-01-01 00:00:00             5  c.txt\n";
  EXPECT_EQ(Ok({"ls", C, "a/b"}), Inner);
  EXPECT_EQ(Ok({"ls", C, "\\a\\b\\"}), Inner);
  EXPECT_EQ(Ok({"ls", C, "A\\B\\C.TXT"}), Inner);
  EXPECT_EQ(Ok({"ls", C, "empty"}), "");
  EXPECT_NE(Fails({"ls", C, "a/nothing"}).find("no such file or folder"), std::string::npos);
}

// ---- put, rm, mv, mkdir

TEST_F(EdbToolTest, PutReplacesAFileOnlyWithCompleteData) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"put", C, "f.txt"}, "first version");
  Ok({"put", C, "F.TXT", "-"}, "second");
  EXPECT_EQ(Ok({"get", C, "f.txt", "-"}), "second");
  EXPECT_EQ(Ok({"ls", C}).find("~"), std::string::npos) << "no temporary item may remain";

  EXPECT_NE(Fails({"put", C, "f.txt/inner"}, "x").find("is a file, not a folder"), std::string::npos);
  Ok({"mkdir", C, "d"});
  EXPECT_NE(Fails({"put", C, "d"}, "x").find("is a folder"), std::string::npos);
  EXPECT_NE(Fails({"put", C, "x", P("missing.bin")}).find("cannot open"), std::string::npos);
  Fails({"put", C, "d/"}, "x");
  EXPECT_EQ(Ok({"get", C, "f.txt"}), "second");
}

TEST_F(EdbToolTest, RmMvAndMkdirChangeTheTree) {
  const std::string C = P("c.edb");
  Ok({"create", C});
  Ok({"mkdir", C, "d/sub"});
  EXPECT_NE(Fails({"mkdir", C, "d"}).find("already exists"), std::string::npos);
  Ok({"put", C, "x.txt"}, "x");
  Ok({"put", C, "y.txt"}, "y");

  Ok({"mv", C, "x.txt", "d"});  // into an existing folder
  EXPECT_EQ(Ok({"get", C, "d\\x.txt"}), "x");
  Ok({"mv", C, "d/x.txt", "d/sub/renamed.txt"});
  EXPECT_EQ(Ok({"get", C, "d/sub/renamed.txt"}), "x");
  Ok({"mv", C, "y.txt", "new/folder/y2.txt"});  // creates the folders
  EXPECT_EQ(Ok({"get", C, "new/folder/y2.txt"}), "y");
  EXPECT_NE(Fails({"mv", C, "new/folder/y2.txt", "d/sub/renamed.txt"}).find("already exists"), std::string::npos);
  EXPECT_NE(Fails({"mv", C, "nothing", "z"}).find("no such file"), std::string::npos);
  Fails({"mv", C, "d", "d/sub/inside"});

  EXPECT_NE(Fails({"rm", C, "d"}).find("not empty"), std::string::npos);
  Ok({"rm", C, "d/sub/renamed.txt"});
  Ok({"rm", C, "d/sub"});
  Ok({"rm", C, "d"});
  Fails({"rm", C, "d"});
  Fails({"rm", C, "\\"});
  const std::string Root = Ok({"ls", C});
  EXPECT_EQ(Root.find(" d\\"), std::string::npos);
  EXPECT_NE(Root.find("new\\"), std::string::npos);
  EXPECT_NE(Ok({"check", C}).find("OK"), std::string::npos);
}

// ---- passwords

TEST_F(EdbToolTest, PasswordFromOptionOrEnvironment) {
  const std::string C = P("e.edb");
  Ok({"create", C, "--password", "secret"});
  Ok({"put", C, "f", "--password", "secret"}, "data");

  EXPECT_NE(Fails({"get", C, "f"}).find("encrypted"), std::string::npos);
  EXPECT_NE(Fails({"get", C, "f", "--password", "wrong"}).find("wrong password"), std::string::npos);
  EXPECT_NE(Fails({"check", C, "--password", "wrong"}).find("wrong password"), std::string::npos);

  EnvPassword = "secret";
  EXPECT_EQ(Ok({"get", C, "f"}), "data");
  EnvPassword = "wrong";
  EXPECT_NE(Fails({"ls", C}).find("wrong password"), std::string::npos);
  EXPECT_EQ(Ok({"get", C, "f", "--password", "secret"}), "data");  // the option wins
}

// ---- usage errors and missing things: one line on stderr, status 1, nothing on stdout

struct ErrorCase {
  const char* Name;
  std::vector<std::string> Args;  // "{c}" = a plain container with d\f.txt, "{e}" = an encrypted one
  const char* Expected;           // part of the error line
};

class EdbErrors : public EdbToolTest, public testing::WithParamInterface<ErrorCase> {};

TEST_P(EdbErrors, OneLineOnStderrAndNothingOnStdout) {
  Ok({"create", P("c.edb")});
  Ok({"put", P("c.edb"), "d/f.txt"}, "text");
  Ok({"create", P("e.edb"), "--password", "secret"});
  WriteHostFile(P("junk.edb"), std::string(2000, 'j'));
  std::vector<std::string> Args;
  for (const std::string& Arg : GetParam().Args) {
    if (Arg == "{c}") Args.push_back(P("c.edb"));
    else if (Arg == "{e}") Args.push_back(P("e.edb"));
    else if (Arg == "{junk}") Args.push_back(P("junk.edb"));
    else if (Arg == "{missing}") Args.push_back(P("missing.edb"));
    else Args.push_back(Arg);
  }
  const std::string Err = Fails(Args);
  EXPECT_NE(Err.find(GetParam().Expected), std::string::npos) << Err;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EdbErrors,
    testing::Values(ErrorCase{"NoCommand", {}, "no command given"},
                    ErrorCase{"UnknownCommand", {"frob", "{c}"}, "unknown command 'frob'"},
                    ErrorCase{"UnknownHelpTopic", {"help", "frob"}, "unknown command 'frob'"},
                    ErrorCase{"UnknownOption", {"ls", "--bogus", "{c}"}, "unknown option '--bogus'"},
                    ErrorCase{"UnknownOptionWithoutCommand", {"--bogus"}, "unknown option '--bogus'"},
                    ErrorCase{"MissingArgument", {"ls"}, "missing arguments; usage: edb ls FILE [DIR]"},
                    ErrorCase{"TooManyArguments", {"rm", "{c}", "a", "b"}, "too many arguments"},
                    ErrorCase{"PasswordWithoutValue", {"ls", "{c}", "--password"}, "needs a value"},
                    ErrorCase{"ForceOnOtherCommand", {"rm", "{c}", "d/f.txt", "--force"}, "does not apply"},
                    ErrorCase{"MissingContainer", {"ls", "{missing}"}, "no such file"},
                    ErrorCase{"NotAContainer", {"info", "{junk}"}, "corrupted"},
                    ErrorCase{"MissingItem", {"get", "{c}", "d/nothing"}, "no such file or folder"},
                    ErrorCase{"GetOfAFolder", {"get", "{c}", "d"}, "is a folder"},
                    ErrorCase{"WrongPassword", {"ls", "{e}", "--password", "wrong"}, "wrong password"},
                    ErrorCase{"NoPassword", {"info", "{e}"}, "encrypted"},
                    ErrorCase{"InvalidName", {"mkdir", "{c}", "\\"}, "not a valid name"},
                    ErrorCase{"TooLongName", {"put", "{c}", std::string(260, 'n')}, "259"}),
    [](const testing::TestParamInfo<ErrorCase>& Info) { return std::string(Info.param.Name); });

// ---- help

TEST_F(EdbToolTest, HelpForTheToolAndEveryCommand) {
  for (const std::vector<std::string>& Args : {std::vector<std::string>{"--help"}, {"-h"}, {"help"}}) {
    const std::string Text = Ok(Args);
    EXPECT_TRUE(Text.starts_with("Usage: edb COMMAND"));
    for (const char* Name : kCommandNames) EXPECT_NE(Text.find(std::string("  ") + Name + " "), std::string::npos) << Name;
  }
  for (const char* Name : kCommandNames) {
    SCOPED_TRACE(Name);
    const std::string Expected = std::string("Usage: edb ") + Name + " [OPTIONS] ";
    const std::string Text = Ok({Name, "--help"});
    EXPECT_TRUE(Text.starts_with(Expected)) << Text;
    EXPECT_NE(Text.find("--password"), std::string::npos);
    EXPECT_EQ(Ok({"help", Name}), Text);
    EXPECT_EQ(Ok({Name, "-h", "ignored", "arguments"}), Text);
  }
}

// ---- check

class EdbCheck : public EdbToolTest, public testing::WithParamInterface<const char*> {
protected:
  void SetUp() override {
    Ok({"create", C, "--password", GetParam()});
    Ok({"put", C, "data/big.bin", "--password", GetParam()}, Pattern(3 * 4064 + 5, 1));
    Ok({"put", C, "small.txt", "--password", GetParam()}, "small");
  }
  const std::string C = P("c.edb");
};

TEST_P(EdbCheck, GoodContainerIsOk) {
  const std::string Report = Ok({"check", C, "--password", GetParam()});
  EXPECT_TRUE(Report.starts_with("OK: 2 files, 1 folder, ")) << Report;
}

TEST_P(EdbCheck, EveryDamageIsFoundAndNamed) {
  const StoredPages Pages = PagesOf(C, GetParam(), "data\\big.bin");
  const std::string Pristine = P("pristine.edb");
  std::filesystem::copy_file(C, Pristine);
  struct Damage {
    const char* What;
    int64_t Offset;
    std::string Expected;  // start of the problem line
  };
  const Damage Cases[] = {
      {"header", kPartHeaderSize + 20, "TContainerFileSystem.LoadHeader - Invalid CFS file, header is corrupted."},
      {"PFS page", PageDataOffset(1), "TFreeSpaceManager.LoadPFS - can not load page, pageNo = 1"},
      {"directory page", PageDataOffset(Pages.Directory),
       "TDIRManager.Load - can not load page, pageNo = " + std::to_string(Pages.Directory)},
      {"page-map page", PageDataOffset(Pages.Map), "page-map page " + std::to_string(Pages.Map) + " of "},
      {"data page", PageDataOffset(Pages.Data, 4063), "data page " + std::to_string(Pages.Data) + " of "},
  };
  for (const Damage& Case : Cases) {
    SCOPED_TRACE(Case.What);
    std::filesystem::copy_file(Pristine, C, std::filesystem::copy_options::overwrite_existing);
    FlipHostByte(C, Case.Offset);
    const RunResult Result = Run({"check", C, "--password", GetParam()});
    EXPECT_EQ(Result.Status, 1);
    EXPECT_EQ(Result.Err, "");
    EXPECT_TRUE(Result.Out.starts_with(Case.Expected)) << Result.Out;
    EXPECT_TRUE(Result.Out.ends_with("\n1 problem found\n")) << Result.Out;
  }
}

TEST_P(EdbCheck, DamagedFileWritesNothing) {
  // More than one chunk of pages, damaged in its last page: stdout gets nothing, and a
  // destination file is removed again.
  Ok({"put", C, "huge.bin", "--password", GetParam()}, Pattern(300 * 4064, 2));
  FlipHostByte(C, PageDataOffset(PagesOf(C, GetParam(), "huge.bin").LastData));
  EXPECT_NE(Fails({"get", C, "huge.bin", "--password", GetParam()}).find("checksum mismatch"), std::string::npos);
  Fails({"get", C, "huge.bin", P("out.bin"), "--password", GetParam()});
  EXPECT_FALSE(std::filesystem::exists(P("out.bin")));
  EXPECT_EQ(Ok({"get", C, "small.txt", "--password", GetParam()}), "small");
}

INSTANTIATE_TEST_SUITE_P(Variants, EdbCheck, testing::Values("", "secret"),
                         [](const testing::TestParamInfo<const char*>& Info) {
                           return std::string(*Info.param ? "Encrypted" : "Plain");
                         });

// ---- compact

class EdbCompact : public EdbToolTest, public testing::WithParamInterface<const char*> {};

TEST_P(EdbCompact, ShrinksAfterRmAndKeepsEverything) {
  const std::string C = P("c.edb");
  const std::vector<std::string> Pass = {"--password", GetParam()};
  auto With = [&Pass](std::vector<std::string> Args) {
    Args.insert(Args.end(), Pass.begin(), Pass.end());
    return Args;
  };
  Ok(With({"create", C}));
  const std::string Keep1 = Pattern(2 * 4064, 11);  // an exact multiple of the page data size
  const std::string Keep2 = Pattern(70000, 12);
  for (int I = 0; I < 4; ++I) Ok(With({"put", C, "drop/f" + std::to_string(I)}), Pattern(300000, 20 + I));
  Ok(With({"put", C, "keep/one.bin"}), Keep1);
  Ok(With({"put", C, "two.bin"}), Keep2);
  Ok(With({"mkdir", C, "empty/folder"}));
  for (int I = 0; I < 4; ++I) Ok(With({"rm", C, "drop/f" + std::to_string(I)}));
  const auto Before = std::filesystem::file_size(C);

  ErrIsTerminal = true;
  const RunResult Result = Run(With({"compact", C}));
  ASSERT_EQ(Result.Status, 0) << Result.Err;
  EXPECT_NE(Result.Out.find("Size before: " + std::to_string(Before - kPartHeaderSize) + " bytes\n"), std::string::npos)
      << Result.Out;
  EXPECT_NE(Result.Out.find("Size after:  "), std::string::npos);
  EXPECT_NE(Result.Err.find("100%"), std::string::npos) << "progress bar on a terminal";
  EXPECT_LT(std::filesystem::file_size(C), Before / 4);

  EXPECT_TRUE(Ok(With({"get", C, "keep/one.bin"})) == Keep1);
  EXPECT_TRUE(Ok(With({"get", C, "two.bin"})) == Keep2);
  EXPECT_EQ(Ok(With({"ls", C, "empty/folder"})), "");
  EXPECT_EQ(Ok(With({"ls", C, "drop"})), "");
  EXPECT_NE(Ok(With({"check", C})).find("OK"), std::string::npos);
  EXPECT_FALSE(std::filesystem::exists(C + "_new"));
}

INSTANTIATE_TEST_SUITE_P(Variants, EdbCompact, testing::Values("", "secret"),
                         [](const testing::TestParamInfo<const char*>& Info) {
                           return std::string(*Info.param ? "Encrypted" : "Plain");
                         });

TEST_F(EdbToolTest, CompactWithoutRoomFailsAndLeavesTheContainer) {
  platform::MemoryFileSystem Fs;
  platform::ScopedFileSystem Guard(Fs);
  const std::string C = "/c.edb";
  Ok({"create", C});
  Ok({"put", C, "f.bin"}, Pattern(50000, 3));
  const std::vector<uint8_t> Image = Fs.ReadAll(C);
  Fs.SetCapacity(Fs.UsedBytes() + 4096);

  const RunResult Result = Run({"compact", C});
  EXPECT_EQ(Result.Status, 1);
  EXPECT_EQ(Result.Out, "");
  EXPECT_TRUE(IsOneErrorLine(Result.Err)) << Result.Err;
  EXPECT_NE(Result.Err.find("compaction failed"), std::string::npos) << Result.Err;
  EXPECT_NE(Result.Err.find("Not enough space."), std::string::npos) << Result.Err;
  EXPECT_TRUE(Fs.ReadAll(C) == Image);
  EXPECT_FALSE(Fs.FileExists(C + "_new"));
}

TEST_F(EdbToolTest, WritingCommandsReportAFullDisk) {
  platform::MemoryFileSystem Fs;
  platform::ScopedFileSystem Guard(Fs);
  const std::string C = "/c.edb";
  Ok({"create", C});
  Ok({"put", C, "f.bin"}, "old");
  Fs.SetCapacity(Fs.UsedBytes());

  EXPECT_NE(Fails({"put", C, "f.bin"}, Pattern(200000, 4)).find("not enough space"), std::string::npos);
  Fs.SetCapacity(-1);
  EXPECT_EQ(Ok({"get", C, "f.bin"}), "old");
  EXPECT_EQ(Ok({"ls", C}).find("~"), std::string::npos) << "no temporary item may remain";
}

}  // namespace
}  // namespace tesvar::edb::test

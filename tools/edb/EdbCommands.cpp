// The edb commands over TContainerFileSystem.

#include "container/ContainerFormat.h"
#include "container/TContainerChecker.h"
#include "container/TContainerFileSystem.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "edb/EdbTool_internal.h"
#include "platform/AnsiCase.h"
#include "platform/Exception.h"
#include "platform/IClock.h"
#include "platform/IFileSystem.h"
#include "platform/Paths.h"

#include <algorithm>
#include <cstdio>
#include <functional>
#include <iostream>
#include <memory>

namespace tesvar::edb {

using namespace tesvar::container;

namespace {

// Data moves in chunks of whole pages, so large files never sit in memory at once and whole
// pages go straight between the caller's buffer and the container.
constexpr int32_t kChunkPages = 256;

// Search attributes that take every item: files, directories, hidden, system.
constexpr uint32_t kAnyItem = 0x3F;

const char kInvalidPasswordMessage[] = "TContainerFileSystem.Create - invalid password specified";

std::string ErrorText(int32_t Code) {
  switch (Code) {
    case ceOk: return "no reason given";
    case ceInvalidHandle: return "invalid file handle";
    case cePageHeaderRead: return "page header read incomplete";
    case cePageHeaderWrite: return "page header write incomplete";
    case cePageDataRead: return "page data read incomplete";
    case cePageDataWrite: return "page data write incomplete";
    case cePageChecksum: return "page data checksum mismatch";
    case cePageDecrypt: return "page data decryption failed";
    case cePageEncrypt: return "page data encryption failed";
    case ceRepairBuffer: return "no memory for the page buffer";
    case ceRepairRename: return "the compacted file could not take the container's name";
    case ceFileInUse: return "the file is in use";
    case ceNoSpace: return "not enough space";
    case ceReadOnly: return "the container is read-only";
    case ceInvalidArgument: return "invalid argument";
    default: return "error " + std::to_string(Code);
  }
}

// "1 file", "2 files".
std::string Counted(int64_t Count, const char* Noun) {
  return std::to_string(Count) + " " + Noun + (Count == 1 ? "" : "s");
}

bool IsSeparator(char C) { return C == '\\' || C == '/'; }

bool IsRoot(std::string_view Path) { return Path.size() == 1 && IsSeparator(Path[0]); }

// A container path split into its folder part (empty directly under the root) and its own name;
// one trailing separator is ignored.
struct TSplitName {
  std::string Dir;
  std::string Name;
};

TSplitName SplitName(std::string_view Path) {
  if (Path.size() > 1 && IsSeparator(Path.back())) Path.remove_suffix(1);
  const size_t Split = Path.find_last_of("\\/");
  if (Split == std::string_view::npos) return {{}, std::string(Path)};
  return {std::string(Path.substr(0, Split)), std::string(Path.substr(Split + 1))};
}

// Rejects names the container cannot hold as a file or folder of their own.
void RequireItemName(std::string_view Path) {
  const TSplitName Split = SplitName(Path);
  if (Split.Name.empty() || Split.Name == "." || Split.Name == "..") {
    throw ToolError("'" + std::string(Path) + "' is not a valid name inside a container");
  }
  if (Split.Name.size() > static_cast<size_t>(kMaxFileNameLength)) {
    throw ToolError("'" + std::string(Path) + "': a name inside a container has at most 259 characters");
  }
}

enum class Access { Read, Write };

// Opens the container FILE. Tool errors for a missing or locked file, a missing password and a
// wrong one; a damaged header raises the engine's message.
std::unique_ptr<TContainerFileSystem> OpenContainer(const TCommandRun& Run, Access How) {
  const std::string& File = Run.Args[0];
  platform::IFileSystem& Fs = platform::FileSystem();
  if (Fs.DirectoryExists(File)) throw ToolError(File + ": is a directory, not a container");
  if (!Fs.FileExists(File)) throw ToolError(File + ": no such file");
  {
    // The engine reports any file it cannot open as a damaged header; say what really happened.
    platform::FileOpenOptions Options;
    Options.access = How == Access::Write ? platform::FileAccess::ReadWrite : platform::FileAccess::Read;
    Options.share = How == Access::Write ? platform::FileShare::None : platform::FileShare::ReadWrite;
    if (!Fs.Open(File, Options)) throw ToolError(File + ": cannot open: " + platform::LastErrorText());
  }
  const bool Encrypted = TContainerFileSystem::IsFileEncrypted(File);
  const std::string Password = Run.Password.value_or(std::string());
  if (Encrypted && Password.empty()) {
    throw ToolError(File + ": the container is encrypted; give --password or set EDB_PASSWORD");
  }
  const uint16_t Mode = How == Access::Write ? kModeReadWrite | kModeShareExclusive : kModeRead;
  try {
    return std::make_unique<TContainerFileSystem>(File, Mode, false, Password);
  } catch (const Exception& E) {
    if (Encrypted && E.Message().starts_with(kInvalidPasswordMessage)) throw ToolError(File + ": wrong password");
    throw;
  }
}

// Item ID of Path, -1 for the root; a tool error when there is no such item.
int32_t FindItem(const TContainerFileSystem& Container, std::string_view Path) {
  const int32_t ItemID = Container.Directory().FindFile(Path);
  if (ItemID < kRootDirectoryID) throw ToolError("'" + std::string(Path) + "': no such file or folder in the container");
  return ItemID;
}

bool IsDirectoryItem(const TContainerFileSystem& Container, int32_t ItemID) {
  return ItemID == kRootDirectoryID || Container.Directory().ReadItem(ItemID).IsDirectory;
}

// Makes folder Dir (and its parents) unless it exists; a tool error when a file is in the way
// or there is no room.
void ForceFolder(TContainerFileSystem& Container, const std::string& Dir) {
  if (Dir.empty() || Container.DirectoryExists(Dir)) return;
  for (size_t End = Dir.find_first_of("\\/", 1);; End = Dir.find_first_of("\\/", End + 1)) {
    const std::string Prefix = Dir.substr(0, End);
    const int32_t ItemID = Container.Directory().FindFile(Prefix);
    if (ItemID >= 0 && !Container.Directory().ReadItem(ItemID).IsDirectory) {
      throw ToolError("'" + Prefix + "' is a file, not a folder");
    }
    if (End == std::string::npos) break;
  }
  if (!Container.ForceDirectories(Dir) || !Container.DirectoryExists(Dir)) {
    const int32_t Code = Container.LastError();
    throw ToolError("cannot create folder '" + Dir + "'" + (Code != ceOk ? ": " + ErrorText(Code) : " (a file is in the way)"));
  }
}

// The DOS date and time of a search record as "YYYY-MM-DD hh:mm:ss", dashes when there is none.
std::string FormatDosTime(int32_t DosDateTime) {
  if (DosDateTime == 0) return "0000-00-00 00:00:00";
  const uint32_t Value = static_cast<uint32_t>(DosDateTime);
  const uint32_t Date = Value >> 16;
  const uint32_t Time = Value & 0xFFFF;
  char Text[32];
  std::snprintf(Text, sizeof Text, "%04u-%02u-%02u %02u:%02u:%02u", 1980 + (Date >> 9), (Date >> 5) & 15, Date & 31,
                Time >> 11, (Time >> 5) & 63, (Time & 31) * 2);
  return Text;
}

// An open user file, closed on every way out.
class TOpenFile {
public:
  TOpenFile(TContainerFileSystem& Container, int32_t Handle) : FContainer(Container), FHandle(Handle) {}
  ~TOpenFile() { Close(); }
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;
  int32_t Handle() const { return FHandle; }
  void Close() {
    if (FHandle >= 0) FContainer.FileClose(FHandle);
    FHandle = -1;
  }

private:
  TContainerFileSystem& FContainer;
  int32_t FHandle;
};

int32_t ChunkSize(TContainerFileSystem& Container) { return Container.PageFile().PageDataSize() * kChunkPages; }

// Reads Size bytes of an open file from its start and hands them to Sink chunk by chunk (Sink
// may be empty: the data is only read and verified). A tool error names the offset and the page
// error where the data stops.
void ReadStoredFile(TContainerFileSystem& Container, int32_t Handle, int64_t Size, const std::string& Name,
                    const std::function<void(const uint8_t*, size_t)>& Sink) {
  std::vector<uint8_t> Buffer(static_cast<size_t>(ChunkSize(Container)));
  static_cast<void>(Container.FileSeek(Handle, 0, 0));  // an open handle: cannot fail
  int64_t Done = 0;
  while (Done < Size) {
    const int32_t Wanted = static_cast<int32_t>(std::min<int64_t>(static_cast<int64_t>(Buffer.size()), Size - Done));
    const int32_t Got = Container.FileRead(Handle, Buffer.data(), Wanted);
    if (Got != Wanted) {
      const int64_t At = Done + std::max(Got, 0);
      throw ToolError("'" + Name + "': cannot read at offset " + std::to_string(At) + ": " +
                      ErrorText(Container.LastError() != ceOk ? Container.LastError() : cePageDataRead));
    }
    if (Sink) Sink(Buffer.data(), static_cast<size_t>(Got));
    Done += Got;
  }
}

// A name for the new data of `put` next to NAME, not taken by any item.
std::string FreshTemporaryName(const TContainerFileSystem& Container, const std::string& Dir) {
  for (int N = 0;; ++N) {
    std::string Candidate = (Dir.empty() ? std::string() : Dir + "\\") + "~edb-put-" + std::to_string(N) + ".tmp";
    if (!Container.FileExists(Candidate)) return Candidate;
  }
}

// A compaction progress bar on a terminal: redrawn in place when the whole percentage changes.
class TProgressBar {
public:
  explicit TProgressBar(std::ostream& Err) : FErr(Err) {}
  void Show(double Percent) {
    const int Whole = std::clamp(static_cast<int>(Percent), 0, 100);
    if (Whole == FShown) return;
    FShown = Whole;
    constexpr int kWidth = 40;
    const int Filled = Whole * kWidth / 100;
    FErr << "\rcompacting [" << std::string(static_cast<size_t>(Filled), '#')
         << std::string(static_cast<size_t>(kWidth - Filled), ' ') << "] ";
    FErr.width(3);
    FErr << Whole << "%" << std::flush;
  }
  // Clears the bar's line.
  void Finish() {
    if (FShown >= 0) FErr << '\r' << std::string(60, ' ') << '\r' << std::flush;
    FShown = -1;
  }

private:
  std::ostream& FErr;
  int FShown = -1;
};

// The compaction log with CR LF line ends made plain, one entry per element.
std::vector<std::string> LogLines(const std::string& Log) {
  std::vector<std::string> Lines;
  std::string Line;
  for (char C : Log) {
    if (C == '\r') continue;
    if (C == '\n') {
      Lines.push_back(Line);
      Line.clear();
    } else {
      Line += C;
    }
  }
  if (!Line.empty()) Lines.push_back(Line);
  while (!Lines.empty() && Lines.back().find_first_not_of(' ') == std::string::npos) Lines.pop_back();
  return Lines;
}

}  // namespace

int CmdCreate(TCommandRun& Run) {
  const std::string& File = Run.Args[0];
  platform::IFileSystem& Fs = platform::FileSystem();
  if (Fs.DirectoryExists(File)) throw ToolError(File + ": is a directory");
  if (Fs.FileExists(File) && !Run.Force) throw ToolError(File + ": file exists (use --force to replace it)");
  const std::string Dir = platform::ExtractFileDir(File);
  if (!Dir.empty() && !Fs.DirectoryExists(Dir)) throw ToolError(File + ": no such directory '" + Dir + "'");
  const std::string Password = Run.Password.value_or(std::string());
  // Checked here: the engine would raise it only after removing the existing file.
  if (Password.size() > static_cast<size_t>(kMaxPasswordLength)) {
    throw ToolError("the password is longer than 32 characters");
  }
  TContainerFileSystem Container(File, kModeCreate, false, Password);
  return 0;
}

int CmdInfo(TCommandRun& Run) {
  auto Container = OpenContainer(Run, Access::Read);
  const TContainerHeader& Header = Container->PageFile().Header();
  int64_t FreePages = 0;
  for (int32_t PageNo = Header.ReservedPageCount; PageNo < Header.PageCount; ++PageNo) {
    if (Container->FreeSpace().IsPageFree(PageNo)) ++FreePages;
  }
  int32_t Files = 0, Folders = 0, Deleted = 0;
  int64_t Bytes = 0;
  const TDIRArray& Items = Container->Directory().Items();
  for (int32_t ItemID = 0; ItemID < Items.ItemCount(); ++ItemID) {
    const TDirItem& Item = Items.ReadItem(ItemID);
    if (Item.Deleted) ++Deleted;
    else if (Item.IsDirectory) ++Folders;
    else {
      ++Files;
      Bytes += Item.Size;
    }
  }
  std::string Encryption = "none";
  if (Header.EncryptionType == etPageCipher) Encryption = "page cipher (type 1)";
  else if (Header.EncryptionType != etNone) Encryption = "unknown (type " + std::to_string(Header.EncryptionType) + ")";

  std::ostream& Out = Run.Result;
  Out << "File:             " << Run.Args[0] << '\n'
      << "Format version:   " << Header.Version << '\n'
      << "Page size:        " << Header.PageSize << " bytes (" << Container->PageFile().PageDataSize()
      << " data bytes)\n"
      << "Extent pages:     " << Header.ExtentPageCount << '\n'
      << "Page count:       " << Header.PageCount << '\n'
      << "GAM pages:        " << Header.GAMPageCount << '\n'
      << "PFS pages:        " << Header.PFSPageCount << '\n'
      << "Directory pages:  " << Header.DirPageCount << " (first " << Header.FirstDirPageNo << ")\n"
      << "Directory items:  " << Header.DirItemCount << " (" << Counted(Files, "file") << ", "
      << Counted(Folders, "folder") << ", " << Deleted << " deleted)\n"
      << "Stored bytes:     " << Bytes << '\n'
      << "Container size:   " << Container->GetSize() << " bytes\n"
      << "Free pages:       " << FreePages << '\n'
      << "Encryption:       " << Encryption << '\n';
  return 0;
}

int CmdLs(TCommandRun& Run) {
  auto Container = OpenContainer(Run, Access::Read);
  const std::string Dir = Run.Args.size() > 1 ? Run.Args[1] : std::string("\\");
  const int32_t ItemID = FindItem(*Container, Dir);

  struct TEntry {
    std::string Name;
    int64_t Size;
    int32_t Time;
    bool Folder;
  };
  std::vector<TEntry> Entries;
  if (!IsDirectoryItem(*Container, ItemID)) {
    const TDirItem& Item = Container->Directory().ReadItem(ItemID);
    Entries.push_back({Item.FileName, Item.Size, static_cast<int32_t>(platform::FileTimeToDosDateTime(Item.LastWriteTime)), false});
  } else {
    std::string Folder = IsRoot(Dir) ? std::string() : Dir;
    if (!Folder.empty() && IsSeparator(Folder.back())) Folder.pop_back();
    TSearchRec Rec;
    for (int32_t Found = Container->FindFirst(Folder + "\\*", kAnyItem, Rec); Found == 0; Found = Container->FindNext(Rec)) {
      Entries.push_back({Rec.Name, Rec.Size, Rec.Time, (static_cast<uint32_t>(Rec.Attr) & kDirectoryAttr) != 0});
    }
    Container->FindClose(Rec);
  }
  std::sort(Entries.begin(), Entries.end(), [](const TEntry& A, const TEntry& B) {
    return platform::AnsiCompareTextCI(A.Name, B.Name) < 0;
  });
  for (const TEntry& Entry : Entries) {
    std::string Size = Entry.Folder ? std::string("<DIR>") : std::to_string(Entry.Size);
    if (Size.size() < 12) Size.insert(0, 12 - Size.size(), ' ');
    Run.Result << FormatDosTime(Entry.Time) << "  " << Size << "  " << Entry.Name << (Entry.Folder ? "\\" : "") << '\n';
  }
  return 0;
}

int CmdPut(TCommandRun& Run) {
  const std::string& Name = Run.Args[1];
  RequireItemName(Name);
  const bool FromStdin = Run.Args.size() < 3 || Run.Args[2] == "-";
  std::unique_ptr<platform::IFile> Source;
  if (!FromStdin) {
    const std::string& Src = Run.Args[2];
    if (platform::FileSystem().DirectoryExists(Src)) throw ToolError(Src + ": is a directory");
    Source = platform::FileSystem().Open(Src, platform::FileOpenOptions{});
    if (!Source) throw ToolError(Src + ": cannot open: " + platform::LastErrorText());
  }

  auto Container = OpenContainer(Run, Access::Write);
  const int32_t Existing = Container->Directory().FindFile(Name);
  if (Existing >= kRootDirectoryID && IsDirectoryItem(*Container, Existing)) throw ToolError("'" + Name + "' is a folder");
  const TSplitName Split = SplitName(Name);
  ForceFolder(*Container, Split.Dir);

  // The data goes to a new item first, so a failure leaves an existing NAME as it was.
  const std::string Temporary = FreshTemporaryName(*Container, Split.Dir);
  TOpenFile Target(*Container, Container->FileOpen(Temporary, kModeCreate));
  if (Target.Handle() < 0) throw ToolError("cannot create '" + Name + "': " + ErrorText(Container->LastError()));
  std::string Failure;
  std::vector<uint8_t> Buffer(static_cast<size_t>(ChunkSize(*Container)));
  int64_t Done = 0;
  while (Failure.empty()) {
    int64_t Got = 0;
    if (FromStdin) {
      Run.Context.In.read(reinterpret_cast<char*>(Buffer.data()), static_cast<std::streamsize>(Buffer.size()));
      Got = Run.Context.In.gcount();
      if (Run.Context.In.bad()) Failure = "cannot read standard input";
    } else {
      Got = Source->Read(Buffer.data(), static_cast<int64_t>(Buffer.size()));
      if (Got < 0) Failure = Run.Args[2] + ": cannot read: " + platform::LastErrorText();
    }
    if (Got <= 0) break;
    const int32_t Written = Container->FileWrite(Target.Handle(), Buffer.data(), static_cast<int32_t>(Got));
    if (Written != Got) {
      Failure = "cannot store '" + Name + "' at offset " + std::to_string(Done + std::max(Written, 0)) + ": " +
                ErrorText(Container->LastError());
    }
    Done += Got;
    if (FromStdin && Run.Context.In.eof()) break;
  }
  Target.Close();
  if (Failure.empty() && Existing >= 0 && !Container->DeleteFile(Name)) {
    Failure = "cannot replace '" + Name + "' (it is in use)";
  }
  if (Failure.empty() && !Container->RenameFile(Temporary, Name)) Failure = "cannot store '" + Name + "' under its name";
  if (!Failure.empty()) {
    static_cast<void>(Container->DeleteFile(Temporary));  // the failure above is the one to report
    throw ToolError(Failure);
  }
  return 0;
}

int CmdGet(TCommandRun& Run) {
  const std::string& Name = Run.Args[1];
  const bool ToStdout = Run.Args.size() < 3 || Run.Args[2] == "-";
  auto Container = OpenContainer(Run, Access::Read);
  const int32_t ItemID = FindItem(*Container, Name);
  if (IsDirectoryItem(*Container, ItemID)) throw ToolError("'" + Name + "' is a folder");
  const int64_t Size = Container->Directory().ReadItem(ItemID).Size;
  TOpenFile Source(*Container, Container->FileOpen(Name, kModeRead));
  if (Source.Handle() < 0) throw ToolError("cannot open '" + Name + "'");

  if (ToStdout) {
    // Verified before the first byte goes out: a damaged file writes nothing.
    ReadStoredFile(*Container, Source.Handle(), Size, Name, {});
    std::ostream& Out = Run.Context.Out;
    ReadStoredFile(*Container, Source.Handle(), Size, Name, [&Out](const uint8_t* Data, size_t Count) {
      Out.write(reinterpret_cast<const char*>(Data), static_cast<std::streamsize>(Count));
    });
    return 0;
  }

  const std::string& Dest = Run.Args[2];
  platform::IFileSystem& Fs = platform::FileSystem();
  if (Fs.DirectoryExists(Dest)) throw ToolError(Dest + ": is a directory");
  // No sharing: the container itself (open for reading) can never be the destination.
  std::unique_ptr<platform::IFile> Target = Fs.Open(
      Dest, platform::FileOpenOptions{.access = platform::FileAccess::ReadWrite,
                                      .share = platform::FileShare::None,
                                      .creation = platform::FileCreation::CreateAlways,
                                      .randomAccess = false});
  if (!Target) throw ToolError(Dest + ": cannot create: " + platform::LastErrorText());
  try {
    ReadStoredFile(*Container, Source.Handle(), Size, Name, [&](const uint8_t* Data, size_t Count) {
      if (Target->Write(Data, static_cast<int64_t>(Count)) != static_cast<int64_t>(Count)) {
        throw ToolError(Dest + ": cannot write: " + platform::LastErrorText());
      }
    });
    if (!Target->Flush()) throw ToolError(Dest + ": cannot write: " + platform::LastErrorText());
  } catch (...) {
    Target.reset();
    Fs.DeleteFile(Dest);
    throw;
  }
  return 0;
}

int CmdRm(TCommandRun& Run) {
  const std::string& Name = Run.Args[1];
  auto Container = OpenContainer(Run, Access::Write);
  const int32_t ItemID = FindItem(*Container, Name);
  if (ItemID == kRootDirectoryID) throw ToolError("the root folder cannot be removed");
  if (Container->Directory().ReadItem(ItemID).IsDirectory && !Container->Directory().Items().Children(ItemID).empty()) {
    throw ToolError("'" + Name + "': folder not empty");
  }
  if (!Container->DeleteFile(Name)) {
    const int32_t Code = Container->LastError();
    throw ToolError("cannot remove '" + Name + "'" + (Code != ceOk ? ": " + ErrorText(Code) : std::string()));
  }
  return 0;
}

int CmdMv(TCommandRun& Run) {
  const std::string& Old = Run.Args[1];
  std::string New = Run.Args[2];
  auto Container = OpenContainer(Run, Access::Write);
  const int32_t ItemID = FindItem(*Container, Old);
  if (ItemID == kRootDirectoryID) throw ToolError("the root folder cannot be moved");
  const int32_t Into = Container->Directory().FindFile(New);
  if (Into >= kRootDirectoryID && Into != ItemID && IsDirectoryItem(*Container, Into)) {
    // Into an existing folder, under the item's own name.
    if (!IsRoot(New) && IsSeparator(New.back())) New.pop_back();
    New = (IsRoot(New) ? std::string() : New) + "\\" + Container->Directory().ReadItem(ItemID).FileName;
  }
  RequireItemName(New);
  const int32_t Target = Container->Directory().FindFile(New);
  if (Target >= 0 && Target != ItemID) throw ToolError("'" + New + "' already exists");
  if (!Container->RenameFile(Old, New)) {
    const int32_t Code = Container->LastError();
    throw ToolError("cannot move '" + Old + "' to '" + New + "'" + (Code != ceOk ? ": " + ErrorText(Code) : std::string()));
  }
  return 0;
}

int CmdMkdir(TCommandRun& Run) {
  const std::string& Dir = Run.Args[1];
  RequireItemName(Dir);
  auto Container = OpenContainer(Run, Access::Write);
  if (Container->Directory().FindFile(Dir) >= 0) throw ToolError("'" + Dir + "' already exists");
  ForceFolder(*Container, Dir);
  return 0;
}

int CmdCheck(TCommandRun& Run) {
  std::vector<std::string> Problems;
  std::unique_ptr<TContainerFileSystem> Container;
  try {
    Container = OpenContainer(Run, Access::Read);
  } catch (const Exception& E) {
    // A header, bitmap or directory page that cannot be read stops the open: that is a finding.
    Problems.push_back(E.Message());
  }
  std::vector<int32_t> Leaked;
  if (Container) {
    TContainerChecker Checker(*Container);
    try {
      Problems = Checker.Check();
      Leaked = Checker.LeakedPages();
    } catch (const Exception& E) {
      Problems.push_back(E.Message());
    }
  }
  std::ostream& Out = Run.Result;
  for (const std::string& Problem : Problems) Out << Problem << '\n';
  if (!Problems.empty()) {
    Out << Counted(static_cast<int64_t>(Problems.size()), "problem") << " found\n";
    return 1;
  }
  const TContainerHeader& Header = Container->PageFile().Header();
  int32_t Files = 0, Folders = 0;
  const TDIRArray& Items = Container->Directory().Items();
  for (int32_t ItemID = 0; ItemID < Items.ItemCount(); ++ItemID) {
    const TDirItem& Item = Items.ReadItem(ItemID);
    if (!Item.Deleted) ++(Item.IsDirectory ? Folders : Files);
  }
  Out << "OK: " << Counted(Files, "file") << ", " << Counted(Folders, "folder") << ", "
      << Counted(Header.PageCount, "page") << " checked\n";
  if (!Leaked.empty()) {
    Out << "note: " << Counted(static_cast<int64_t>(Leaked.size()), "page")
        << " marked used but belonging to nothing (compact reclaims them)\n";
  }
  return 0;
}

int CmdCompact(TCommandRun& Run) {
  auto Container = OpenContainer(Run, Access::Write);
  const int64_t Before = Container->GetSize();
  TProgressBar Bar(Run.Context.Err);
  if (Run.Context.ErrIsTerminal) {
    Container->OnProgress = [&Bar](TContainerFileSystem&, bool&, double Percent) { Bar.Show(Percent); };
  }
  std::string Log;
  bool Done = false;
  try {
    Done = Container->RepairFile(Log);
  } catch (...) {
    Bar.Finish();
    throw;
  }
  Bar.Finish();
  const std::vector<std::string> Lines = LogLines(Log);
  if (!Done) {
    std::string Reason;
    for (const std::string& Line : Lines) Reason += (Reason.empty() ? "" : "; ") + Line;
    if (Reason.empty()) Reason = ErrorText(Container->LastError());
    throw ToolError(Run.Args[0] + ": compaction failed, the container is unchanged: " + Reason);
  }
  for (const std::string& Line : Lines) Run.Result << Line << '\n';
  const int64_t After = Container->GetSize();
  Run.Result << "Size before: " << Before << " bytes\n"
             << "Size after:  " << After << " bytes\n";
  return 0;
}

}  // namespace tesvar::edb

// The edb commands over TContainerFileSystem.

#include "container/ContainerFormat.h"
#include "container/TCFSHugeFile.h"
#include "container/TCFSJournal.h"
#include "container/TContainerChecker.h"
#include "container/TContainerFileSystem.h"
#include "container/TFreeSpaceManager.h"
#include "container/TPageFileManager.h"
#include "edb/EdbTool_internal.h"
#include "platform/AnsiCase.h"
#include "platform/CodePage.h"
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

const char kInvalidPasswordMessage[] = "TContainerFileSystem.Create - invalid password specified";

// The container's text for Code; a failure that left no code says so.
std::string ErrorText(int32_t Code) { return Code == ceOk ? "no reason given" : ContainerErrorText(Code); }

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

// What a name given to a command is for: finding an item, or naming a new one.
enum class NameUse { Lookup, New };

bool IsControlByte(uint8_t B) {
  const std::optional<char32_t> C = platform::AnsiCharToUnicode(B);
  return !C || *C < 0x20 || (*C >= 0x7F && *C <= 0x9F);
}

// Refuses, before anything changes, a container path the directory would not take as it reads:
// empty parts ("a//b"), "." and ".." (the directory would resolve them, storing "../x" as "x"),
// parts longer than a stored name (the directory would cut them), a NUL (it would end the path
// there), and for a new name the root itself and control characters.
void CheckName(std::string_view Path, NameUse Use) {
  const std::string Shown = Quoted(Path);
  if (Path.empty()) throw ToolError("an empty name is not a name inside a container");
  std::string_view Rest = Path;
  if (IsSeparator(Rest.front())) Rest.remove_prefix(1);
  if (!Rest.empty() && IsSeparator(Rest.back())) Rest.remove_suffix(1);
  if (Rest.empty() && Path.size() > 1) throw ToolError(Shown + ": a name inside a container has no empty parts");
  if (Rest.empty()) {
    if (Use == NameUse::New) throw ToolError(Shown + " is not a valid name inside a container");
    return;  // the root
  }
  for (size_t Start = 0;;) {
    const size_t End = std::min(Rest.find_first_of("\\/", Start), Rest.size());
    const std::string_view Part = Rest.substr(Start, End - Start);
    if (Part.empty()) throw ToolError(Shown + ": a name inside a container has no empty parts (two separators in a row)");
    if (Part == "." || Part == "..") throw ToolError(Shown + ": '.' and '..' are not allowed in names inside a container");
    if (Part.size() > static_cast<size_t>(kMaxFileNameLength)) {
      throw ToolError(Shown + ": a name inside a container has at most 259 characters in each part");
    }
    if (End == Rest.size()) break;
    Start = End + 1;
  }
  for (char C : Path) {
    if (C == '\0' || (Use == NameUse::New && IsControlByte(static_cast<uint8_t>(C)))) {
      throw ToolError(Shown + ": names inside a container hold no control characters");
    }
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
  if (ItemID < kRootDirectoryID) throw ToolError(Quoted(Path) + ": no such file or folder in the container");
  return ItemID;
}

bool IsDirectoryItem(const TContainerFileSystem& Container, int32_t ItemID) {
  return ItemID == kRootDirectoryID || Container.Directory().ReadItem(ItemID).IsDirectory;
}

// The folders of Dir (a container path) that do not exist yet, outermost first.
std::vector<std::string> MissingFolders(const TContainerFileSystem& Container, const std::string& Dir) {
  std::vector<std::string> Missing;
  if (Dir.empty() || IsRoot(Dir)) return Missing;
  for (size_t End = Dir.find_first_of("\\/", 1);; End = Dir.find_first_of("\\/", End + 1)) {
    std::string Prefix = Dir.substr(0, End);
    if (Container.Directory().FindFile(Prefix) < kRootDirectoryID) Missing.push_back(std::move(Prefix));
    if (End == std::string::npos) break;
  }
  return Missing;
}

// Makes folder Dir (and its parents) unless it exists; a tool error when a file is in the way
// or there is no room.
void ForceFolder(TContainerFileSystem& Container, const std::string& Dir) {
  if (Dir.empty() || Container.DirectoryExists(Dir)) return;
  for (size_t End = Dir.find_first_of("\\/", 1);; End = Dir.find_first_of("\\/", End + 1)) {
    const std::string Prefix = Dir.substr(0, End);
    const int32_t ItemID = Container.Directory().FindFile(Prefix);
    if (ItemID >= 0 && !Container.Directory().ReadItem(ItemID).IsDirectory) {
      throw ToolError(Quoted(Prefix) + " is a file, not a folder");
    }
    if (End == std::string::npos) break;
  }
  if (!Container.ForceDirectories(Dir) || !Container.DirectoryExists(Dir)) {
    const int32_t Code = Container.LastError();
    throw ToolError("cannot create folder " + Quoted(Dir) + (Code != ceOk ? ": " + ErrorText(Code) : " (a file is in the way)"));
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
    // A failed commit at the close is reported by the flush every writing command ends with.
    if (FHandle >= 0) static_cast<void>(FContainer.FileClose(FHandle));
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
      throw ToolError(Quoted(Name) + ": cannot read at offset " + std::to_string(At) + ": " +
                      ErrorText(Container.LastError() != ceOk ? Container.LastError() : cePageDataRead));
    }
    if (Sink) Sink(Buffer.data(), static_cast<size_t>(Got));
    Done += Got;
  }
}

// Suffixes of the items `put` keeps beside NAME while it replaces it: the new data, and the old
// data moved aside.
constexpr std::string_view kNewSuffix = "~edb-new";
constexpr std::string_view kOldSuffix = "~edb-old";

// NAME with a suffix on its own name, which is cut so that the whole stays a stored name.
std::string SideName(const std::string& Path, std::string_view Suffix) {
  const TSplitName Split = SplitName(Path);
  const size_t Room = static_cast<size_t>(kMaxFileNameLength) - Suffix.size();
  const std::string Own = Split.Name.substr(0, std::min(Split.Name.size(), Room)) + std::string(Suffix);
  return Split.Dir.empty() ? Own : Split.Dir + "\\" + Own;
}

// Runs Step; the reason it failed (its tool error or the engine's message), empty when it did not.
std::string Attempt(const std::function<void()>& Step) {
  try {
    Step();
    return {};
  } catch (const ToolError& E) {
    return E.what();
  } catch (const Exception& E) {
    return E.Message();
  }
}

// Why the container refused to rename or delete Path.
std::string Refusal(const TContainerFileSystem& Container, std::string_view Path) {
  const int32_t ItemID = Container.Directory().FindFile(Path);
  if (ItemID >= 0 && Container.Directory().OpenCount(ItemID) > 0) return "it is in use";
  if (Container.LastError() != ceOk) return ErrorText(Container.LastError());
  return "the container refused";
}

// Puts complete new data under the name Target by renames that leave one complete copy under a
// known name at every moment: an existing Target moves aside to Old, New takes the name Target,
// Old goes. Rename and Delete return the reason they failed, empty on success; BeforeStep (may
// be empty) runs before each of the three steps.
struct TSwapOps {
  std::function<std::string(const std::string& From, const std::string& To)> Rename;
  std::function<std::string(const std::string& Path)> Delete;
  std::function<void(TPutStep)> BeforeStep;
};

enum class TSwapEnd {
  Replaced,       // Target holds the new data; Old and New are gone
  OldKept,        // Target holds the new data; the old data could not go and is kept as Old
  NotMovedAside,  // Target unchanged (could not move aside); New removed unless NewLeft
  NotRenamed,     // Target unchanged (New could not take its name, Target came back); New removed unless NewLeft
  Split,          // Target missing: the old data is kept as Old, the new as New
};

struct TSwapResult {
  TSwapEnd End = TSwapEnd::Replaced;
  std::string Reason;       // why the failed step failed
  std::string Restore;      // Split: why Old could not take the name Target again
  bool NewLeft = false;     // NotMovedAside, NotRenamed: New could not be removed
};

TSwapResult SwapIn(const TSwapOps& Ops, bool TargetExists, const std::string& Target, const std::string& New,
                   const std::string& Old) {
  auto Before = [&Ops](TPutStep Step) {
    if (Ops.BeforeStep) Ops.BeforeStep(Step);
  };
  TSwapResult Result;
  auto Unchanged = [&](TSwapEnd End, std::string Reason) {
    Result.End = End;
    Result.Reason = std::move(Reason);
    Result.NewLeft = !Ops.Delete(New).empty();
    return Result;
  };
  if (TargetExists) {
    Before(TPutStep::MoveOldAside);
    if (std::string Reason = Ops.Rename(Target, Old); !Reason.empty()) return Unchanged(TSwapEnd::NotMovedAside, Reason);
  }
  Before(TPutStep::RenameNew);
  if (std::string Reason = Ops.Rename(New, Target); !Reason.empty()) {
    if (!TargetExists) return Unchanged(TSwapEnd::NotRenamed, Reason);
    if (std::string Restore = Ops.Rename(Old, Target); !Restore.empty()) {
      Result.End = TSwapEnd::Split;
      Result.Reason = std::move(Reason);
      Result.Restore = std::move(Restore);
      return Result;
    }
    return Unchanged(TSwapEnd::NotRenamed, Reason);
  }
  if (TargetExists) {
    Before(TPutStep::DeleteOld);
    if (std::string Reason = Ops.Delete(Old); !Reason.empty()) {
      Result.End = TSwapEnd::OldKept;
      Result.Reason = std::move(Reason);
    }
  }
  return Result;
}

// The error line of a swap that did not end in Replaced; names are given as they are shown.
std::string SwapFailure(const TSwapResult& Result, bool TargetExisted, const std::string& Target,
                        const std::string& New, const std::string& Old) {
  const std::string Unchanged = TargetExisted ? "; " + Target + " is unchanged" : "; nothing was stored";
  const std::string Left = Result.NewLeft ? "; the new data is left as " + New : std::string();
  switch (Result.End) {
    case TSwapEnd::Replaced: return {};
    case TSwapEnd::OldKept:
      return Target + " now holds the new data, but the old data cannot be removed (" + Result.Reason +
             "); it is kept as " + Old;
    case TSwapEnd::NotMovedAside:
      return "cannot replace " + Target + ": it cannot move aside to " + Old + " (" + Result.Reason + ")" + Unchanged + Left;
    case TSwapEnd::NotRenamed:
      return std::string(TargetExisted ? "cannot replace " : "cannot store ") + Target +
             ": the new data cannot take its name (" + Result.Reason + ")" + Unchanged + Left;
    case TSwapEnd::Split:
      return "cannot replace " + Target + ": the new data cannot take its name (" + Result.Reason +
             "), nor can the old data return (" + Result.Restore + "); the old data is kept as " + Old +
             ", the new data as " + New;
  }
  return {};
}

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

void TProgressBar::Show(double Percent) {
  const int Whole = std::clamp(static_cast<int>(Percent), 0, 100);
  if (Whole == FShown) return;
  FShown = Whole;
  constexpr int kWidth = 40;
  const int Filled = Whole * kWidth / 100;
  FErr << '\r' << FLabel << " [" << std::string(static_cast<size_t>(Filled), '#')
       << std::string(static_cast<size_t>(kWidth - Filled), ' ') << "] ";
  FErr.width(3);
  FErr << Whole << "%" << std::flush;
}

void TProgressBar::Finish() {
  if (FShown >= 0) FErr << '\r' << std::string(FLabel.size() + 48, ' ') << '\r' << std::flush;
  FShown = -1;
}

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

// What the rollback journal beside FILE says, as one line for info and check; empty when there
// is none.
std::string JournalState(const std::string& File) {
  const std::string Path = TCFSJournal::PathFor(File);
  TJournalContent Journal;
  if (!TCFSJournal::Load(Path, Journal)) return ShownHost(Path) + ": cannot be read: " + platform::LastErrorText();
  switch (Journal.State) {
    case TJournalContent::jsNone: return {};
    case TJournalContent::jsUnusable:
      return ShownHost(Path) + ": an unfinished journal that never took effect; the next writer removes it";
    case TJournalContent::jsValid: break;
  }
  return ShownHost(Path) + ": a change was interrupted; " + Counted(static_cast<int64_t>(Journal.Pages.size()), "page") +
         " and a size of " + std::to_string(Journal.CommittedSize) +
         " bytes to restore (\"edb recover\" rolls it back)";
}

int CmdInfo(TCommandRun& Run) {
  const std::string Journal = JournalState(Run.Args[0]);
  // A journal that needs a rollback keeps the read-only open from the container; its message
  // names the journal.
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
  Out << "File:             " << ShownHost(Run.Args[0]) << '\n'
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
      << "Encryption:       " << Encryption << '\n'
      << "Journal:          " << (Journal.empty() ? std::string("none") : Journal) << '\n';
  return 0;
}

int CmdRecover(TCommandRun& Run) {
  TJournalContent Before;
  if (!TCFSJournal::Load(TCFSJournal::PathFor(Run.Args[0]), Before)) {
    throw ToolError(ShownHost(TCFSJournal::PathFor(Run.Args[0])) + ": cannot be read: " + platform::LastErrorText());
  }
  // Opening for writing rolls an interrupted change back (or refuses a journal that does not
  // belong to the container, with the engine's message).
  OpenContainer(Run, Access::Write).reset();
  switch (Before.State) {
    case TJournalContent::jsNone: Run.Result << "nothing to recover: no journal\n"; break;
    case TJournalContent::jsUnusable: Run.Result << "removed an unfinished journal that never took effect\n"; break;
    case TJournalContent::jsValid: Run.Result << "rolled back: the container is as of its last completed change\n"; break;
  }
  return 0;
}

int CmdLs(TCommandRun& Run) {
  const std::string Dir = Run.Args.size() > 1 ? Run.Args[1] : std::string("\\");
  CheckName(Dir, NameUse::Lookup);
  auto Container = OpenContainer(Run, Access::Read);
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
    for (int32_t Found = Container->FindFirst(Folder + "\\*", kSearchAnyAttr, Rec); Found == 0; Found = Container->FindNext(Rec)) {
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
    Run.Result << FormatDosTime(Entry.Time) << "  " << Size << "  " << Shown(Entry.Name) << (Entry.Folder ? "\\" : "")
               << '\n';
  }
  return 0;
}

int CmdPut(TCommandRun& Run) {
  const std::string& Name = Run.Args[1];
  CheckName(Name, NameUse::New);
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
  if (Existing >= kRootDirectoryID && IsDirectoryItem(*Container, Existing)) throw ToolError(Quoted(Name) + " is a folder");
  const bool Replacing = Existing >= 0;
  const std::string NewName = SideName(Name, kNewSuffix);
  const std::string OldName = SideName(Name, kOldSuffix);
  // What an earlier put left may be the only copy of that data: the user decides about it.
  std::string Leftovers;
  for (const std::string* Side : {&NewName, &OldName}) {
    if (Container->FileExists(*Side)) Leftovers += (Leftovers.empty() ? "" : " and ") + Quoted(*Side);
  }
  if (!Leftovers.empty()) {
    throw ToolError(Quoted(Name) + ": an earlier put did not finish and left " + Leftovers +
                    "; remove or rename the leftovers first");
  }
  const TSplitName Split = SplitName(Name);
  const std::vector<std::string> Made = MissingFolders(*Container, Split.Dir);
  ForceFolder(*Container, Split.Dir);
  auto Step = [&Run, &Container](TPutStep S) {
    if (Run.Context.BeforePutStep) Run.Context.BeforePutStep(*Container, S);
  };
  auto Delete = [&Container](const std::string& Path) {
    return Attempt([&] {
      if (!Container->DeleteFile(Path)) throw ToolError(Refusal(*Container, Path));
    });
  };
  // Folders this put made go again when nothing was stored under NAME.
  auto Unmake = [&]() {
    for (auto It = Made.rbegin(); It != Made.rend(); ++It) (void)Delete(*It);
  };
  auto Flush = [&Container]() {
    if (!Container->PageFile().HostFile().Flush()) throw ToolError("the container cannot be flushed: " + platform::LastErrorText());
  };

  // The new data, complete and flushed under NAME~edb-new.
  std::string Failure = Attempt([&] {
    Step(TPutStep::WriteNew);
    TOpenFile Target(*Container, Container->FileOpen(NewName, kModeCreate));
    if (Target.Handle() < 0) throw ToolError("cannot create " + Quoted(NewName) + ": " + ErrorText(Container->LastError()));
    std::vector<uint8_t> Buffer(static_cast<size_t>(ChunkSize(*Container)));
    int64_t Done = 0;
    while (true) {
      int64_t Got = 0;
      if (FromStdin) {
        Run.Context.In.read(reinterpret_cast<char*>(Buffer.data()), static_cast<std::streamsize>(Buffer.size()));
        Got = Run.Context.In.gcount();
        if (Run.Context.In.bad()) throw ToolError("cannot read standard input");
      } else {
        Got = Source->Read(Buffer.data(), static_cast<int64_t>(Buffer.size()));
        if (Got < 0) throw ToolError(Run.Args[2] + ": cannot read: " + platform::LastErrorText());
      }
      if (Got <= 0) break;
      const int32_t Written = Container->FileWrite(Target.Handle(), Buffer.data(), static_cast<int32_t>(Got));
      if (Written != Got) {
        throw ToolError("cannot store " + Quoted(Name) + " at offset " + std::to_string(Done + std::max(Written, 0)) +
                        ": " + ErrorText(Container->LastError()));
      }
      Done += Got;
      if (FromStdin && Run.Context.In.eof()) break;
    }
    Target.Close();
    Step(TPutStep::FlushNew);
    Flush();
  });
  if (!Failure.empty()) {
    const bool NewLeft = Container->FileExists(NewName) && !Delete(NewName).empty();
    if (!NewLeft) Unmake();
    throw ToolError(Failure + (Replacing ? "; " + Quoted(Name) + " is unchanged" : std::string("; nothing was stored")) +
                    (NewLeft ? "; the new data is left as " + Quoted(NewName) : std::string()));
  }

  TSwapOps Ops;
  Ops.Rename = [&Container](const std::string& From, const std::string& To) {
    return Attempt([&] {
      if (!Container->RenameFile(From, To)) throw ToolError(Refusal(*Container, From));
    });
  };
  Ops.Delete = Delete;
  Ops.BeforeStep = Step;
  const TSwapResult Swap = SwapIn(Ops, Replacing, Name, NewName, OldName);
  if (Swap.End != TSwapEnd::Replaced) {
    if (!Replacing && !Swap.NewLeft) Unmake();
    throw ToolError(SwapFailure(Swap, Replacing, Quoted(Name), Quoted(NewName), Quoted(OldName)));
  }
  if (const std::string Reason = Attempt([&] {
        Step(TPutStep::FlushDone);
        Flush();
      });
      !Reason.empty()) {
    throw ToolError(Quoted(Name) + " now holds the new data, but " + Reason);
  }
  return 0;
}

namespace {

// Writes the stored file to Target (a host file open for writing) chunk by chunk; a tool error
// names Dest when a write fails.
void CopyOut(TContainerFileSystem& Container, int32_t Handle, int64_t Size, const std::string& Name,
             platform::IFile& Target, const std::string& Dest) {
  ReadStoredFile(Container, Handle, Size, Name, [&](const uint8_t* Data, size_t Count) {
    if (Target.Write(Data, static_cast<int64_t>(Count)) != static_cast<int64_t>(Count)) {
      throw ToolError(Dest + ": cannot write: " + platform::LastErrorText());
    }
  });
}

// A host file written in sequence, by this handle alone.
platform::FileOpenOptions WritingAlone(platform::FileCreation How) {
  return {.access = platform::FileAccess::ReadWrite,
          .share = platform::FileShare::None,
          .creation = How,
          .randomAccess = false};
}

// Dest + Suffix, with a number added until no host file or folder has that name.
std::string FreshHostName(platform::IFileSystem& Fs, const std::string& Dest, std::string_view Suffix) {
  for (int N = 0;; ++N) {
    std::string Candidate = Dest + std::string(Suffix) + (N == 0 ? std::string() : std::to_string(N));
    if (!Fs.FileExists(Candidate) && !Fs.DirectoryExists(Candidate)) return Candidate;
  }
}

// Creates the host file Path (which must not exist), writes the stored file into it and flushes
// it; on failure removes it again and raises the tool error.
void WriteNewHostFile(TContainerFileSystem& Container, int32_t Handle, int64_t Size, const std::string& Name,
                      const std::string& Path) {
  platform::IFileSystem& Fs = platform::FileSystem();
  std::unique_ptr<platform::IFile> Target = Fs.Open(Path, WritingAlone(platform::FileCreation::CreateNew));
  if (!Target) throw ToolError(Path + ": cannot create: " + platform::LastErrorText());
  try {
    CopyOut(Container, Handle, Size, Name, *Target, Path);
    if (!Target->Flush()) throw ToolError(Path + ": cannot write: " + platform::LastErrorText());
  } catch (...) {
    Target.reset();
    (void)Fs.DeleteFile(Path);
    throw;
  }
}

}  // namespace

int CmdGet(TCommandRun& Run) {
  const std::string& Name = Run.Args[1];
  CheckName(Name, NameUse::Lookup);
  const bool ToStdout = Run.Args.size() < 3 || Run.Args[2] == "-";
  auto Container = OpenContainer(Run, Access::Read);
  const int32_t ItemID = FindItem(*Container, Name);
  if (IsDirectoryItem(*Container, ItemID)) throw ToolError(Quoted(Name) + " is a folder");
  const int64_t Size = Container->Directory().ReadItem(ItemID).Size;
  TOpenFile Source(*Container, Container->FileOpen(Name, kModeRead));
  if (Source.Handle() < 0) throw ToolError("cannot open " + Quoted(Name));

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
  if (!Fs.FileExists(Dest)) {
    WriteNewHostFile(*Container, Source.Handle(), Size, Name, Dest);
    return 0;
  }
  {
    // No sharing: the container itself (open for reading) can never be the destination.
    std::unique_ptr<platform::IFile> Existing = Fs.Open(Dest, WritingAlone(platform::FileCreation::OpenExisting));
    if (!Existing) throw ToolError(Dest + ": cannot open: " + platform::LastErrorText());
    if (!Existing->IsRegular()) {
      // A device or pipe is simply written, after the data is verified (it cannot take it back).
      ReadStoredFile(*Container, Source.Handle(), Size, Name, {});
      CopyOut(*Container, Source.Handle(), Size, Name, *Existing, Dest);
      if (!Existing->Flush()) throw ToolError(Dest + ": cannot write: " + platform::LastErrorText());
      return 0;
    }
  }
  // An existing file is replaced only by a complete new one.
  const std::string NewPath = FreshHostName(Fs, Dest, kNewSuffix);
  const std::string OldPath = FreshHostName(Fs, Dest, kOldSuffix);
  try {
    WriteNewHostFile(*Container, Source.Handle(), Size, Name, NewPath);
  } catch (const ToolError& E) {
    throw ToolError(std::string(E.what()) + "; " + Dest + " is unchanged");
  }
  TSwapOps Ops;
  Ops.Rename = [&Fs](const std::string& From, const std::string& To) {
    return Fs.RenameFile(From, To) ? std::string() : platform::LastErrorText();
  };
  Ops.Delete = [&Fs](const std::string& Path) { return Fs.DeleteFile(Path) ? std::string() : platform::LastErrorText(); };
  const TSwapResult Swap = SwapIn(Ops, true, Dest, NewPath, OldPath);
  if (Swap.End != TSwapEnd::Replaced) throw ToolError(SwapFailure(Swap, true, Dest, NewPath, OldPath));
  return 0;
}

int CmdRm(TCommandRun& Run) {
  const std::string& Name = Run.Args[1];
  CheckName(Name, NameUse::Lookup);
  auto Container = OpenContainer(Run, Access::Write);
  const int32_t ItemID = FindItem(*Container, Name);
  if (ItemID == kRootDirectoryID) throw ToolError("the root folder cannot be removed");
  if (Container->Directory().ReadItem(ItemID).IsDirectory && !Container->Directory().Items().Children(ItemID).empty()) {
    throw ToolError(Quoted(Name) + ": folder not empty");
  }
  if (!Container->DeleteFile(Name)) {
    const int32_t Code = Container->LastError();
    throw ToolError("cannot remove " + Quoted(Name) + (Code != ceOk ? ": " + ErrorText(Code) : std::string()));
  }
  return 0;
}

int CmdMv(TCommandRun& Run) {
  const std::string& Old = Run.Args[1];
  std::string New = Run.Args[2];
  CheckName(Old, NameUse::Lookup);
  CheckName(New, IsRoot(New) ? NameUse::Lookup : NameUse::New);  // the root: move into it
  auto Container = OpenContainer(Run, Access::Write);
  const int32_t ItemID = FindItem(*Container, Old);
  if (ItemID == kRootDirectoryID) throw ToolError("the root folder cannot be moved");
  const int32_t Into = Container->Directory().FindFile(New);
  if (Into >= kRootDirectoryID && Into != ItemID && IsDirectoryItem(*Container, Into)) {
    // Into an existing folder, under the item's own name.
    if (!IsRoot(New) && IsSeparator(New.back())) New.pop_back();
    New = (IsRoot(New) ? std::string() : New) + "\\" + Container->Directory().ReadItem(ItemID).FileName;
  }
  const int32_t Target = Container->Directory().FindFile(New);
  if (Target >= 0 && Target != ItemID) throw ToolError(Quoted(New) + " already exists");
  if (!Container->RenameFile(Old, New)) {
    const int32_t Code = Container->LastError();
    throw ToolError("cannot move " + Quoted(Old) + " to " + Quoted(New) +
                    (Code != ceOk ? ": " + ErrorText(Code) : std::string()));
  }
  return 0;
}

int CmdMkdir(TCommandRun& Run) {
  const std::string& Dir = Run.Args[1];
  CheckName(Dir, NameUse::New);
  auto Container = OpenContainer(Run, Access::Write);
  if (Container->Directory().FindFile(Dir) >= 0) throw ToolError(Quoted(Dir) + " already exists");
  ForceFolder(*Container, Dir);
  return 0;
}

int CmdCheck(TCommandRun& Run) {
  std::vector<std::string> Problems;
  std::vector<std::string> Notes;
  // A journal that needs a rollback keeps the read-only open from the container (the open says
  // so); one that never took effect is only worth a note.
  TJournalContent Journal;
  const std::string JournalLine = JournalState(Run.Args[0]);
  if (!JournalLine.empty()) {
    if (TCFSJournal::Load(TCFSJournal::PathFor(Run.Args[0]), Journal) && Journal.State == TJournalContent::jsUnusable)
      Notes.push_back("note: " + JournalLine);
    else
      Problems.push_back(JournalLine);
  }
  std::unique_ptr<TContainerFileSystem> Container;
  try {
    Container = OpenContainer(Run, Access::Read);
  } catch (const Exception& E) {
    // A header, bitmap or directory page that cannot be read stops the open: that is a finding.
    Problems.push_back(ShownHost(E.Message()));
  }
  std::vector<int32_t> Leaked;
  if (Container) {
    TContainerChecker Checker(*Container);
    try {
      for (const std::string& Problem : Checker.Check()) Problems.push_back(Shown(Problem));
      Leaked = Checker.LeakedPages();
    } catch (const Exception& E) {
      Problems.push_back(Shown(E.Message()));
    }
    const TDIRArray& Items = Container->Directory().Items();
    for (int32_t ItemID = 0; ItemID < Items.ItemCount(); ++ItemID) {
      const TDirItem& Item = Items.ReadItem(ItemID);
      if (Item.Deleted || Item.IsDirectory) continue;
      for (const auto& [Suffix, What] : {std::pair{kNewSuffix, "new data for"}, std::pair{kOldSuffix, "the old data of"}}) {
        if (!Item.FileName.ends_with(Suffix)) continue;
        std::string Path;
        try {
          Path = Container->Directory().ItemPath(ItemID);
        } catch (const Exception&) {
          continue;  // a damaged directory; the checker tells about it
        }
        Notes.push_back("note: " + Quoted(Path) + " holds " + What + " " + Quoted(Path.substr(0, Path.size() - Suffix.size())) +
                        " from a put that did not finish");
      }
    }
  }
  std::ostream& Out = Run.Result;
  for (const std::string& Problem : Problems) Out << Problem << '\n';
  if (!Problems.empty()) {
    Out << Counted(static_cast<int64_t>(Problems.size()), "problem") << " found\n";
    for (const std::string& Note : Notes) Out << Note << '\n';
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
  for (const std::string& Note : Notes) Out << Note << '\n';
  return 0;
}

int CmdCompact(TCommandRun& Run) {
  auto Container = OpenContainer(Run, Access::Write);
  const int64_t Before = Container->GetSize();
  TProgressBar Bar(Run.Context.Err, "compacting");
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
  // The log names items: engine text.
  std::vector<std::string> Lines;
  for (const std::string& Line : LogLines(Log)) Lines.push_back(Shown(Line));
  if (!Done) {
    std::string Reason;
    for (const std::string& Line : Lines) Reason += (Reason.empty() ? "" : "; ") + Line;
    if (Reason.empty()) Reason = ErrorText(Container->LastError());
    // The log says where the original is (restored, or kept under another name).
    throw ToolError(Run.Args[0] + ": compaction failed: " + Reason);
  }
  for (const std::string& Line : Lines) Run.Result << Line << '\n';
  const int64_t After = Container->GetSize();
  Run.Result << "Size before: " << Before << " bytes\n"
             << "Size after:  " << After << " bytes\n";
  return 0;
}

}  // namespace tesvar::edb

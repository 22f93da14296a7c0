#pragma once
// A plain-file-system file kept as an ordinary disk file (directory and temporary store modes).

#include "pfs/TAbstractFile.h"

#include <memory>

namespace tesvar::pfs {

class TDiskFile : public TAbstractFile {
public:
  // Directory is the folder prefix copied from the owning file system: empty or ending with a
  // path delimiter. The file stays closed until Open.
  TDiskFile(TAbstractPlainFileSystem* FileSystem, std::string Directory, std::string FileName,
            bool Exclusive, bool ReadOnly);
  ~TDiskFile() override;

  // Seeks to Value and cuts or extends the file there (the position is then Value). Raises the
  // system's error on failure.
  void SetSize(int64_t Value) override;
  void Close() override;
  void Flush() override;
  // Opens with read or read-write access by ReadOnly, no sharing or full sharing by Exclusive,
  // delete-on-close when Temporary, and the random-access hint. An already open handle is closed
  // first.
  // Failures: Create raises "Cannot create file "<path>"". Not creating: a file that cannot be
  // opened for writing is opened read-only and ReadOnly becomes true; when that fails too (or
  // ReadOnly was already true) ReadOnly keeps its former value and "Cannot open file "<path>""
  // is raised.
  void Open(bool Create) override;
  int64_t Read(void* Buffer, int64_t Count) override;
  // The system's page: the host reads whole ones.
  int64_t ReadGranule() const override { return 4096; }
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  // Count 0 cuts the file at the position and returns 0 (raising the system's error when that
  // fails). A negative Count writes nothing.
  int64_t Write(const void* Buffer, int64_t Count) override;

  // Directory + FileName: the host path of the file.
  std::string FullPath() const { return FDirectory + FFileName; }
  bool IsOpen() const { return FHandle != nullptr; }

protected:
  // An open file reopens with a changed Exclusive or ReadOnly, except a delete-on-close handle
  // (only the flag is stored): closing it would remove the file with its data.
  bool ReopensForFlags() override;

private:
  bool tryOpen(bool Create);

  std::string FDirectory;
  std::unique_ptr<platform::IFile> FHandle;  // null = closed
  bool FHandleDeletesOnClose = false;
};

}  // namespace tesvar::pfs

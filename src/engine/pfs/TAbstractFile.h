#pragma once
// A file of a plain file system: the seekable file object through which table storage reads and
// writes its data, index and BLOB files whatever the store mode.
//
// Positions, sizes and counts are 64-bit: a table file inside a container of several host parts
// may grow past 2 GB, and the same object serves every store mode.
//
// A file is created and owned by its plain file system (TAbstractPlainFileSystem), which keeps it
// in its open-file list and destroys it; the file keeps a non-owning reference to that owner.

#include "platform/IFileSystem.h"

#include <cstdint>
#include <string>

namespace tesvar::pfs {

class TAbstractPlainFileSystem;

// Seek origins: 0 from the beginning, 1 from the current position, 2 from the end.
using TSeekOrigin = platform::SeekOrigin;

class TAbstractFile {
public:
  // The bytes moved per step by CopyFrom.
  static constexpr int64_t kCopyBufferSize = 61440;

  TAbstractFile(TAbstractPlainFileSystem* FileSystem, std::string FileName, bool Exclusive,
                bool ReadOnly);
  virtual ~TAbstractFile();
  TAbstractFile(const TAbstractFile&) = delete;
  TAbstractFile& operator=(const TAbstractFile&) = delete;

  // Open without sharing. A changed value reopens the file when ReopensForFlags() says so;
  // otherwise it only takes effect at the next Open.
  void SetExclusive(bool Value);
  // Seek(Value, begin).
  virtual void SetPosition(int64_t Value);
  // Seek(0, current): the position, or -1 when the file is closed.
  virtual int64_t GetPosition();
  // Open for reading only; a changed value reopens the file like SetExclusive.
  void SetReadOnly(bool Value);
  // Cuts or extends the file to Value bytes. Raises on failure.
  virtual void SetSize(int64_t Value) = 0;
  // The size found by seeking to the end and back; -1 when the file is closed.
  virtual int64_t GetSize();
  // Remove the file when it is closed; takes effect at the next Open of a disk file.
  virtual void SetTemporary(bool Value);
  // Flushes and releases the handle or stream; closing a closed file does nothing. When the flush
  // fails the handle is released all the same (the file is closed) and then the flush's error is
  // raised.
  virtual void Close() = 0;
  // Writes buffered data through to the device. Raises when the data did not get there (a disk
  // file: the system's error; a container file: TCFSFile's message); never reports a failed flush
  // as done.
  virtual void Flush() = 0;
  // Create = true creates the file (truncating an existing one); false opens an existing file.
  // Raises when the file cannot be opened.
  virtual void Open(bool Create) = 0;
  // Reads up to Count bytes at the position; returns the bytes read (0 at the end, -1 on a
  // failure or a closed file).
  virtual int64_t Read(void* Buffer, int64_t Count) = 0;
  // The span reads are best made in: a read of whole granules (from a multiple of it) costs no
  // more than a shorter read in them, and a read that cuts one may cost more. 1 when any read is
  // as good.
  virtual int64_t ReadGranule() const { return 1; }
  // Moves the position; returns the new one, or -1 (position unchanged) on failure.
  virtual int64_t Seek(int64_t Offset, TSeekOrigin Origin) = 0;
  // Writes Count bytes at the position; returns the bytes written (-1 on a failure or a closed
  // file).
  virtual int64_t Write(const void* Buffer, int64_t Count) = 0;

  // Reads exactly Count bytes; raises "TAbstractFile.ReadBuffer - Stream read error" on a short
  // or failed read. Count 0 does nothing.
  void ReadBuffer(void* Buffer, int64_t Count);
  // Writes exactly Count bytes; raises "TAbstractFile.WriteBuffer - Stream write error" on a
  // short or failed write. Count 0 does nothing (in particular it does not cut a disk file).
  void WriteBuffer(const void* Buffer, int64_t Count);
  // Copies Count bytes from Source's position to this file's position in steps of at most
  // kCopyBufferSize bytes. Count 0 copies the whole of Source: Source is rewound and Count becomes
  // its size. Returns Count. Raises the ReadBuffer / WriteBuffer errors on short transfers and
  // "TAbstractFile.CopyFrom - Invalid count." for a negative Count.
  int64_t CopyFrom(TAbstractFile& Source, int64_t Count);
  // Close and open again (not creating), keeping the position.
  void Reopen();

  const std::string& FileName() const { return FFileName; }
  // Gives the object another name; the stored file is not touched (plain file systems use it
  // when they rename a file they keep in memory).
  void SetFileName(std::string Value) { FFileName = std::move(Value); }
  bool Exclusive() const { return FExclusive; }
  bool ReadOnly() const { return FReadOnly; }
  bool Temporary() const { return FTemporary; }
  int64_t Position() { return GetPosition(); }
  int64_t Size() { return GetSize(); }
  // The owner, or null for a file made outside a plain file system.
  TAbstractPlainFileSystem* FileSystem() const { return FFileSystem; }

protected:
  // Whether a changed Exclusive or ReadOnly reopens the file now: never in the base (memory
  // files only store the flags).
  virtual bool ReopensForFlags() { return false; }

  std::string FFileName;
  bool FExclusive;
  bool FReadOnly;
  bool FTemporary = false;
  TAbstractPlainFileSystem* FFileSystem;
};

}  // namespace tesvar::pfs

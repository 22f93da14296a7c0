#pragma once
// The write-behind log of a table: record images for T.dat and BLOB data for T.bdf, kept in
// memory in the order they were logged and written to the files in batches.

#include "pfs/TAbstractFile.h"

#include <cstdint>
#include <memory>
#include <unordered_map>
#include <vector>

namespace tesvar::storage {

using pfs::TAbstractFile;

// A run of BLOB blocks: FirstBlock and BlockCount blocks of the table's block size.
struct TBLOBPart {
  int32_t FirstBlock = 0;
  int32_t BlockCount = 0;
  bool operator==(const TBLOBPart&) const = default;
};
using TedBLOBPartsArray = std::vector<TBLOBPart>;

// The data of the log's entries, which it owns. Copied data lies in one arena in the order it was
// added, so that the images of consecutive records are also consecutive in memory; buffers handed
// over are kept as they are.
class TedBuffersArray {
public:
  // Copies Size bytes; returns the buffer's index.
  int32_t Add(const void* Buffer, int32_t Size);
  // Takes Buffer over; returns its index.
  int32_t Adopt(std::unique_ptr<uint8_t[]> Buffer, int32_t Size);
  const uint8_t* Data(int32_t Index) const;
  int32_t Size(int32_t Index) const { return FItems[static_cast<size_t>(Index)].Size; }
  int32_t Count() const { return static_cast<int32_t>(FItems.size()); }
  // Bytes held by the buffers not yet released.
  int64_t TotalSize() const { return FTotalSize; }
  // Forgets the first Count buffers (their bytes no longer count).
  void ReleaseFront(int32_t Count);
  // Releases everything. The arena's memory is kept for reuse up to a bound.
  void Clear();

private:
  struct Item {
    int64_t Offset;  // into the arena; -1 for an adopted buffer
    int32_t Size;
    std::unique_ptr<uint8_t[]> Owned;
  };
  std::vector<Item> FItems;
  size_t FFirst = 0;  // items before it are released
  std::vector<uint8_t> FArena;
  size_t FArenaUsed = 0;
  int64_t FTotalSize = 0;
};

class TedBufferLogArray {
public:
  static constexpr int32_t kMaxEntries = 10000;
  static constexpr uint32_t kMaxAgeMs = 1000;
  // Entry kinds.
  static constexpr uint8_t kRecordEntry = 0;
  static constexpr uint8_t kBLOBEntry = 1;

  // DataFile: T.dat with records from DataStart. BLOBFile: T.bdf (null: no BLOB fields).
  // MaxBytes is a tenth of the available physical memory now.
  TedBufferLogArray(TAbstractFile* DataFile, int64_t DataStart, TAbstractFile* BLOBFile, int32_t BLOBBlockSize);

  // Points the log at newly opened files.
  void SetFiles(TAbstractFile* DataFile, TAbstractFile* BLOBFile);

  // Kind 0: a copy of Size bytes of Buffer is logged as the image of record RecNo. Kind 1: Buffer
  // (which the log takes over and frees; Size bytes) goes to the first PartCount parts of Parts.
  void LogWrite(uint8_t Kind, std::unique_ptr<uint8_t[]> Buffer, int32_t PartCount, const TBLOBPart* Parts,
                int32_t RecNo, int32_t Size);
  // Logs a copy of a record image.
  void LogRecord(int32_t RecNo, const uint8_t* Buffer, int32_t Size);
  // The newest logged image of RecNo, or null.
  const uint8_t* FindLoggedRecord(int32_t RecNo) const;
  // When the byte, entry or age limit is reached, flushes and returns true; false otherwise (and
  // for an empty log).
  bool IsFlushDue();
  // Writes the entries in logged order (adjacent record images of consecutive records in one
  // write) and releases them. A failed write raises "TedBufferLogArray.FlushBuffers - error
  // writing data to table file, xx = <written>, bc = <expected>" or "... to blob file ..."; the
  // entries from the failed one on stay in the log, those before it are released.
  void FlushBuffers();

  int32_t Count() const { return static_cast<int32_t>(FEntries.size() - FFirst); }
  // Entries of BLOB data not yet written.
  int32_t BLOBCount() const { return FBLOBCount; }
  int64_t LoggedBytes() const { return FBuffers.TotalSize(); }
  int64_t MaxBytes() const { return FMaxBytes; }
  int32_t MaxEntries() const { return FMaxEntries; }
  void SetMaxEntries(int32_t Value) { FMaxEntries = Value; }

private:
  struct Entry {
    uint32_t Time;
    int32_t RecNo;
    uint8_t Kind;
    int32_t Buffer;
    TedBLOBPartsArray Parts;
  };
  void Release(size_t Upto);
  void WriteRun(size_t First, size_t Last);
  void WriteBLOB(const Entry& E);

  TAbstractFile* FDataFile;
  int64_t FDataStart;
  TAbstractFile* FBLOBFile;
  int32_t FBLOBBlockSize;
  std::vector<Entry> FEntries;
  size_t FFirst = 0;  // entries before it were written
  TedBuffersArray FBuffers;
  std::unordered_map<int32_t, int32_t> FNewest;  // RecNo -> its newest record entry
  int32_t FBLOBCount = 0;
  int32_t FMaxEntries = kMaxEntries;
  int64_t FMaxBytes;
};

}  // namespace tesvar::storage

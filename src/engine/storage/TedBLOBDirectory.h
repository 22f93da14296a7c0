#pragma once
// The BLOB directory of a table in memory: one header per record and BLOB field (grouped per
// record, the groups found through the BLOB map), the parts every header's value occupies, the
// free list of T.bdf and its block count. It does no I/O: the table manager reads and writes the
// directory block (BLOBFormat.h) and the blocks.
//
// Blocks freed since the directory was last saved wait in a pending list: the saved directory may
// still assign them to the value they held, so writing another value into them before a
// directory without them is durable could leave that value unreadable after a failure. They
// join the free list when a directory listing them as free was written and the files were then
// committed (DirectoryWritten, DirectoryCommitted); until then allocation takes other free
// blocks or appends blocks to T.bdf.
//
// Costs do not grow with the number of values: a header is 32 bytes, a value's parts lie in one
// shared pool, allocation and freeing work at the end of the free and pending lists, and headers
// and parts left behind by deleted records and replaced values are dropped when the block is
// laid out (Serialize), which visits every header anyway.

#include "storage/BLOBFormat.h"
#include "storage/TedBufferLogArray.h"
#include "storage/Prefetch.h"
#include "storage/TedIntArray.h"

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace tesvar::storage {

struct TBLOBHeader {
  int32_t PartCount = 0;
  int32_t PartsAt = 0;  // index of the first part in the directory's pool
  int32_t StoredSize = 0;
  int32_t Size = 0;
  uint8_t Crc[blobformat::kCrcBytes] = {};  // ShortString[12]

  bool HasValue() const { return PartCount > 0; }
  std::string CrcText() const;
};

class TedBLOBDirectory {
public:
  TedBLOBDirectory() : FMap(1000, 1000, 10000) {}

  // An empty directory: no records, no free parts, no blocks.
  void Reset(int32_t BlockSize, int32_t FieldCount, double Version);
  // Reads a directory block. Raises "TEdbDataManager.LoadBLOBHeaders - the BLOB directory is
  // damaged: <detail>." when its counts, offsets or parts do not fit the block, or when it has
  // another number of BLOB fields than ExpectedFieldCount. TotalBlocks becomes the larger of
  // FileBlocks and the end of the last block a part names.
  void Parse(const uint8_t* Block, size_t Length, int32_t ExpectedFieldCount, int64_t FileBytes);
  // Lays the directory block out, the groups in map order, a header without parts (or with a
  // stored size of 0 or less) written cleared, the free list followed by the pending parts as its
  // free parts; without records the block is the file header alone, with no free parts (T.bdf
  // goes when that directory is committed). When what deleted records and replaced values left
  // behind has grown to half the live headers or parts, it is dropped first and the map becomes
  // 0, FieldCount, 2 x FieldCount, ... as after loading the block. Forgets an earlier
  // DirectoryWritten: until the block is known to be written, none of the pending parts is
  // released. The block is the directory's own, valid until the next Serialize; its memory is
  // kept, so that saving a large directory again and again does not take fresh memory each time.
  const std::vector<uint8_t>& Serialize();
  // The block the last Serialize made is in T.bif: the parts pending now are free in it.
  void DirectoryWritten();
  // The table's files were committed: the parts a written directory lists as free join the end
  // of the free list, in the order they were freed. Returns true when that directory had no
  // records and the directory still has none; it is then empty (no blocks) and T.bdf is to be
  // cut to length 0.
  [[nodiscard]] bool DirectoryCommitted();

  int32_t BlockSize() const { return FBlockSize; }
  int32_t FieldCount() const { return FFieldCount; }
  double Version() const { return FVersion; }
  void SetVersion(double Value) { FVersion = Value; }
  // The BLOB RecordCount of the file header and the map's entry count (equal unless a caller
  // broke the contract; edAddBLOBRecord checks it).
  int32_t RecordCount() const { return FRecordCount; }
  int32_t MapCount() const { return FMap.Count(); }
  int32_t TotalBlocks() const { return FTotalBlocks; }
  // The free parts allocation takes, and the parts freed but not yet released.
  const TedBLOBPartsArray& FreeParts() const { return FFree; }
  const TedBLOBPartsArray& PendingParts() const { return FPending; }

  // Header of BLOB field K (0-based among the BLOB fields) of record RecNo; both in range.
  TBLOBHeader& Header(int32_t RecNo, int32_t K) { return FHeaders[static_cast<size_t>(FMap[RecNo] + K)]; }
  const TBLOBHeader& Header(int32_t RecNo, int32_t K) const { return FHeaders[static_cast<size_t>(FMap[RecNo] + K)]; }
  const TBLOBPart* Parts(const TBLOBHeader& H) const { return FPool.data() + H.PartsAt; }
  // Hints to the processor that record RecNo's map entry, or its group of headers (read through
  // the map entry, so asked for some reads after the entry), is read soon. Change nothing; any
  // RecNo may be given.
  void PrefetchMapEntry(int32_t RecNo) const {
    if (RecNo >= 0 && RecNo < FMap.Count()) PrefetchLine(FMap.Data() + RecNo);
  }
  void PrefetchHeaders(int32_t RecNo) const {
    if (RecNo < 0 || RecNo >= FMap.Count()) return;
    const auto first = static_cast<size_t>(FMap[RecNo]);
    if (first >= FHeaders.size()) return;
    const auto last = std::min(first + static_cast<size_t>(std::max(FFieldCount, 1)), FHeaders.size()) - 1;
    PrefetchLine(&FHeaders[first]);
    PrefetchLine(&FHeaders[last]);
  }
  // The same for the parts of record RecNo's values (read through its headers, so asked for
  // some reads after PrefetchHeaders).
  void PrefetchParts(int32_t RecNo) const {
    if (RecNo < 0 || RecNo >= FMap.Count()) return;
    const auto first = static_cast<size_t>(FMap[RecNo]);
    for (size_t i = first; i < first + static_cast<size_t>(FFieldCount) && i < FHeaders.size(); ++i) {
      const TBLOBHeader& h = FHeaders[i];
      if (h.HasValue() && h.PartsAt >= 0 && static_cast<size_t>(h.PartsAt) < FPool.size())
        PrefetchLine(FPool.data() + h.PartsAt);
    }
  }

  // Appends a group of cleared headers for a new record.
  void AddRecord();
  // Frees the values of record RecNo, moves the last record's group entry into RecNo and drops
  // the last entry.
  void DeleteRecord(int32_t RecNo);
  // Appends the header's parts to the end of the pending list and clears it.
  void FreeValue(TBLOBHeader& H);
  // Gives H the parts of Blocks blocks (Blocks > 0; H has no parts): free parts from the end of
  // the free list backwards, the last one taken split when larger than needed, then, when the
  // list runs out, one part appended at TotalBlocks. Pending parts are never taken.
  void Allocate(TBLOBHeader& H, int32_t Blocks);

private:
  void Clear();
  // Drops what deleted records and replaced values left behind: headers and parts in map order.
  void Compact();

  int32_t FBlockSize = blobformat::kDefaultBlockSize;
  int32_t FFieldCount = 0;
  double FVersion = 0;
  int32_t FRecordCount = 0;
  int32_t FTotalBlocks = 0;
  std::vector<TBLOBHeader> FHeaders;
  TedIntArray FMap;
  TedBLOBPartsArray FPool;
  TedBLOBPartsArray FFree;
  TedBLOBPartsArray FPending;
  std::vector<uint8_t> FBlock;  // Serialize's block
  // Of the pending parts, how many from the front a written directory lists as free, and whether
  // that directory had no records.
  size_t FWrittenPending = 0;
  bool FWrittenEmpty = false;
};

}  // namespace tesvar::storage

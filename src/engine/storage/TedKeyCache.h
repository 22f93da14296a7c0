#pragma once
// The key values of a table's records as its indexes compare them: for every field that an index
// uses (and the record ID), one column holding each record's value in compact form, filled from
// the page pool the first time a record is compared and kept in step by the manager's insert,
// update and delete. Index maintenance compares cached values instead of fetching and decoding
// records through the pool, which at a million records would mean reading them from the file.
//
// Slots are physical record numbers 0 .. Count - 1, plus kProbe: the values of a record being
// placed (an updated record's new contents while its old ones still stand under its number).

#include "storage/Prefetch.h"
#include "toolkit/FieldType.h"

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace tesvar::storage {

// The record layout key values are taken from: field types, offsets and sizes, the ID and
// null-flag offsets.
struct TKeyLayout {
  std::vector<toolkit::TFieldType> Types;
  std::vector<int32_t> Offsets;
  std::vector<int32_t> Sizes;
  int32_t IdOffset = 0;    // DataSize
  int32_t NullOffset = 0;  // DataSize + 4
};

// Where the cache finds the records it has not cached yet.
class IRecordSource {
public:
  virtual ~IRecordSource() = default;
  // The record's bytes (valid until the next call).
  virtual const uint8_t* IndexRecord(int32_t RecNo) = 0;
};

// One key value: the field's bytes (a text without its terminating zero and what follows it; a
// wide text in bytes), or NULL. Head holds the first HeadLength bytes of the same value where
// they are cheaper to reach than Data (HeadLength == Length: Head is the whole value); a
// comparison that the heads decide never touches Data.
struct TKeyValue {
  const uint8_t* Data = nullptr;
  uint32_t Length = 0;
  bool Null = true;
  const uint8_t* Head = nullptr;
  uint32_t HeadLength = 0;
};

// The value of field FieldNo (-1: the record ID) in a record laid out by Layout.
TKeyValue RecordKeyValue(const TKeyLayout& Layout, int32_t FieldNo, const uint8_t* Record);

class TedKeyCache {
public:
  static constexpr int32_t kProbe = -1;

  TedKeyCache(TKeyLayout Layout, IRecordSource& Source);
  ~TedKeyCache();
  TedKeyCache(const TedKeyCache&) = delete;
  TedKeyCache& operator=(const TedKeyCache&) = delete;

  const TKeyLayout& Layout() const { return FLayout; }
  // The column of field FieldNo (-1: the record ID), created empty on first use.
  int32_t ColumnOf(int32_t FieldNo);

  // The table's record count changed: slots from Count on are dropped, new ones are uncached.
  void SetCount(int32_t Count);
  int32_t Count() const { return FCount; }
  // The record's values (Slot < Count, or kProbe) from its bytes.
  void Put(int32_t Slot, const uint8_t* Record);
  // Record From (the last) takes number To, then the count drops by one; From == To just drops.
  void MoveLastTo(int32_t From, int32_t To);
  // Fills every slot not cached yet, reading the records in order.
  void FillAll();
  // Forgets every value (the records changed behind the cache).
  void Clear();

  // The value of column Column for Slot; an uncached record is read from the source first.
  // Valid until the next Put, MoveLastTo, SetCount or Clear.
  TKeyValue Value(int32_t Column, int32_t Slot) {
    const TColumn& c = *FColumns[static_cast<size_t>(Column)];
    if (Slot == kProbe) return c.Probe;
    if (!c.Cached(Slot)) Fill(Slot);
    return c.Get(Slot);
  }

  // The value of column Column for Slot when the cache holds it, reading no record: false for a
  // slot not cached yet (or not in the table). Valid as Value's.
  bool Peek(int32_t Column, int32_t Slot, TKeyValue& Value) const {
    const TColumn& c = *FColumns[static_cast<size_t>(Column)];
    if (Slot < 0 || !c.Cached(Slot)) return false;
    Value = c.Get(Slot);
    return true;
  }

  // A hint that the value of column Column for Slot is about to be asked for: its slot is
  // brought towards the processor. Changes nothing; slots not held are passed over.
  void Prefetch(int32_t Column, int32_t Slot) const {
    const TColumn& c = *FColumns[static_cast<size_t>(Column)];
    if (Slot < 0 || Slot >= c.Sized) return;
    if (c.Text)
      PrefetchLine(&c.Texts[static_cast<size_t>(Slot)]);
    else
      PrefetchLine(&c.Fixed[static_cast<size_t>(Slot) * static_cast<size_t>(c.Stride)]);
  }

  // Bytes held, for memory figures.
  size_t MemoryBytes() const;

private:
  // A text lives in a slot of its own: its length and its first kInlineText bytes; a longer one
  // also lives whole in a chunk of the column's arena (chunks never move; a reference is
  // chunk << kChunkBits | offset). Most key texts fit into the slot, so comparing them reads one
  // slot and nothing else.
  static constexpr uint32_t kInlineText = 18;
  static constexpr uint32_t kChunkBits = 20;
  static constexpr uint32_t kChunkSize = 1u << kChunkBits;
  static constexpr uint16_t kTextAbsent = 0xFFFF;
  static constexpr uint16_t kTextNull = 0xFFFE;
  struct TTextSlot {
    uint16_t Length = kTextAbsent;
    uint8_t Inline[kInlineText];
    uint32_t Ref;
  };
  // Fixed-size values: a state byte, then the field's bytes.
  static constexpr uint8_t kStateAbsent = 0;
  static constexpr uint8_t kStateValue = 1;
  static constexpr uint8_t kStateNull = 2;

  struct TColumn {
    int32_t FieldNo = 0;
    // Slots below Sized have storage; columns grow on first use so that opening a table
    // allocates nothing for them.
    int32_t Sized = 0;
    bool Text = false;   // ftString, ftWideString: text slots
    int32_t Stride = 0;  // fixed values: 1 + field size
    int32_t Size = 0;
    std::vector<TTextSlot> Texts;
    std::vector<std::unique_ptr<uint8_t[]>> Chunks;
    uint32_t ChunkUsed = kChunkSize;
    uint64_t LiveBytes = 0;  // in chunks
    uint64_t DeadBytes = 0;
    std::vector<uint8_t> Fixed;  // fixed values
    TKeyValue Probe;
    std::vector<uint8_t> ProbeBytes;

    bool Cached(int32_t Slot) const {
      if (Slot >= Sized) return false;
      return Text ? Texts[static_cast<size_t>(Slot)].Length != kTextAbsent
                  : Fixed[static_cast<size_t>(Slot) * static_cast<size_t>(Stride)] != kStateAbsent;
    }
    TKeyValue Get(int32_t Slot) const {
      if (Text) {
        const TTextSlot& t = Texts[static_cast<size_t>(Slot)];
        if (t.Length == kTextNull) return {};
        if (t.Length <= kInlineText) return {t.Inline, t.Length, false, t.Inline, t.Length};
        const uint8_t* p = Chunks[t.Ref >> kChunkBits].get() + (t.Ref & (kChunkSize - 1));
        return {p, t.Length, false, t.Inline, kInlineText};
      }
      const uint8_t* p = Fixed.data() + static_cast<size_t>(Slot) * static_cast<size_t>(Stride);
      if (p[0] == kStateNull) return {};
      return {p + 1, static_cast<uint32_t>(Size), false, p + 1, static_cast<uint32_t>(Size)};
    }
  };

  void Fill(int32_t Slot);
  // Storage for every slot below Count.
  void SizeColumn(TColumn& Column) const;
  void Store(TColumn& Column, int32_t Slot, const TKeyValue& Value);
  // Drops the value of Slot (its text becomes dead bytes).
  void Forget(TColumn& Column, int32_t Slot);
  void Truncate(TColumn& Column, int32_t Count);
  uint32_t AppendText(TColumn& Column, const uint8_t* Data, uint32_t Length);
  void CompactIfWasteful(TColumn& Column);

  TKeyLayout FLayout;
  IRecordSource& FSource;
  std::vector<std::unique_ptr<TColumn>> FColumns;
  int32_t FCount = 0;
};

}  // namespace tesvar::storage

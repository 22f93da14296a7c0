#include "storage/TedKeyCache.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cstring>

namespace tesvar::storage {

using namespace toolkit;

namespace {

// Chunk numbers fit into a text reference.
constexpr uint32_t kMaxChunks = 4096;
// Dead text bytes are reclaimed once they exceed both the live bytes and this.
constexpr uint64_t kCompactAbove = 8u << 20;

bool isText(TFieldType Type) { return Type == ftString || Type == ftWideString; }

}  // namespace

TKeyValue RecordKeyValue(const TKeyLayout& Layout, int32_t FieldNo, const uint8_t* Record) {
  if (FieldNo < 0) return {Record + Layout.IdOffset, 4, false, Record + Layout.IdOffset, 4};
  if (FieldNo >= static_cast<int32_t>(Layout.Types.size())) return {};
  if ((Record[Layout.NullOffset + FieldNo / 8] >> (FieldNo % 8)) & 1) return {};
  const uint8_t* p = Record + Layout.Offsets[static_cast<size_t>(FieldNo)];
  const auto size = static_cast<uint32_t>(Layout.Sizes[static_cast<size_t>(FieldNo)]);
  switch (Layout.Types[static_cast<size_t>(FieldNo)]) {
    case ftString: {
      const void* end = std::memchr(p, 0, size);
      const uint32_t length = end != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(end) - p) : size;
      return {p, length, false, p, length};
    }
    case ftWideString: {
      uint32_t length = 0;
      while (length + 1 < size && (p[length] != 0 || p[length + 1] != 0)) length += 2;
      return {p, length, false, p, length};
    }
    default: return {p, size, false, p, size};
  }
}

TedKeyCache::TedKeyCache(TKeyLayout Layout, IRecordSource& Source) : FLayout(std::move(Layout)), FSource(Source) {}

TedKeyCache::~TedKeyCache() = default;

int32_t TedKeyCache::ColumnOf(int32_t FieldNo) {
  for (size_t i = 0; i < FColumns.size(); ++i)
    if (FColumns[i]->FieldNo == FieldNo) return static_cast<int32_t>(i);
  auto column = std::make_unique<TColumn>();
  column->FieldNo = FieldNo;
  if (FieldNo < 0) {
    column->Size = 4;
  } else if (FieldNo < static_cast<int32_t>(FLayout.Types.size())) {
    column->Text = isText(FLayout.Types[static_cast<size_t>(FieldNo)]);
    column->Size = FLayout.Sizes[static_cast<size_t>(FieldNo)];
  }
  column->Stride = 1 + column->Size;
  FColumns.push_back(std::move(column));
  return static_cast<int32_t>(FColumns.size()) - 1;
}

void TedKeyCache::SizeColumn(TColumn& Column) const {
  if (Column.Sized >= FCount) return;
  if (Column.Text)
    Column.Texts.resize(static_cast<size_t>(FCount));
  else
    Column.Fixed.resize(static_cast<size_t>(FCount) * static_cast<size_t>(Column.Stride), kStateAbsent);
  Column.Sized = FCount;
}

void TedKeyCache::Forget(TColumn& Column, int32_t Slot) {
  if (Slot >= Column.Sized) return;
  if (Column.Text) {
    TTextSlot& t = Column.Texts[static_cast<size_t>(Slot)];
    if (t.Length != kTextAbsent && t.Length != kTextNull && t.Length > kInlineText) {
      Column.LiveBytes -= t.Length;
      Column.DeadBytes += t.Length;
    }
    t.Length = kTextAbsent;
  } else {
    Column.Fixed[static_cast<size_t>(Slot) * static_cast<size_t>(Column.Stride)] = kStateAbsent;
  }
}

void TedKeyCache::Truncate(TColumn& Column, int32_t Count) {
  if (Column.Sized <= Count) return;
  for (int32_t slot = Count; slot < Column.Sized; ++slot) Forget(Column, slot);
  if (Column.Text)
    Column.Texts.resize(static_cast<size_t>(Count));
  else
    Column.Fixed.resize(static_cast<size_t>(Count) * static_cast<size_t>(Column.Stride));
  Column.Sized = Count;
}

uint32_t TedKeyCache::AppendText(TColumn& Column, const uint8_t* Data, uint32_t Length) {
  if (Column.ChunkUsed + Length > kChunkSize) {
    if (Column.Chunks.size() >= kMaxChunks)
      throw Exception("TedKeyCache - the key values of field " + std::to_string(Column.FieldNo) +
                      " do not fit into the cache.");
    Column.Chunks.emplace_back(new uint8_t[kChunkSize]);
    Column.ChunkUsed = 0;
  }
  const auto chunk = static_cast<uint32_t>(Column.Chunks.size() - 1);
  std::memcpy(Column.Chunks.back().get() + Column.ChunkUsed, Data, Length);
  const uint32_t ref = (chunk << kChunkBits) | Column.ChunkUsed;
  Column.ChunkUsed += Length;
  Column.LiveBytes += Length;
  return ref;
}

void TedKeyCache::Store(TColumn& Column, int32_t Slot, const TKeyValue& Value) {
  Forget(Column, Slot);
  if (Column.Text) {
    TTextSlot& t = Column.Texts[static_cast<size_t>(Slot)];
    if (Value.Null) {
      t.Length = kTextNull;
      return;
    }
    t.Length = static_cast<uint16_t>(Value.Length);
    std::memcpy(t.Inline, Value.Data, std::min(Value.Length, kInlineText));
    if (Value.Length > kInlineText) t.Ref = AppendText(Column, Value.Data, Value.Length);
    return;
  }
  uint8_t* p = Column.Fixed.data() + static_cast<size_t>(Slot) * static_cast<size_t>(Column.Stride);
  if (Value.Null) {
    p[0] = kStateNull;
  } else {
    p[0] = kStateValue;
    std::memcpy(p + 1, Value.Data, static_cast<size_t>(Column.Size));
  }
}

void TedKeyCache::CompactIfWasteful(TColumn& Column) {
  if (!Column.Text || Column.DeadBytes <= kCompactAbove || Column.DeadBytes <= Column.LiveBytes) return;
  std::vector<std::unique_ptr<uint8_t[]>> old = std::move(Column.Chunks);
  Column.Chunks.clear();
  Column.ChunkUsed = kChunkSize;
  Column.LiveBytes = 0;
  Column.DeadBytes = 0;
  for (TTextSlot& t : Column.Texts) {
    if (t.Length == kTextAbsent || t.Length == kTextNull || t.Length <= kInlineText) continue;
    t.Ref = AppendText(Column, old[t.Ref >> kChunkBits].get() + (t.Ref & (kChunkSize - 1)), t.Length);
  }
}

void TedKeyCache::SetCount(int32_t Count) {
  FCount = Count;
  for (auto& column : FColumns) Truncate(*column, Count);
}

void TedKeyCache::Put(int32_t Slot, const uint8_t* Record) {
  for (auto& column : FColumns) {
    const TKeyValue value = RecordKeyValue(FLayout, column->FieldNo, Record);
    if (Slot == kProbe) {
      column->ProbeBytes.assign(value.Data, value.Data + value.Length);
      column->Probe = {column->ProbeBytes.data(), value.Length, value.Null, column->ProbeBytes.data(), value.Length};
      continue;
    }
    CompactIfWasteful(*column);
    SizeColumn(*column);
    Store(*column, Slot, value);
  }
}

void TedKeyCache::Fill(int32_t Slot) {
  if (Slot < 0 || Slot >= FCount)
    throw Exception("TedKeyCache - record " + std::to_string(Slot) + " is not in the table.");
  const uint8_t* record = FSource.IndexRecord(Slot);
  for (auto& column : FColumns) {
    SizeColumn(*column);
    if (!column->Cached(Slot)) Store(*column, Slot, RecordKeyValue(FLayout, column->FieldNo, record));
  }
}

void TedKeyCache::FillAll() {
  for (int32_t slot = 0; slot < FCount; ++slot) {
    bool cached = true;
    for (auto& column : FColumns) cached = cached && column->Cached(slot);
    if (!cached) Fill(slot);
  }
}

void TedKeyCache::MoveLastTo(int32_t From, int32_t To) {
  for (auto& column : FColumns) {
    TColumn& c = *column;
    if (To != From) {
      Forget(c, To);
      if (From < c.Sized && To < c.Sized) {
        if (c.Text) {
          c.Texts[static_cast<size_t>(To)] = c.Texts[static_cast<size_t>(From)];
          c.Texts[static_cast<size_t>(From)].Length = kTextAbsent;
        } else {
          const auto stride = static_cast<size_t>(c.Stride);
          std::memcpy(c.Fixed.data() + static_cast<size_t>(To) * stride, c.Fixed.data() + static_cast<size_t>(From) * stride,
                      stride);
        }
      }
    }
  }
  SetCount(From);
}

void TedKeyCache::Clear() {
  for (auto& column : FColumns) {
    TColumn& c = *column;
    c.Texts = {};
    c.Chunks.clear();
    c.Chunks.shrink_to_fit();
    c.ChunkUsed = kChunkSize;
    c.LiveBytes = c.DeadBytes = 0;
    c.Fixed = {};
    c.Sized = 0;
  }
}

size_t TedKeyCache::MemoryBytes() const {
  size_t bytes = 0;
  for (const auto& column : FColumns)
    bytes += column->Texts.capacity() * sizeof(TTextSlot) + column->Chunks.size() * kChunkSize + column->Fixed.capacity();
  return bytes;
}

}  // namespace tesvar::storage

#include "storage/TedKeyCache.h"

#include "platform/Exception.h"

#include <algorithm>
#include <cstring>

namespace tesvar::storage {

using namespace toolkit;

namespace {

// A text reference's chunk number stays below this, keeping clear of kAbsent and kNullRef.
constexpr uint32_t kMaxChunks = 4095;
// Dead text bytes are reclaimed once they exceed both the live bytes and this.
constexpr uint64_t kCompactAbove = 8u << 20;

bool isText(TFieldType Type) { return Type == ftString || Type == ftWideString; }

}  // namespace

TKeyValue RecordKeyValue(const TKeyLayout& Layout, int32_t FieldNo, const uint8_t* Record) {
  if (FieldNo < 0) return {Record + Layout.IdOffset, 4, false};
  if (FieldNo >= static_cast<int32_t>(Layout.Types.size())) return {};
  if ((Record[Layout.NullOffset + FieldNo / 8] >> (FieldNo % 8)) & 1) return {};
  const uint8_t* p = Record + Layout.Offsets[static_cast<size_t>(FieldNo)];
  const auto size = static_cast<uint32_t>(Layout.Sizes[static_cast<size_t>(FieldNo)]);
  switch (Layout.Types[static_cast<size_t>(FieldNo)]) {
    case ftString: {
      const void* end = std::memchr(p, 0, size);
      return {p, end != nullptr ? static_cast<uint32_t>(static_cast<const uint8_t*>(end) - p) : size, false};
    }
    case ftWideString: {
      uint32_t length = 0;
      while (length + 1 < size && (p[length] != 0 || p[length + 1] != 0)) length += 2;
      return {p, length, false};
    }
    default: return {p, size, false};
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
    Column.Refs.resize(static_cast<size_t>(FCount), kAbsent);
  else
    Column.Fixed.resize(static_cast<size_t>(FCount) * static_cast<size_t>(Column.Stride), kStateAbsent);
  Column.Sized = FCount;
}

void TedKeyCache::Forget(TColumn& Column, int32_t Slot) {
  if (Slot >= Column.Sized) return;
  if (Column.Text) {
    uint32_t& ref = Column.Refs[static_cast<size_t>(Slot)];
    if (ref != kAbsent && ref != kNullRef) {
      const uint8_t* p = Column.Chunks[ref >> kChunkBits].get() + (ref & (kChunkSize - 1));
      const uint64_t bytes = 2 + static_cast<uint64_t>(p[0] | (p[1] << 8));
      Column.LiveBytes -= bytes;
      Column.DeadBytes += bytes;
    }
    ref = kAbsent;
  } else {
    Column.Fixed[static_cast<size_t>(Slot) * static_cast<size_t>(Column.Stride)] = kStateAbsent;
  }
}

void TedKeyCache::Truncate(TColumn& Column, int32_t Count) {
  if (Column.Sized <= Count) return;
  for (int32_t slot = Count; slot < Column.Sized; ++slot) Forget(Column, slot);
  if (Column.Text)
    Column.Refs.resize(static_cast<size_t>(Count));
  else
    Column.Fixed.resize(static_cast<size_t>(Count) * static_cast<size_t>(Column.Stride));
  Column.Sized = Count;
}

uint32_t TedKeyCache::AppendText(TColumn& Column, const TKeyValue& Value) {
  const uint32_t need = 2 + Value.Length;
  if (Column.ChunkUsed + need > kChunkSize) {
    if (Column.Chunks.size() >= kMaxChunks)
      throw Exception("TedKeyCache - the key values of field " + std::to_string(Column.FieldNo) +
                      " do not fit into the cache.");
    Column.Chunks.emplace_back(new uint8_t[kChunkSize]);
    Column.ChunkUsed = 0;
  }
  const auto chunk = static_cast<uint32_t>(Column.Chunks.size() - 1);
  uint8_t* p = Column.Chunks.back().get() + Column.ChunkUsed;
  p[0] = static_cast<uint8_t>(Value.Length);
  p[1] = static_cast<uint8_t>(Value.Length >> 8);
  if (Value.Length > 0) std::memcpy(p + 2, Value.Data, Value.Length);
  const uint32_t ref = (chunk << kChunkBits) | Column.ChunkUsed;
  Column.ChunkUsed += need;
  Column.LiveBytes += need;
  return ref;
}

void TedKeyCache::Store(TColumn& Column, int32_t Slot, const TKeyValue& Value) {
  Forget(Column, Slot);
  if (Column.Text) {
    Column.Refs[static_cast<size_t>(Slot)] = Value.Null ? kNullRef : AppendText(Column, Value);
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
  for (uint32_t& ref : Column.Refs) {
    if (ref == kAbsent || ref == kNullRef) continue;
    const uint8_t* p = old[ref >> kChunkBits].get() + (ref & (kChunkSize - 1));
    ref = AppendText(Column, {p + 2, static_cast<uint32_t>(p[0] | (p[1] << 8)), false});
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
      column->Probe = {column->ProbeBytes.data(), value.Length, value.Null};
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
          c.Refs[static_cast<size_t>(To)] = c.Refs[static_cast<size_t>(From)];
          c.Refs[static_cast<size_t>(From)] = kAbsent;
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
    c.Refs = {};
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
    bytes += column->Refs.capacity() * sizeof(uint32_t) + column->Chunks.size() * kChunkSize + column->Fixed.capacity();
  return bytes;
}

}  // namespace tesvar::storage

#pragma once
// A stream over bytes in memory, owned by the stream.

#include "toolkit/TStream.h"

#include <cstdint>
#include <vector>

namespace tesvar::toolkit {

class TMemoryStream : public TStream {
public:
  TMemoryStream() = default;
  explicit TMemoryStream(std::vector<uint8_t> Bytes) : FBytes(std::move(Bytes)) {}

  size_t Read(void* Buffer, size_t Count) override;
  size_t Write(const void* Buffer, size_t Count) override;
  // Positions below 0 become 0; beyond the end are allowed (a write there fills the gap with
  // zeros).
  int64_t Seek(int64_t Offset, TSeekOrigin Origin) override;
  void SetSize(int64_t NewSize) override;
  int64_t Size() override { return static_cast<int64_t>(FBytes.size()); }

  const std::vector<uint8_t>& Bytes() const { return FBytes; }
  // Empties the stream and moves the position to 0.
  void Clear();

private:
  std::vector<uint8_t> FBytes;
  int64_t FPosition = 0;
};

}  // namespace tesvar::toolkit

#pragma once
// TEdbBlobStream: the stream a TEdbDataset hands out for a BLOB field of its active record.
//
// It works on the dataset's memory stream for that field (TEdbDataset::InternalCreateBLOBStream),
// which the dataset owns and keeps until the record's streams are dropped; the value reaches the
// table only when the record is posted. Without an active record the stream is not opened: it
// reads nothing and stays at position 0.
//
// Destroying a stream that was written (or truncated) notifies a change of the field; then the
// field becomes NULL exactly when the value is empty.

#include "toolkit/TDataSet.h"
#include "toolkit/TMemoryStream.h"
#include "toolkit/TStream.h"

#include <cstddef>
#include <cstdint>

namespace tesvar::dataset {

class TEdbDataset;

class TEdbBlobStream final : public toolkit::TStream {
public:
  // Field must be a field of Dataset; both must outlive the stream. Write mode empties the
  // value. A mode other than read on a read-only dataset raises "Error in TEdbBlobStream.Create
  // - Dataset is read only!"; the dataset's own errors (InternalCreateBLOBStream) pass on.
  TEdbBlobStream(TEdbDataset& Dataset, toolkit::TField& Field, toolkit::TBlobStreamMode Mode);
  // Errors of the change notification go to the program's exception handler.
  ~TEdbBlobStream() override;
  TEdbBlobStream(const TEdbBlobStream&) = delete;
  TEdbBlobStream& operator=(const TEdbBlobStream&) = delete;

  size_t Read(void* Buffer, size_t Count) override;
  // A read-mode stream raises "Error in TEdbBlobStream.Write - blob stream is read only!".
  size_t Write(const void* Buffer, size_t Count) override;
  int64_t Seek(int64_t Offset, toolkit::TSeekOrigin Origin) override;
  // Raises as Write in read mode.
  void SetSize(int64_t NewSize) override;
  int64_t Size() override;

  bool Opened() const { return FValue != nullptr; }
  bool Modified() const { return FModified; }

private:
  void CheckWritable() const;

  TEdbDataset& FDataset;
  toolkit::TField& FField;
  toolkit::TBlobStreamMode FMode;
  toolkit::TMemoryStream* FValue = nullptr;  // the dataset's; null when not opened
  bool FModified = false;
};

}  // namespace tesvar::dataset

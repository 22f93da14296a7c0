#include "dataset/TEdbBlobStream.h"

#include "dataset/TEdbDataset.h"
#include "platform/Exception.h"
#include "toolkit/Errors.h"

#include <exception>

namespace tesvar::dataset {

using namespace toolkit;

TEdbBlobStream::TEdbBlobStream(TEdbDataset& Dataset, TField& Field, TBlobStreamMode Mode)
    : FDataset(Dataset), FField(Field), FMode(Mode) {
  if (Mode != bmRead && Dataset.ReadOnly()) throw Exception("Error in TEdbBlobStream.Create - Dataset is read only!");
  FValue = Dataset.InternalCreateBLOBStream(Field, Mode);
  if (FValue != nullptr && Mode == bmWrite) {
    FValue->SetSize(FValue->Position());
    FModified = true;
  }
}

TEdbBlobStream::~TEdbBlobStream() {
  if (FValue == nullptr) return;
  try {
    FDataset.BlobStreamClosed(FField, FModified);
  } catch (const std::exception& E) {
    HandleException(E);
  }
}

void TEdbBlobStream::CheckWritable() const {
  if (FMode == bmRead) throw Exception("Error in TEdbBlobStream.Write - blob stream is read only!");
}

size_t TEdbBlobStream::Read(void* Buffer, size_t Count) { return FValue != nullptr ? FValue->Read(Buffer, Count) : 0; }

size_t TEdbBlobStream::Write(const void* Buffer, size_t Count) {
  CheckWritable();
  if (FValue == nullptr) return 0;
  const size_t written = FValue->Write(Buffer, Count);
  FModified = true;
  return written;
}

int64_t TEdbBlobStream::Seek(int64_t Offset, TSeekOrigin Origin) {
  return FValue != nullptr ? FValue->Seek(Offset, Origin) : 0;
}

void TEdbBlobStream::SetSize(int64_t NewSize) {
  CheckWritable();
  if (FValue == nullptr) return;
  FValue->SetSize(NewSize);
  FModified = true;
}

int64_t TEdbBlobStream::Size() { return FValue != nullptr ? FValue->Size() : 0; }

}  // namespace tesvar::dataset

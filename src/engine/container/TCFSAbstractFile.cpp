#include "container/TCFSAbstractFile.h"

#include "platform/Exception.h"

namespace tesvar::container {

void TCFSAbstractFile::ReadBuffer(void* Buffer, int64_t Count) {
  if (Count != 0 && Read(Buffer, Count) != Count)
    throw Exception("TCFSAbstractFile.ReadBuffer - Stream read error");
}

void TCFSAbstractFile::WriteBuffer(const void* Buffer, int64_t Count) {
  if (Count != 0 && Write(Buffer, Count) != Count)
    throw Exception("TCFSAbstractFile.WriteBuffer - Stream write error");
}

}  // namespace tesvar::container

#pragma once
// Progress reports of long operations.

#include <cstdint>
#include <functional>

namespace tesvar::toolkit {

// The kind of long operation a progress report is about; stored as one byte.
enum TedProgressProcess : uint8_t {
  edppImport = 0,
  edppExport = 1,
  edppRestructure = 2,
  edppRepair = 3,
  edppChangeCompression = 4,
  edppCompactDB = 5,
  edppRepairDB = 6,
  edppChangeEncryption = 7,
  edppChangeEncryptionDB = 8,
  edppAddingRecords = 9,
};

// Progress of a database operation: Sender is the component reporting, PercentDone 0..100;
// the handler may set Cancel to ask the operation to stop. Empty = no handler.
using TProgressEvent =
    std::function<void(const void* Sender, double PercentDone, TedProgressProcess ProgressProcess, bool& Cancel)>;

// Progress of a dataset operation (the table component's import, restructure and index builds);
// the same arguments, and the handler may set Cancel to stop an operation that can be cancelled.
using TedProgressEvent = TProgressEvent;

}  // namespace tesvar::toolkit

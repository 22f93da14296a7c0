#pragma once
// What table storage and the database manager need from a dataset. The dataset layer's datasets
// implement it; the storage layer never owns a dataset, it keeps non-owning references between
// the dataset's attach and detach.

#include <cstdint>
#include <string>

namespace tesvar::toolkit {

class IEdbDataset {
public:
  virtual ~IEdbDataset() = default;

  // Where the dataset finds its database: a container path, or else an alias or directory.
  virtual std::string DatabaseFileName() const = 0;
  virtual std::string DatabaseName() const = 0;
  // Identity of the database component through which the dataset reached its database (null:
  // none). Compared only, never dereferenced.
  virtual const void* DatabaseComponent() const = 0;

  // The table's files are kept in memory / in delete-on-close files.
  virtual bool InMemory() const = 0;
  virtual bool Temporary() const = 0;
  // Read-only switch; setting it on an open dataset may close it.
  virtual bool ReadOnly() const = 0;
  virtual void SetReadOnly(bool Value) = 0;
  // Table password (empty: none).
  virtual std::string Password() const = 0;
  // Records per page of the table's page pool (-1: automatic) and the one-record-page switch.
  virtual int32_t RecordsPerPage() const = 0;
  virtual bool OneRecordPages() const = 0;

  // Properties a new table takes from the dataset that creates it.
  virtual bool Encrypted() const = 0;
  virtual uint8_t BLOBCompression() const = 0;
  virtual int32_t BLOBBlockSize() const = 0;

  // Open state; Close detaches the dataset from its table and database manager.
  virtual bool Active() const = 0;
  virtual void Close() = 0;

  // The table's indexes are being sorted from the records (opening a table whose index file is
  // stale or damaged): Started, then Progress with the percentage done after each index and 100
  // at the end, then Finished. A dataset shows the progress to its user.
  virtual void IndexBuildingStarted() {}
  virtual void IndexBuildingProgress(double PercentDone) { (void)PercentDone; }
  virtual void IndexBuildingFinished() {}
};

}  // namespace tesvar::toolkit

#pragma once
// The database component: names a database (an alias, a container file or a directory), carries
// its password and switches, connects to the shared database manager and offers the
// whole-database calls CreateDatabase and CompactDatabase.
//
// A component registers itself in DatabaseComponents (StorageEngine.h) for its lifetime; it does
// not own its manager (the registry does).

#include "toolkit/Progress.h"

#include <string>

namespace tesvar::storage {

class TEdbDatabaseManager;

class TEdbDatabase {
public:
  TEdbDatabase();
  // Disconnects when connected; leaves DatabaseComponents. Errors of the disconnection are dropped.
  ~TEdbDatabase();
  TEdbDatabase(const TEdbDatabase&) = delete;
  TEdbDatabase& operator=(const TEdbDatabase&) = delete;

  bool Connected() const { return FConnected; }
  // Connects to (or disconnects from) the manager of Directory or DatabaseFileName. Raises
  // "TEdbDatabase.SetConnected - Directory "<Directory>" doesn't exist.", "TEdbDatabase.
  // SetConnected - File "<DatabaseFileName>" doesn't exist." (not in memory), the manager's
  // ConnectDatabase errors and "TEdbDatabaseManager.SetConnected - Invalid password or corrupted
  // database file." (the component stays unconnected). With neither Directory nor DatabaseFileName
  // the component stays unconnected without an error.
  void SetConnected(bool Value);
  const std::string& DatabaseName() const { return FDatabaseName; }
  void SetDatabaseName(const std::string& Value);
  const std::string& Directory() const { return FDirectory; }
  // A non-empty value clears DatabaseFileName. Disconnects first.
  void SetDirectory(const std::string& Value);
  const std::string& DatabaseFileName() const { return FDatabaseFileName; }
  // A non-empty value clears Directory. Disconnects first.
  void SetDatabaseFileName(const std::string& Value);
  bool InMemory() const { return FInMemory; }
  // Connected: passed to the manager (the component's own value is kept); else stored.
  void SetInMemory(bool Value);
  bool ReadOnly() const { return FReadOnly; }
  void SetReadOnly(bool Value) { FReadOnly = Value; }
  const std::string& Password() const { return FPassword; }
  void SetPassword(const std::string& Value) { FPassword = Value; }
  // Whether the container is encrypted (false for a directory database or a missing file).
  bool Encrypted() const;
  TEdbDatabaseManager* Manager() const { return FManager; }
  // Engine stop: the registries are gone; the component becomes unconnected without a call.
  void ForgetManager();

  // Creates an empty container file named DatabaseFileName. Raises "DatabaseFileName property is
  // blank.", "CreateDatabase error. Database is connected." and the manager's CreateDatabase errors.
  void CreateDatabase();
  void CreateDatabase(const std::string& FileName);
  // Rewrites the container file compactly; true when that succeeded. ErrorLog receives the
  // container's log. Raises "TEdbDatabase.CompactDatabase - DatabaseFileName property is blank.",
  // "TEdbDatabase.CompactDatabase -  Database is connected.", "TEdbDatabase.CompactDatabase - Some
  // datasets are connected.", "TEdbDatabase.CompactDatabase - Invalid password." and
  // "TEdbDatabase.CompactDatabase - PFSHandle = nil.". A compaction cancelled through OnProgress
  // returns false with a line telling so at the end of ErrorLog.
  [[nodiscard]] bool CompactDatabase(std::string& ErrorLog);

  // Empty = no handler.
  toolkit::TProgressEvent OnProgress;

private:
  void DoProgress(double PercentDone, toolkit::TedProgressProcess Process);

  std::string FDirectory;
  bool FConnected = false;
  std::string FDatabaseName;
  std::string FDatabaseFileName;
  bool FInMemory = false;
  bool FReadOnly = false;
  bool FCancel = false;
  std::string FPassword;
  TEdbDatabaseManager* FManager = nullptr;
};

// The first registered component whose DatabaseName or DatabaseFileName equals Name in lower
// case; null for an empty Name or none.
TEdbDatabase* FindDatabaseComponent(const std::string& Name);

}  // namespace tesvar::storage

#pragma once
// The SQLite side of the catalogue workload: the reference engine runs the same phases on the
// same rows, with the settings of the workload's reference program (one file, page size 4096,
// journal_mode WAL, synchronous NORMAL, the default cache).

#include "CatalogWorkload.h"

#include <cstdint>
#include <string>
#include <vector>

namespace tesvar::bench {

enum class TSqliteSchema {
  Reference,  // the reference program's: the table and its tree index
  Eighteen,   // the catalogue table with AutoIndexes: the rowid, the tree index, and for each text
              // field an index without case (COLLATE NOCASE) and one with case, for each integer
              // field one index
};

struct TSqliteInsertTimes {
  double Insert = 0;  // BEGIN, the prepared INSERTs, COMMIT
  double InsertCpu = 0;  // the same in processor time of the process
  double Close = 0;   // sqlite3_close (the final checkpoint)
  int64_t FileBytes = 0;
};

// The CREATE INDEX statements of the schema over the table catalog (the ID index is the rowid's).
std::string SqliteCatalogIndexes(TSqliteSchema Schema);
// Creates Path anew (with its -wal and -shm files removed) and inserts Rows (UTF-8) in one
// transaction. Exits the program with a message on any SQLite error.
TSqliteInsertTimes SqliteInsertCatalog(const std::string& Path, const TCatalogRowSet& Rows, TSqliteSchema Schema);
// Opening Path with the pragmas and the first prepared query (the schema load), closed after.
double SqliteOpenFirstQuery(const std::string& Path);
// What a read phase fetched: rows, the sum of their IDs, the bytes of every column as text.
struct TSqliteReadFigures {
  double Seconds = 0;
  int64_t Rows = 0;
  int64_t IdSum = 0;
  int64_t Bytes = 0;
};

// SELECT * FROM catalog ORDER BY the tree index's five columns (all descending), every column
// fetched as text, on a database opened anew (its open not timed).
TSqliteReadFigures SqliteReadTree(const std::string& Path);
// The workload's c_lookups phase: SELECT * FROM catalog WHERE ID=? for each of Ids, every column
// fetched as text.
TSqliteReadFigures SqliteLookups(const std::string& Path, const std::vector<int64_t>& Ids);
// What a change phase did: rows changed and, for deletes, the sum of the IDs deleted.
struct TSqliteChangeFigures {
  double Seconds = 0;
  int64_t Rows = 0;
  int64_t IdSum = 0;
};
// The workload's f_update phase: UPDATE catalog SET PathFile = 'F:\' || substr(PathFile, 4)
// WHERE substr(PathFile, 1, 3) = 'E:\', one statement.
TSqliteChangeFigures SqliteUpdatePaths(const std::string& Path);
// The workload's g_delete phase: BEGIN, DELETE FROM catalog WHERE ID=? for each of Ids, COMMIT.
TSqliteChangeFigures SqliteDeleteIds(const std::string& Path, const std::vector<int64_t>& Ids);
// Removes Path and its -wal, -shm and -journal files.
void SqliteRemove(const std::string& Path);

}  // namespace tesvar::bench

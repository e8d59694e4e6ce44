// The defaults table: the rows of every user-defaults suite of a data directory's
// database, one per suite and key (table orv_defaults, see OrvDefaultsSchema). A value
// is stored with its kind, so it reads back as the kind it was written: a boolean,
// integer or floating-point number as itself, a string as text, anything else (an array,
// a dictionary) as JSON. A kind this build does not know (a newer version's) reads as
// absent. An absent value removes the row.
//
// Reads and writes go to the file only: what waits in memory during an outage is
// OrvOutageKeeper's, and transactions are the owner's.
//
// Not thread-safe: its owner (OrvDefaultsDatabase) calls it under its own lock only.
#pragma once

#include <map>
#include <string>

#include "OrvExperiment/OrvValue.h"
#include "platform/storage/OrvSqliteFile.h"

class OrvDefaultsTable {
 public:
  // Prepares the statements on `connection`: the reads, and with `writes` the writes.
  bool prepare(sqlite3* connection, bool writes);
  void release();
  // SQLITE_OK when the table can be read on the connection prepared, else SQLite's code.
  int probe();

  // The stored value of `key` in `suite` (absent when there is none). False when the
  // table could not be read.
  bool read(const std::string& suite, const std::string& key, OrvValue* out);
  // Every row of `suite` that holds a value this build can read, added to `rows`.
  void readAll(const std::string& suite, std::map<std::string, OrvValue>* rows);
  // False when the statement failed, or nothing is prepared for writing.
  bool write(const std::string& suite, const std::string& key, const OrvValue& value);

 private:
  // Guarded by the owner's lock (OrvDefaultsDatabase::mutex_), as every call.
  OrvSqliteFile::Statement selectOne_, selectAll_;
  OrvSqliteFile::Statement upsert_, remove_;  // null on a read-only connection
};

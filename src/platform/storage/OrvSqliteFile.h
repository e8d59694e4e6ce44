// A guarded SQLite file: one database file in a data directory, opened only where that is
// safe, with its schema in place, and reopened when it is taken away while in use.
//
// Opening checks the directory first (OrvDataDirectory::ensureUsable: a refusal is final
// for the process) and then every file of the database (the main file, -wal, -shm; see
// OrvDataDirectory::checkDatabaseFiles: never a symbolic link, a regular file of ours,
// owner-only; a missing main file is created owner-only), and SQLite opens the main file
// without following links. The connection is read-write in WAL mode with full fsync; the
// schema given at construction is brought to its version (PRAGMA user_version) in one
// transaction, a new file giving free pages back on request (incremental auto-vacuum). A
// file of a newer version is neither written nor read. A file that cannot be written is
// still read where possible: read-only (which also reads the journal), or failing that as
// an immutable file (the main file only, no locks), as in a read-only directory.
//
// The path must keep naming the file open: moved() notices a deleted directory or a file
// removed or replaced, and reopen() opens the path again, copying everything the old file
// held into a new one when nothing is there any more.
//
// Another process's lock is waited for in short steps, for at most the budget of the call
// under way (setBusyBudget(); opening waits only kOpenBusyWait, start-up must not wait for
// another process), and not at all once the process is exiting.
//
// Not thread-safe: its owner (OrvDefaultsDatabase) calls it under its own lock only. The
// statements prepared on a connection belong to the Users given at construction: they
// prepare them when a connection opens and finalize them before it closes.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <span>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

class OrvSqliteFile {
 public:
  // A prepared statement, finalized when released.
  struct Finalize {
    void operator()(sqlite3_stmt* statement) const;
  };
  using Statement = std::unique_ptr<sqlite3_stmt, Finalize>;

  // What uses the file's connections.
  class Users {
   public:
    // Prepares what is needed on `connection`, just opened: every statement, or only the
    // reads (`readOnly`), then tried once. SQLITE_OK, or SQLite's code of the failure
    // (SQLITE_ERROR when a statement cannot be prepared).
    virtual int prepare(sqlite3* connection, bool readOnly) = 0;
    // Finalizes every statement prepared on the connections, before they close.
    virtual void release() = 0;

   protected:
    ~Users() = default;
  };

  // What open() or reopen() came to.
  struct Opening {
    bool writable = false;  // open read-write, schema in place, the users prepared
    bool refused = false;   // the directory is refused for the process (reported there)
    // Otherwise why the file cannot be written, and SQLite's code for it.
    std::string why;
    int code = 0;
    bool held = false;  // the read-only fallback found the database held by another process
    // reopen(): why the copy of the old file failed ("" when it did not), and its code.
    std::string copyFailure;
    int copyCode = 0;
  };

  static constexpr auto kOpenBusyWait = std::chrono::milliseconds(250);

  // `schema` creates what a file of a version below `schemaVersion` lacks (see
  // OrvDefaultsSchema). Opens nothing yet; `users` must outlive the file.
  OrvSqliteFile(std::string directory, const char* fileName, int schemaVersion,
                std::span<const char* const> schema, Users& users);
  ~OrvSqliteFile();
  OrvSqliteFile(const OrvSqliteFile&) = delete;
  OrvSqliteFile& operator=(const OrvSqliteFile&) = delete;

  const std::string& path() const { return path_; }

  // Opens the file (closing whatever is open): read-write, or failing that read-only.
  Opening open();
  // Opens the path again once moved(): the new file gets everything the old one held
  // when nothing was left at the path.
  Opening reopen();
  void close();

  // The read-write connection (null when the file could not be opened for writing).
  sqlite3* connection() const { return connection_; }
  bool writable() const { return connection_ != nullptr; }
  // Only the read-only fallback is open.
  bool readOnly() const { return readConnection_ != nullptr; }
  bool isOpen() const { return connection_ || readConnection_; }
  // True when the path no longer names the file open for writing: the directory was
  // deleted, or the file removed or replaced. Writes would go where nobody reads.
  bool moved() const;
  // True when the read-only fallback sees the main file only while a journal holds
  // more.
  bool journalUnseen() const;

  // How long SQLite may wait for another process's lock in the call under way.
  void setBusyBudget(std::chrono::milliseconds budget) { busyBudget_ = budget; }
  // Runs `sql` on the read-write connection, within the busy budget.
  bool exec(const char* sql);
  // "<what> <path>: <SQLite's message>", and SQLite's extended code of the last failure.
  std::string error(const char* what) const;
  int errorCode() const;
  // Gives back the space a backlog left: free pages to the file system (converting a
  // file of an older version to incremental auto-vacuum, by a VACUUM) and the write-ahead
  // log, checkpointed and truncated. Best effort.
  void reclaimSpace();

  // The statements' helpers.
  static bool prepare(sqlite3* connection, Statement* out, const char* sql);
  // Runs a statement that returns no rows; leaves it reset.
  static int run(sqlite3_stmt* statement);
  static void bindText(sqlite3_stmt* statement, int index, const std::string& text);
  static std::string columnText(sqlite3_stmt* statement, int column);
  // True for another connection's lock (SQLITE_BUSY, SQLITE_LOCKED, extended or not).
  static bool isBusy(int code);

 private:
  // Brings the schema to its version; false (with `why`) for a file it cannot use.
  bool migrate(std::string* why);
  // The read-only fallback; sets `held` when another process holds the database.
  void openReadOnly(bool* held);

  // Constant after construction.
  const std::string directory_;
  const std::string path_;
  const int schemaVersion_;
  const std::span<const char* const> schema_;
  Users& users_;

  // Guarded by the owner's lock (OrvDefaultsDatabase::mutex_), as every call.
  sqlite3* connection_ = nullptr;      // read-write; null when it cannot be opened
  sqlite3* readConnection_ = nullptr;  // read-only fallback while connection_ is null
  bool readImmutable_ = false;         // readConnection_ sees the main file only
  // The file last checked was a newer version's: neither written nor read. Kept until
  // the next check, also by an open that fails before it.
  bool newerSchema_ = false;
  // The file connection_ has open, as the path named it then.
  dev_t fileDevice_ = 0;
  ino_t fileInode_ = 0;
  // Read by SQLite's busy handler, which runs inside the owner's calls.
  std::chrono::milliseconds busyBudget_{0};
};

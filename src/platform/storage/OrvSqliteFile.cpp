#include "platform/storage/OrvSqliteFile.h"

#include <sqlite3.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "platform/execution/OrvProcessLifetime.h"
#include "platform/files/OrvDataDirectory.h"

namespace {

// Free pages worth giving back to the file system once a backlog has gone.
constexpr std::int64_t kReclaimAboveBytes = 1 << 20;
// The write-ahead log is cut back to this after a checkpoint (SQLite keeps it whole):
// about what SQLite's automatic checkpoint lets it reach, so that normal work reuses it.
constexpr const char* kJournalSizeLimit = "PRAGMA journal_size_limit=4194304";

// SQLite's busy handler: waits for another connection's lock in short steps, for up to
// the budget of the call under way (`budget`, read under the owner's lock), but gives up
// at once when the process is exiting so that exit stays prompt (the write then fails
// like any other and is kept in memory).
int waitWhileBusy(void* budget, int attempt) {
  constexpr int kStepMs = 5;
  const auto limit = static_cast<const std::chrono::milliseconds*>(budget)->count();
  if (OrvProcessLifetime::exiting() || attempt * kStepMs >= limit) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  return 1;
}

// Another process may hold the database briefly (opening it, switching it to WAL,
// recovering a journal): SQLite's busy handler does not cover every such case, so
// transient BUSY/LOCKED answers are retried here for a while (`budget`), except during
// exit.
template <class F>
int retryWhileBusy(std::chrono::milliseconds budget, F&& attempt) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + budget;
  auto pause = milliseconds(1);
  for (;;) {
    const int rc = attempt();
    if (!OrvSqliteFile::isBusy(rc) || steady_clock::now() >= deadline ||
        OrvProcessLifetime::exiting())
      return rc;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, milliseconds(50));
  }
}

}  // namespace

void OrvSqliteFile::Finalize::operator()(sqlite3_stmt* statement) const {
  sqlite3_finalize(statement);
}

OrvSqliteFile::OrvSqliteFile(std::string directory, const char* fileName, int schemaVersion,
                             std::span<const char* const> schema, Users& users)
    : directory_(std::move(directory)),
      path_(directory_ + "/" + fileName),
      schemaVersion_(schemaVersion),
      schema_(schema),
      users_(users) {}

// The users' statements are gone by now (the owner closes the file first).
OrvSqliteFile::~OrvSqliteFile() {
  if (connection_) sqlite3_close_v2(connection_);
  if (readConnection_) sqlite3_close_v2(readConnection_);
}

OrvSqliteFile::Opening OrvSqliteFile::open() {
  close();
  busyBudget_ = kOpenBusyWait;
  Opening opening;
  if (const auto usable = OrvDataDirectory::ensureUsable(directory_, &opening.why); !usable) {
    opening.refused = usable.refused;
    opening.code = SQLITE_CANTOPEN;
    return opening;
  }
  // Nothing planted in the directory is read either.
  int mainErrno = 0;  // missing, or unreadable: SQLite reports what matters
  if (!OrvDataDirectory::checkDatabaseFiles(path_, true, &opening.why, &mainErrno)) {
    opening.code = SQLITE_CANTOPEN;
    return opening;
  }
  int rc =
      sqlite3_open_v2(path_.c_str(), &connection_,
                      SQLITE_OPEN_READWRITE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW, nullptr);
  struct stat st {};
  if (rc == SQLITE_OK && ::stat(path_.c_str(), &st) == 0) {
    fileDevice_ = st.st_dev;
    fileInode_ = st.st_ino;
    sqlite3_busy_handler(connection_, &waitWhileBusy, &busyBudget_);
    if (migrate(&opening.why)) {
      if (users_.prepare(connection_, false) == SQLITE_OK) {
        opening.writable = true;
        return opening;
      }
      opening.why = error("cannot use");
    }
    rc = sqlite3_extended_errcode(connection_);
  } else {
    opening.why = error("cannot use");
  }
  opening.code = rc;
  close();
  if (!newerSchema_) openReadOnly(&opening.held);  // a newer version's file is not ours to read
  return opening;
}

// The schema as `schema_` creates it, completed in one transaction. Only an empty file
// takes incremental auto-vacuum without a VACUUM; older ones are converted by
// reclaimSpace(). False, with why, for a file that is no database of ours, a newer
// version's (newerSchema_), or one that cannot be written.
bool OrvSqliteFile::migrate(std::string* why) {
  const auto scalar = [&](const char* sql, std::int64_t* out) {
    sqlite3_stmt* st = nullptr;
    const int rc = retryWhileBusy(busyBudget_, [&] {
      sqlite3_finalize(st);
      st = nullptr;
      const int prepared = sqlite3_prepare_v2(connection_, sql, -1, &st, nullptr);
      return prepared != SQLITE_OK ? prepared : sqlite3_step(st);
    });
    if (rc == SQLITE_ROW) *out = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return rc == SQLITE_ROW;
  };
  newerSchema_ = false;
  std::int64_t version = 0, tables = 0;
  // journal_mode returns a row; a file that is not a database, or one we may not
  // write, fails here.
  if (!exec("PRAGMA journal_mode=WAL") || !scalar("PRAGMA user_version", &version) ||
      !scalar("SELECT count(*) FROM sqlite_schema", &tables)) {
    *why = error("cannot use");
    return false;
  }
  newerSchema_ = version > schemaVersion_;
  if (newerSchema_) {
    *why = path_ + " was written by a newer version of the library (schema " +
           std::to_string(version) + ", this one knows up to " + std::to_string(schemaVersion_) +
           "); leaving it alone";
    return false;
  }
  if (!exec("PRAGMA synchronous=FULL") || !exec(kJournalSizeLimit)) {
    *why = error("cannot use");
    return false;
  }
  if (version == schemaVersion_) return true;
  if (tables == 0 && !exec("PRAGMA auto_vacuum=INCREMENTAL")) {
    *why = error("cannot use");
    return false;
  }
  bool ok = exec("BEGIN IMMEDIATE");
  for (const char* create : schema_) ok = ok && exec(create);
  ok = ok && exec(("PRAGMA user_version=" + std::to_string(schemaVersion_)).c_str()) &&
       exec("COMMIT");
  if (!ok) {
    *why = error("cannot use");
    exec("ROLLBACK");
  }
  return ok;
}

void OrvSqliteFile::openReadOnly(bool* held) {
  std::string uriPath;
  for (char c : path_) {
    if (c == '%' || c == '?' || c == '#') {
      static constexpr char kHex[] = "0123456789abcdef";
      uriPath += '%';
      uriPath += kHex[static_cast<unsigned char>(c) >> 4];
      uriPath += kHex[c & 0xF];
    } else {
      uriPath += c;
    }
  }
  for (const std::string& name : {path_, "file:" + uriPath + "?immutable=1"}) {
    if (sqlite3_open_v2(
            name.c_str(), &readConnection_,
            SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
            nullptr) == SQLITE_OK) {
      const int rc = users_.prepare(readConnection_, true);
      if (rc == SQLITE_OK) {
        readImmutable_ = name != path_;
        return;
      }
      if (isBusy(rc)) *held = true;
    }
    close();
  }
}

OrvSqliteFile::Opening OrvSqliteFile::reopen() {
  users_.release();  // their statements belong to the old connection
  sqlite3* old = connection_;
  connection_ = nullptr;
  struct stat st {};
  const bool nothingThere = ::lstat(path_.c_str(), &st) != 0 && errno == ENOENT;
  Opening opening = open();
  if (opening.writable && nothingThere) {
    sqlite3_backup* copy = sqlite3_backup_init(connection_, "main", old, "main");
    const int rc = copy ? sqlite3_backup_step(copy, -1) : SQLITE_ERROR;
    if (copy) sqlite3_backup_finish(copy);
    if (rc != SQLITE_DONE) {
      opening.copyFailure = error("cannot copy into");
      opening.copyCode = rc;
    }
  }
  sqlite3_close_v2(old);
  return opening;
}

void OrvSqliteFile::close() {
  users_.release();
  if (connection_) sqlite3_close_v2(connection_);
  if (readConnection_) sqlite3_close_v2(readConnection_);
  connection_ = nullptr;
  readConnection_ = nullptr;
  readImmutable_ = false;
}

bool OrvSqliteFile::moved() const {
  struct stat st {};
  return ::stat(path_.c_str(), &st) != 0 || st.st_dev != fileDevice_ || st.st_ino != fileInode_;
}

bool OrvSqliteFile::journalUnseen() const {
  if (!readImmutable_) return false;
  struct stat st {};
  return ::stat((path_ + "-wal").c_str(), &st) == 0 && st.st_size > 0;
}

bool OrvSqliteFile::exec(const char* sql) {
  return retryWhileBusy(busyBudget_, [&] {
           return sqlite3_exec(connection_, sql, nullptr, nullptr, nullptr);
         }) == SQLITE_OK;
}

std::string OrvSqliteFile::error(const char* what) const {
  std::string message = std::string(what) + " " + path_;
  if (connection_) message += ": " + std::string(sqlite3_errmsg(connection_));
  return message;
}

int OrvSqliteFile::errorCode() const { return sqlite3_extended_errcode(connection_); }

void OrvSqliteFile::reclaimSpace() {
  const auto pragma = [&](const char* sql) {
    std::int64_t value = -1;
    sqlite3_stmt* st = nullptr;
    if (sqlite3_prepare_v2(connection_, sql, -1, &st, nullptr) == SQLITE_OK &&
        sqlite3_step(st) == SQLITE_ROW)
      value = sqlite3_column_int64(st, 0);
    sqlite3_finalize(st);
    return value;
  };
  bool reclaim = false;
  if (pragma("PRAGMA freelist_count") * pragma("PRAGMA page_size") >= kReclaimAboveBytes) {
    reclaim = true;
    if (pragma("PRAGMA auto_vacuum") == 2) {
      exec("PRAGMA incremental_vacuum");
    } else {
      exec("PRAGMA auto_vacuum=INCREMENTAL");
      exec("VACUUM");
    }
  }
  struct stat wal {};
  if (reclaim || (::stat((path_ + "-wal").c_str(), &wal) == 0 && wal.st_size >= kReclaimAboveBytes))
    exec("PRAGMA wal_checkpoint(TRUNCATE)");
}

bool OrvSqliteFile::prepare(sqlite3* connection, Statement* out, const char* sql) {
  sqlite3_stmt* raw = nullptr;
  const int rc = retryWhileBusy(kOpenBusyWait, [&] {
    return sqlite3_prepare_v3(connection, sql, -1, SQLITE_PREPARE_PERSISTENT, &raw, nullptr);
  });
  out->reset(raw);
  return rc == SQLITE_OK;
}

int OrvSqliteFile::run(sqlite3_stmt* statement) {
  const int rc = sqlite3_step(statement);
  sqlite3_reset(statement);
  return rc;
}

void OrvSqliteFile::bindText(sqlite3_stmt* statement, int index, const std::string& text) {
  sqlite3_bind_text(statement, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string OrvSqliteFile::columnText(sqlite3_stmt* statement, int column) {
  const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
  return text ? std::string(text, static_cast<std::size_t>(sqlite3_column_bytes(statement, column)))
              : std::string();
}

bool OrvSqliteFile::isBusy(int code) {
  const int primary = code & 0xFF;
  return primary == SQLITE_BUSY || primary == SQLITE_LOCKED;
}

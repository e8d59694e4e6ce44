#include "platform/OrvUserDefaults.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <unordered_map>

#include "platform/OrvDataDirectory.h"
#include "platform/OrvLogChannel.h"
#include "platform/OrvProcessLifetime.h"

namespace {

std::atomic<const OrvLogChannel*> logChannel{nullptr};

// How a value's kind is kept in the database's `kind` column.
enum StoredKind : int { kBool = 0, kString = 1, kInteger = 2, kFloating = 3, kJson = 4 };

struct StatementDeleter {
  void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementDeleter>;

struct ConnectionDeleter {
  void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionDeleter>;

using Suite = std::map<std::string, OrvValue, std::less<>>;

// Another process may hold the database briefly (opening it, switching it to WAL,
// checkpointing). SQLite's busy handler does not cover every such case (a journal-mode
// change, for one, fails at once), so transient BUSY/LOCKED answers are retried here
// for a while before the database is given up on: giving up loses persistence.
template <class F>
int retryWhileBusy(F&& attempt) {
  using namespace std::chrono;
  const auto deadline = steady_clock::now() + seconds(10);
  auto pause = milliseconds(1);
  for (;;) {
    const int rc = attempt();
    const int primary = rc & 0xFF;
    if ((primary != SQLITE_BUSY && primary != SQLITE_LOCKED) || steady_clock::now() >= deadline ||
        OrvProcessLifetime::exiting())
      return rc;
    std::this_thread::sleep_for(pause);
    pause = std::min(pause * 2, milliseconds(50));
  }
}

// SQLite's busy handler: waits for another connection's lock in short steps, for up to
// five seconds, but gives up at once when the process is exiting so that exit stays
// prompt (the write then fails like any other and nothing is recorded).
int waitWhileBusy(void*, int attempt) {
  constexpr int kStepMs = 5;
  if (OrvProcessLifetime::exiting() || attempt * kStepMs >= 5000) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(kStepMs));
  return 1;
}

}  // namespace

// One per data directory in use, shared by every suite opened there. Holds the
// connection and the in-memory copy of every suite loaded so far.
class OrvDefaultsDatabase {
 public:
  static std::shared_ptr<OrvDefaultsDatabase> forDirectory(const std::string& directory) {
    static auto* mutex = new std::mutex;
    static auto* open = new std::unordered_map<std::string, std::weak_ptr<OrvDefaultsDatabase>>;
    std::lock_guard lock(*mutex);
    if (auto existing = (*open)[directory].lock()) return existing;
    auto db = std::make_shared<OrvDefaultsDatabase>(directory);
    (*open)[directory] = db;
    return db;
  }

  explicit OrvDefaultsDatabase(const std::string& directory) {
    std::string why;
    if (!OrvDataDirectory::ensureExists(directory, &why)) {
      fallBackToMemory(why);
      return;
    }
    path_ = directory + "/" + OrvUserDefaults::kDatabaseFileName;
    // Create the file ourselves so that it is owner-only from the first byte; SQLite
    // gives its -wal and -shm files the same permissions.
    const int fd = ::open(path_.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd >= 0) ::close(fd);
    sqlite3* raw = nullptr;
    const int rc =
        sqlite3_open_v2(path_.c_str(), &raw,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    connection_.reset(raw);
    if (rc != SQLITE_OK) {
      fallBackToMemory(sqliteError("cannot open"));
      return;
    }
    sqlite3_busy_handler(raw, &waitWhileBusy, nullptr);
    // journal_mode returns a row; the others do not. A file that is not a database,
    // or one we may not write, fails here.
    if (!exec("PRAGMA journal_mode=WAL") || !exec("PRAGMA synchronous=FULL") ||
        !exec("CREATE TABLE IF NOT EXISTS orv_defaults (suite TEXT NOT NULL, key TEXT NOT NULL, "
              "kind INTEGER NOT NULL, value, PRIMARY KEY (suite, key)) WITHOUT ROWID") ||
        !prepare(&upsert_,
                 "INSERT INTO orv_defaults (suite, key, kind, value) VALUES (?1, ?2, ?3, ?4) "
                 "ON CONFLICT (suite, key) DO UPDATE SET kind = excluded.kind, value = "
                 "excluded.value") ||
        !prepare(&remove_, "DELETE FROM orv_defaults WHERE suite = ?1 AND key = ?2") ||
        !prepare(&select_, "SELECT key, kind, value FROM orv_defaults WHERE suite = ?1")) {
      fallBackToMemory(sqliteError("cannot use"));
    }
  }

  bool isPersistent() const {
    std::lock_guard lock(mutex_);
    return connection_ != nullptr;
  }

  // Calls `f` with the suite's in-memory copy, loading it on first use. Under mutex_.
  template <class F>
  auto withSuite(const std::string& suite, F&& f) {
    std::lock_guard lock(mutex_);
    auto it = suites_.find(suite);
    if (it == suites_.end()) it = suites_.emplace(suite, load(suite)).first;
    return f(it->second);
  }

  void put(const std::string& suite, const std::string& key, const OrvValue& value) {
    withSuite(suite, [&](Suite& s) {
      s[key] = value;
      if (connection_ && !writeRow(suite, key, value))
        fallBackToMemory(sqliteError("cannot write"));
    });
  }

  void erase(const std::string& suite, const std::string& key) {
    withSuite(suite, [&](Suite& s) {
      s.erase(key);
      if (connection_ && !deleteRow(suite, key)) fallBackToMemory(sqliteError("cannot write"));
    });
  }

 private:
  bool exec(const char* sql) {
    const int rc = retryWhileBusy(
        [&] { return sqlite3_exec(connection_.get(), sql, nullptr, nullptr, nullptr); });
    return rc == SQLITE_OK;
  }

  bool prepare(Statement* out, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    const int rc = retryWhileBusy([&] {
      return sqlite3_prepare_v3(connection_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &raw,
                                nullptr);
    });
    out->reset(raw);
    return rc == SQLITE_OK;
  }

  // Runs a prepared statement to completion, retrying transient contention.
  int stepToEnd(sqlite3_stmt* st) {
    return retryWhileBusy([&] {
      const int rc = sqlite3_step(st);
      if ((rc & 0xFF) == SQLITE_BUSY || (rc & 0xFF) == SQLITE_LOCKED) sqlite3_reset(st);
      return rc;
    });
  }

  std::string sqliteError(const char* what) const {
    std::string message = std::string(what) + " " + path_;
    if (connection_) message += ": " + std::string(sqlite3_errmsg(connection_.get()));
    return message;
  }

  // Reports once, then keeps every suite of this directory in memory only. The file
  // is left as it is.
  void fallBackToMemory(const std::string& why) {
    if (const OrvLogChannel* log = logChannel.load(std::memory_order_acquire))
      log->error("OrvUserDefaults: %@; keeping records in memory for this process", why);
    upsert_.reset();
    remove_.reset();
    select_.reset();
    connection_.reset();
  }

  Suite load(const std::string& suite) {
    Suite s;
    if (!connection_) return s;
    sqlite3_stmt* st = select_.get();
    sqlite3_reset(st);
    sqlite3_bind_text(st, 1, suite.data(), static_cast<int>(suite.size()), SQLITE_TRANSIENT);
    int rc;
    while ((rc = retryWhileBusy([&] { return sqlite3_step(st); })) == SQLITE_ROW) {
      std::string key(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)),
                      static_cast<std::size_t>(sqlite3_column_bytes(st, 0)));
      const int kind = sqlite3_column_int(st, 1);
      std::string text(reinterpret_cast<const char*>(sqlite3_column_text(st, 2)),
                       static_cast<std::size_t>(sqlite3_column_bytes(st, 2)));
      OrvValue value;
      switch (kind) {
        case kBool:
          value = OrvValue(sqlite3_column_int64(st, 2) != 0);
          break;
        case kString:
          value = OrvValue(std::move(text));
          break;
        case kInteger:
          value = OrvValue(static_cast<std::int64_t>(sqlite3_column_int64(st, 2)));
          break;
        case kFloating:
          value = OrvValue(sqlite3_column_double(st, 2));
          break;
        case kJson:
          value = OrvValue::parseJson(text).value;
          break;
        default:
          break;  // a kind from a newer version: skip the row
      }
      if (!value.isAbsent()) s.emplace(std::move(key), std::move(value));
    }
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) fallBackToMemory(sqliteError("cannot read"));
    return s;
  }

  bool writeRow(const std::string& suite, const std::string& key, const OrvValue& value) {
    sqlite3_stmt* st = upsert_.get();
    sqlite3_reset(st);
    sqlite3_bind_text(st, 1, suite.data(), static_cast<int>(suite.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    std::string json;
    switch (value.kind()) {
      case OrvValue::Kind::kBoolean:
        sqlite3_bind_int(st, 3, kBool);
        sqlite3_bind_int64(st, 4, value.boolValue() ? 1 : 0);
        break;
      case OrvValue::Kind::kInteger:
        sqlite3_bind_int(st, 3, kInteger);
        sqlite3_bind_int64(st, 4, value.int64Value());
        break;
      case OrvValue::Kind::kFloating:
        sqlite3_bind_int(st, 3, kFloating);
        sqlite3_bind_double(st, 4, value.doubleValue());
        break;
      case OrvValue::Kind::kString:
        sqlite3_bind_int(st, 3, kString);
        sqlite3_bind_text(st, 4, value.stringValue().data(),
                          static_cast<int>(value.stringValue().size()), SQLITE_TRANSIENT);
        break;
      default:
        json = value.toJson();
        sqlite3_bind_int(st, 3, kJson);
        sqlite3_bind_text(st, 4, json.data(), static_cast<int>(json.size()), SQLITE_TRANSIENT);
        break;
    }
    const int rc = stepToEnd(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
  }

  bool deleteRow(const std::string& suite, const std::string& key) {
    sqlite3_stmt* st = remove_.get();
    sqlite3_reset(st);
    sqlite3_bind_text(st, 1, suite.data(), static_cast<int>(suite.size()), SQLITE_TRANSIENT);
    sqlite3_bind_text(st, 2, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
    const int rc = stepToEnd(st);
    sqlite3_reset(st);
    return rc == SQLITE_DONE;
  }

  mutable std::mutex mutex_;
  // Guarded by mutex_ (set up in the constructor, before the object is shared).
  std::string path_;
  Connection connection_;  // null once fallen back to memory
  Statement upsert_;
  Statement remove_;
  Statement select_;
  std::unordered_map<std::string, Suite> suites_;
};

OrvUserDefaults::OrvUserDefaults(std::shared_ptr<OrvDefaultsDatabase> db, std::string suite)
    : db_(std::move(db)), suite_(std::move(suite)) {}

OrvUserDefaults::~OrvUserDefaults() = default;

void OrvUserDefaults::setLogChannel(const OrvLogChannel* log) {
  logChannel.store(log, std::memory_order_release);
}

std::shared_ptr<OrvUserDefaults> OrvUserDefaults::initWithSuiteName(const std::string& suiteName) {
  auto db = OrvDefaultsDatabase::forDirectory(OrvDataDirectory::get());
  db->withSuite(suiteName, [](Suite&) { return 0; });  // load now, not on the first read
  return std::make_shared<OrvUserDefaults>(std::move(db), suiteName);
}

void OrvUserDefaults::setBool(bool value, const std::string& key) {
  db_->put(suite_, key, OrvValue(value));
}

void OrvUserDefaults::setObject(const OrvValue& value, const std::string& key) {
  if (value.isAbsent()) {
    db_->erase(suite_, key);
  } else {
    db_->put(suite_, key, value);
  }
}

void OrvUserDefaults::removeObjectForKey(const std::string& key) { db_->erase(suite_, key); }

OrvValue OrvUserDefaults::objectForKey(const std::string& key) const {
  return db_->withSuite(suite_, [&](Suite& s) {
    auto it = s.find(key);
    return it == s.end() ? OrvValue() : it->second;
  });
}

bool OrvUserDefaults::boolForKey(const std::string& key) const {
  return objectForKey(key).boolValue();
}

std::optional<std::string> OrvUserDefaults::stringForKey(const std::string& key) const {
  const OrvValue v = objectForKey(key);
  if (v.isString()) return v.stringValue();
  if (v.isNumber()) return v.description();
  return std::nullopt;
}

std::map<std::string, OrvValue> OrvUserDefaults::dictionaryRepresentation() const {
  return db_->withSuite(
      suite_, [](Suite& s) { return std::map<std::string, OrvValue>(s.begin(), s.end()); });
}

bool OrvUserDefaults::isPersistent() const { return db_->isPersistent(); }

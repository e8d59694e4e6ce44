#include "platform/storage/OrvDefaultsTable.h"

#include <sqlite3.h>

#include <cstdint>

namespace {

// How a value's kind is kept in the `kind` column.
enum StoredKind : int { kBool = 0, kString = 1, kInteger = 2, kFloating = 3, kJson = 4 };

OrvValue columnValue(sqlite3_stmt* st, int kindColumn, int valueColumn) {
  switch (sqlite3_column_int(st, kindColumn)) {
    case kBool:
      return OrvValue(sqlite3_column_int64(st, valueColumn) != 0);
    case kString:
      return OrvValue(OrvSqliteFile::columnText(st, valueColumn));
    case kInteger:
      return OrvValue(static_cast<std::int64_t>(sqlite3_column_int64(st, valueColumn)));
    case kFloating:
      return OrvValue(sqlite3_column_double(st, valueColumn));
    case kJson:
      return OrvValue::parseJson(OrvSqliteFile::columnText(st, valueColumn)).value;
    default:
      return OrvValue();  // a kind from a newer version: not ours to read
  }
}

}  // namespace

bool OrvDefaultsTable::prepare(sqlite3* connection, bool writes) {
  using F = OrvSqliteFile;
  return F::prepare(connection, &selectOne_,
                    "SELECT kind, value FROM orv_defaults WHERE suite = ?1 AND key = ?2") &&
         F::prepare(connection, &selectAll_,
                    "SELECT key, kind, value FROM orv_defaults WHERE suite = ?1") &&
         (!writes ||
          (F::prepare(connection, &upsert_,
                      "INSERT INTO orv_defaults (suite, key, kind, value) VALUES (?1, ?2, ?3, "
                      "?4) ON CONFLICT (suite, key) DO UPDATE SET kind = excluded.kind, value = "
                      "excluded.value") &&
           F::prepare(connection, &remove_,
                      "DELETE FROM orv_defaults WHERE suite = ?1 AND key = ?2")));
}

void OrvDefaultsTable::release() {
  selectOne_.reset();
  selectAll_.reset();
  upsert_.reset();
  remove_.reset();
}

int OrvDefaultsTable::probe() {
  const int rc = sqlite3_step(selectAll_.get());
  sqlite3_reset(selectAll_.get());
  return rc == SQLITE_ROW || rc == SQLITE_DONE ? SQLITE_OK : rc;
}

bool OrvDefaultsTable::read(const std::string& suite, const std::string& key, OrvValue* out) {
  if (!selectOne_) return false;
  sqlite3_stmt* st = selectOne_.get();
  OrvSqliteFile::bindText(st, 1, suite);
  OrvSqliteFile::bindText(st, 2, key);
  const int rc = sqlite3_step(st);
  if (rc == SQLITE_ROW) *out = columnValue(st, 0, 1);
  sqlite3_reset(st);
  return rc == SQLITE_ROW || rc == SQLITE_DONE;
}

void OrvDefaultsTable::readAll(const std::string& suite, std::map<std::string, OrvValue>* rows) {
  if (!selectAll_) return;
  sqlite3_stmt* st = selectAll_.get();
  OrvSqliteFile::bindText(st, 1, suite);
  while (sqlite3_step(st) == SQLITE_ROW) {
    OrvValue value = columnValue(st, 1, 2);
    if (!value.isAbsent()) rows->emplace(OrvSqliteFile::columnText(st, 0), std::move(value));
  }
  sqlite3_reset(st);
}

bool OrvDefaultsTable::write(const std::string& suite, const std::string& key,
                             const OrvValue& value) {
  if (!upsert_) return false;
  if (value.isAbsent()) {
    sqlite3_stmt* st = remove_.get();
    OrvSqliteFile::bindText(st, 1, suite);
    OrvSqliteFile::bindText(st, 2, key);
    return OrvSqliteFile::run(st) == SQLITE_DONE;
  }
  sqlite3_stmt* st = upsert_.get();
  OrvSqliteFile::bindText(st, 1, suite);
  OrvSqliteFile::bindText(st, 2, key);
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
      OrvSqliteFile::bindText(st, 4, value.stringValue());
      break;
    default:
      sqlite3_bind_int(st, 3, kJson);
      OrvSqliteFile::bindText(st, 4, value.toJson());
      break;
  }
  return OrvSqliteFile::run(st) == SQLITE_DONE;
}

#include "history.h"

#include <sqlite3.h>

#include <climits>

#include "host_config.h"

History::History(const std::string& path) : path_(path) {
  const int flags = SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX;
  std::string error;
  if (sqlite3_open_v2(path.c_str(), &db_, flags, nullptr) != SQLITE_OK) {
    error = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
  } else {
    sqlite3_busy_timeout(db_, 2000);
    // WAL lets readers (sqlite3, the tests) look at the file while rounds are being stored; FULL makes a
    // committed row survive a power cut as well as a kill.
    const bool ready = (path == ":memory:" || Exec("PRAGMA journal_mode=WAL", &error)) &&
                       Exec("PRAGMA synchronous=FULL", &error) &&
                       Exec("CREATE TABLE IF NOT EXISTS history ("
                            "id INTEGER PRIMARY KEY, device TEXT NOT NULL, data_id INTEGER NOT NULL, "
                            "data_type INTEGER NOT NULL, time TEXT NOT NULL, record BLOB NOT NULL)",
                            &error);
    // Prepared once rather than compiled for every row.
    const auto prepare = [&](const char* sql, sqlite3_stmt** statement) {
      if (sqlite3_prepare_v2(db_, sql, -1, statement, nullptr) == SQLITE_OK) return true;
      error = sqlite3_errmsg(db_);
      return false;
    };
    if (ready) {
      prepare("INSERT INTO history (device, data_id, data_type, time, record) VALUES (?, ?, ?, ?, ?)", &insert_) &&
          prepare("BEGIN IMMEDIATE", &begin_) && prepare("COMMIT", &commit_) && prepare("ROLLBACK", &rollback_);
    }
  }
  if (!error.empty() || insert_ == nullptr || begin_ == nullptr || commit_ == nullptr || rollback_ == nullptr) {
    if (error.empty()) error = "cannot prepare the insert";
    Finalize();
    throw HostError("cannot open history " + path + ": " + error);
  }
}

History::~History() { Finalize(); }

void History::Finalize() {
  for (sqlite3_stmt* statement : {insert_, begin_, commit_, rollback_}) sqlite3_finalize(statement);
  sqlite3_close(db_);
}

bool History::Step(sqlite3_stmt* statement, std::string* error) {
  const int rc = sqlite3_step(statement);
  if (rc != SQLITE_DONE) *error = sqlite3_errmsg(db_);
  sqlite3_reset(statement);
  return rc == SQLITE_DONE;
}

bool History::Exec(const char* sql, std::string* error) {
  char* message = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &message) == SQLITE_OK) return true;
  *error = message != nullptr ? message : sqlite3_errmsg(db_);
  sqlite3_free(message);
  return false;
}

bool History::Add(const std::string& device, std::uint32_t data_id, int data_type, const std::string& time,
                  const unsigned char* record, unsigned int length, std::string* error) {
  if (length > static_cast<unsigned int>(INT_MAX)) {
    *error = "record too long";
    return false;
  }
  if (!Step(begin_, error)) return false;
  // The bound texts and bytes outlive the step (SQLITE_STATIC); the bindings are cleared after it.
  sqlite3_bind_text(insert_, 1, device.c_str(), -1, SQLITE_STATIC);
  sqlite3_bind_int64(insert_, 2, data_id);
  sqlite3_bind_int(insert_, 3, data_type);
  sqlite3_bind_text(insert_, 4, time.c_str(), -1, SQLITE_STATIC);
  // A zero-length blob still binds as a blob, not as NULL.
  static const unsigned char kNothing = 0;
  sqlite3_bind_blob(insert_, 5, record != nullptr ? record : &kNothing, static_cast<int>(length), SQLITE_STATIC);
  const bool inserted = Step(insert_, error);
  sqlite3_clear_bindings(insert_);
  std::string ignored;
  if (!inserted || !Step(commit_, error)) {
    Step(rollback_, &ignored);
    return false;
  }
  ++rows_added_;
  return true;
}

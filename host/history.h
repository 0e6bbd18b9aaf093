#pragma once

#include <cstdint>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

// The device history in SQLite: one row per stored record, each in its own transaction, in WAL mode, so
// that a killed process loses no completed round.
//
//   history(id INTEGER PRIMARY KEY, device TEXT, data_id INTEGER, data_type INTEGER, time TEXT, record BLOB)
//
// "time" is the round's local time, "YYYY-MM-DD HH:MM:SS".
class History {
 public:
  // ":memory:" keeps the rows for the life of the process only. Throws HostError when the file cannot be
  // opened or set up.
  explicit History(const std::string& path);
  ~History();
  History(const History&) = delete;
  History& operator=(const History&) = delete;

  // False, with the reason, when the row could not be stored.
  bool Add(const std::string& device, std::uint32_t data_id, int data_type, const std::string& time,
           const unsigned char* record, unsigned int length, std::string* error);
  long rows_added() const { return rows_added_; }
  const std::string& path() const { return path_; }

 private:
  bool Exec(const char* sql, std::string* error);
  // Runs the prepared statement to its end and resets it.
  bool Step(sqlite3_stmt* statement, std::string* error);
  void Finalize();

  std::string path_;
  sqlite3* db_ = nullptr;
  sqlite3_stmt* insert_ = nullptr;
  sqlite3_stmt* begin_ = nullptr;
  sqlite3_stmt* commit_ = nullptr;
  sqlite3_stmt* rollback_ = nullptr;
  long rows_added_ = 0;
};

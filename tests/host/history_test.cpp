// The device history: rows as given, a failed row that leaves the next one unharmed, and every row that
// was reported stored still there after the process is killed.
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "expect.h"
#include "history.h"
#include "host_config.h"
#include "scratch_dir.h"

namespace {

struct Row {
  std::string device;
  std::int64_t data_id;
  int data_type;
  std::string time;
  std::vector<std::uint8_t> record;
  bool record_is_blob;
  bool operator==(const Row& o) const {
    return device == o.device && data_id == o.data_id && data_type == o.data_type && time == o.time &&
           record == o.record && record_is_blob == o.record_is_blob;
  }
};

class Db {
 public:
  explicit Db(const std::string& path) {
    if (sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE, nullptr) != SQLITE_OK) {
      ADD_FAILURE() << "cannot open " << path;
    }
    sqlite3_busy_timeout(db_, 2000);
  }
  ~Db() { sqlite3_close(db_); }
  bool Exec(const char* sql) { return sqlite3_exec(db_, sql, nullptr, nullptr, nullptr) == SQLITE_OK; }
  std::vector<Row> Rows() {
    std::vector<Row> rows;
    sqlite3_stmt* q = nullptr;
    sqlite3_prepare_v2(db_, "SELECT device, data_id, data_type, time, record, typeof(record) FROM history ORDER BY id",
                       -1, &q, nullptr);
    while (q != nullptr && sqlite3_step(q) == SQLITE_ROW) {
      const auto* blob = static_cast<const std::uint8_t*>(sqlite3_column_blob(q, 4));
      const int bytes = sqlite3_column_bytes(q, 4);
      rows.push_back({reinterpret_cast<const char*>(sqlite3_column_text(q, 0)), sqlite3_column_int64(q, 1),
                      sqlite3_column_int(q, 2), reinterpret_cast<const char*>(sqlite3_column_text(q, 3)),
                      std::vector<std::uint8_t>(blob, blob + bytes),
                      std::string(reinterpret_cast<const char*>(sqlite3_column_text(q, 5))) == "blob"});
    }
    sqlite3_finalize(q);
    return rows;
  }

 private:
  sqlite3* db_ = nullptr;
};

TEST(History, StoresRowsAsGivenAndRecoversFromOneThatFails) {
  ScratchDir dir;
  const std::string path = (dir.path() / "history.db").string();
  History history(path);
  const std::uint8_t record[] = {0xB1, 0x04, 0x00, 0x00, 0xFF};
  std::string error;
  ASSERT_TRUE(history.Add("room-1", 1201, 5156, "2026-12-11 14:01:13", record, sizeof record, &error)) << error;
  // An empty record is an empty blob, not NULL.
  ASSERT_TRUE(history.Add("room-2", 4294967295u, 0, "2026-12-11 14:01:14", nullptr, 0, &error)) << error;

  Db other(path);
  ASSERT_TRUE(other.Exec("BEGIN IMMEDIATE"));
  EXPECT_FALSE(history.Add("room-1", 1201, 5156, "2026-12-11 14:01:15", record, sizeof record, &error));
  EXPECT_EQ(error, "database is locked");
  ASSERT_TRUE(other.Exec("COMMIT"));
  // Its statements were left ready for the next row.
  error.clear();
  ASSERT_TRUE(history.Add("room-1", 1201, 5156, "2026-12-11 14:01:16", record, 3, &error)) << error;
  EXPECT_EQ(history.rows_added(), 3);

  const std::vector<Row> expected{
      {"room-1", 1201, 5156, "2026-12-11 14:01:13", {0xB1, 0x04, 0x00, 0x00, 0xFF}, true},
      {"room-2", 4294967295LL, 0, "2026-12-11 14:01:14", {}, true},
      {"room-1", 1201, 5156, "2026-12-11 14:01:16", {0xB1, 0x04, 0x00}, true},
  };
  EXPECT_EQ(other.Rows(), expected);
}

TEST(History, KeepsEveryStoredRowWhenTheProcessIsKilled) {
#ifdef VADID_NO_FORK
  GTEST_SKIP() << "no fork under this emulator";
#endif
  ScratchDir dir;
  const std::string path = (dir.path() / "history.db").string();
  int told[2];
  ASSERT_EQ(pipe(told), 0);
  const pid_t child = fork();
  ASSERT_GE(child, 0);
  if (child == 0) {
    close(told[0]);
    History history(path);
    const std::uint8_t record[21] = {0xB1, 0x04};
    std::string error;
    // One byte to the parent for every row stored, until killed.
    for (;;) {
      if (!history.Add("room-1", 1201, 5156, "2026-12-11 14:01:13", record, sizeof record, &error)) _exit(1);
      if (write(told[1], "r", 1) != 1) _exit(1);
    }
  }
  close(told[1]);
  char byte = 0;
  long stored = 0;
  while (stored < 50 && read(told[0], &byte, 1) == 1) ++stored;
  kill(child, SIGKILL);
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFSIGNALED(status)) << "the writer stopped by itself";
  while (read(told[0], &byte, 1) == 1) ++stored;
  close(told[0]);
  ASSERT_GE(stored, 50);

  Db db(path);
  const std::size_t rows = db.Rows().size();
  // The one row past the last byte may have been committed before the kill.
  EXPECT_GE(rows, static_cast<std::size_t>(stored));
  EXPECT_LE(rows, static_cast<std::size_t>(stored) + 1);
}

TEST(History, ReportsAFileItCannotOpen) {
  ScratchDir dir;
  const std::string path = (dir.path() / "missing" / "history.db").string();
  const std::string what = "cannot open history " + path + ": unable to open database file";
  EXPECT_THROW_MSG(History history(path), HostError, what.c_str());
}

}  // namespace

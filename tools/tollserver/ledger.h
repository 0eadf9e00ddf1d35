// The ledger of the reference central server: an SQLite database ("tollserver.db") in the
// data folder, with the uploaded files beside it ("files/"). Every change is made by one
// writer thread; the changes of the callers waiting at the same time share one transaction,
// and a caller is answered only after its change is committed (write-ahead log, full sync).
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

struct sqlite3;
struct sqlite3_stmt;

namespace tollserver {

class LedgerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// The time the ledger writes beside a change: UTC, "YYYY-MM-DD hh:mm:ss".
std::string LedgerTime();

// One prepared statement, reset after each use.
class Statement {
 public:
  Statement(sqlite3* db, const char* sql);
  ~Statement();
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;

  Statement& Bind(int index, std::int64_t value);
  Statement& Bind(int index, double value);
  Statement& Bind(int index, const std::string& value);
  Statement& BindNull(int index);
  // Steps once: true while a row is there. Throws LedgerError.
  bool Step();
  void Run();  // steps to the end
  void Reset();
  std::int64_t Int(int column) const;
  double Real(int column) const;
  std::string Text(int column) const;
  bool IsNull(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* stmt_ = nullptr;
};

// The database of one writer or reader.
class Database {
 public:
  // Opens (creating it when `create`) the ledger at `path`; a file that is not an SQLite
  // database, or one of another schema, is a LedgerError and is left as it is.
  Database(const std::filesystem::path& path, bool create);
  ~Database();
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;

  sqlite3* Handle() const { return db_; }
  void Exec(const char* sql);
  // A statement prepared once for the life of the database.
  Statement& Prepared(const char* sql);
  std::int64_t LastInsertId() const;
  int Changes() const;

 private:
  sqlite3* db_ = nullptr;
  std::vector<std::pair<const char*, std::unique_ptr<Statement>>> statements_;
};

class Ledger {
 public:
  // The ledger in `folder` (made when missing). Throws LedgerError.
  explicit Ledger(const std::filesystem::path& folder);
  ~Ledger();
  Ledger(const Ledger&) = delete;
  Ledger& operator=(const Ledger&) = delete;

  // Runs `change` on the writer thread inside a transaction and returns once it is
  // committed. A change that throws is rolled back alone (the others of its transaction
  // stand) and its exception is thrown here; a failed commit is a LedgerError.
  void Write(const std::function<void(Database&)>& change);

  const std::filesystem::path& Folder() const { return folder_; }
  std::filesystem::path FilesFolder() const { return folder_ / "files"; }
  static std::filesystem::path DatabasePath(const std::filesystem::path& folder) {
    return folder / "tollserver.db";
  }

 private:
  struct Pending;
  void WriterLoop();

  std::filesystem::path folder_;
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace tollserver

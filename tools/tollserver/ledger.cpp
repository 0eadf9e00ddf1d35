#include "tools/tollserver/ledger.h"

#include <sqlite3.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <future>
#include <mutex>
#include <system_error>
#include <thread>

namespace tollserver {
namespace {

constexpr const char* kSchemaName = "tollserver ledger 1";

constexpr const char* kSchema = R"(
CREATE TABLE ledger_info (key TEXT PRIMARY KEY, value TEXT NOT NULL);
CREATE TABLE agents (
  client_id INTEGER PRIMARY KEY AUTOINCREMENT,
  computer_name TEXT NOT NULL UNIQUE,
  agent_kind INTEGER NOT NULL,
  address TEXT NOT NULL,
  registered TEXT NOT NULL);
CREATE TABLE queues (
  client_id INTEGER NOT NULL,
  position INTEGER NOT NULL,
  name TEXT NOT NULL,
  port_address TEXT,
  PRIMARY KEY (client_id, position));
CREATE TABLE jobs (
  job_id INTEGER PRIMARY KEY AUTOINCREMENT,
  received TEXT NOT NULL,
  client_id INTEGER NOT NULL,
  queue TEXT NOT NULL,
  port_address TEXT NOT NULL,
  user_name TEXT NOT NULL,
  owner TEXT NOT NULL,
  network_port INTEGER NOT NULL,
  submitted REAL NOT NULL,
  pages INTEGER NOT NULL,
  colour_pages INTEGER NOT NULL,
  mono_pages INTEGER NOT NULL,
  copies INTEGER NOT NULL,
  document TEXT NOT NULL,
  spooler_job_id INTEGER NOT NULL,
  paper_code INTEGER NOT NULL,
  paper_name TEXT NOT NULL,
  colour INTEGER NOT NULL,
  duplex INTEGER NOT NULL,
  resent INTEGER NOT NULL,
  fresh INTEGER NOT NULL,
  agent_version TEXT NOT NULL,
  machine TEXT NOT NULL,
  language INTEGER NOT NULL,
  one INTEGER NOT NULL,
  reexamined INTEGER NOT NULL,
  status INTEGER NOT NULL,
  message TEXT NOT NULL,
  answer_json TEXT NOT NULL,
  cost_cents INTEGER NOT NULL,
  charged INTEGER NOT NULL,
  cancelled INTEGER NOT NULL DEFAULT 0);
CREATE INDEX jobs_identity ON jobs (client_id, queue, spooler_job_id, submitted);
CREATE TABLE job_records (
  server_job_id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL REFERENCES jobs (job_id),
  part TEXT NOT NULL,
  pages INTEGER NOT NULL);
CREATE INDEX job_records_job ON job_records (job_id);
CREATE TABLE spent (user_name TEXT PRIMARY KEY, cents INTEGER NOT NULL);
CREATE TABLE counters (
  reading_id INTEGER PRIMARY KEY AUTOINCREMENT,
  received TEXT NOT NULL,
  server_job_id INTEGER NOT NULL,
  job_number INTEGER NOT NULL,
  has_job_number INTEGER NOT NULL,
  device_text1 TEXT, device_text2 TEXT, device_text3 TEXT,
  value1 INTEGER NOT NULL, value2 INTEGER NOT NULL,
  reading_time REAL NOT NULL,
  lines TEXT NOT NULL);
CREATE TABLE files (
  server_job_id INTEGER PRIMARY KEY,
  name TEXT NOT NULL,
  bytes INTEGER NOT NULL,
  complete INTEGER NOT NULL);
)";

constexpr const char* kCommandsSchema = R"(
CREATE TABLE IF NOT EXISTS commands (
  command_id INTEGER PRIMARY KEY AUTOINCREMENT,
  job_id INTEGER NOT NULL REFERENCES jobs (job_id),
  at TEXT NOT NULL,
  command TEXT NOT NULL,
  detail TEXT NOT NULL);
)";

[[noreturn]] void Fail(sqlite3* db, const std::string& what) {
  throw LedgerError(what + ": " + (db != nullptr ? sqlite3_errmsg(db) : "out of memory"));
}

}  // namespace

std::string LedgerTime() {
  using namespace std::chrono;
  auto now = floor<seconds>(system_clock::now());
  auto day = floor<days>(now);
  year_month_day ymd(day);
  hh_mm_ss<seconds> t(now - day);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%04d-%02u-%02u %02ld:%02ld:%02ld", int(ymd.year()),
                unsigned(ymd.month()), unsigned(ymd.day()), static_cast<long>(t.hours().count()),
                static_cast<long>(t.minutes().count()), static_cast<long>(t.seconds().count()));
  return buffer;
}

Statement::Statement(sqlite3* db, const char* sql) : db_(db) {
  if (sqlite3_prepare_v2(db_, sql, -1, &stmt_, nullptr) != SQLITE_OK) Fail(db_, "ledger statement");
}

Statement::~Statement() {
  sqlite3_finalize(stmt_);
}

Statement& Statement::Bind(int index, std::int64_t value) {
  sqlite3_bind_int64(stmt_, index, value);
  return *this;
}
Statement& Statement::Bind(int index, double value) {
  sqlite3_bind_double(stmt_, index, value);
  return *this;
}
Statement& Statement::Bind(int index, const std::string& value) {
  sqlite3_bind_text(stmt_, index, value.data(), static_cast<int>(value.size()), SQLITE_TRANSIENT);
  return *this;
}
Statement& Statement::BindNull(int index) {
  sqlite3_bind_null(stmt_, index);
  return *this;
}

bool Statement::Step() {
  int rc = sqlite3_step(stmt_);
  if (rc == SQLITE_ROW) return true;
  if (rc == SQLITE_DONE) return false;
  std::string what = sqlite3_errmsg(db_);
  sqlite3_reset(stmt_);
  throw LedgerError("ledger: " + what);
}

void Statement::Run() {
  while (Step()) {
  }
  Reset();
}

void Statement::Reset() {
  sqlite3_reset(stmt_);
  sqlite3_clear_bindings(stmt_);
}

std::int64_t Statement::Int(int column) const {
  return sqlite3_column_int64(stmt_, column);
}
double Statement::Real(int column) const {
  return sqlite3_column_double(stmt_, column);
}
std::string Statement::Text(int column) const {
  const unsigned char* text = sqlite3_column_text(stmt_, column);
  int n = sqlite3_column_bytes(stmt_, column);
  return text == nullptr ? std::string() : std::string(reinterpret_cast<const char*>(text), n);
}
bool Statement::IsNull(int column) const {
  return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

Database::Database(const std::filesystem::path& path, bool create) {
  int flags = create ? SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE : SQLITE_OPEN_READONLY;
  if (sqlite3_open_v2(path.string().c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr) !=
      SQLITE_OK) {
    std::string what = db_ != nullptr ? sqlite3_errmsg(db_) : "out of memory";
    sqlite3_close(db_);
    db_ = nullptr;
    throw LedgerError(path.string() + ": " + what);
  }
  sqlite3_busy_timeout(db_, 10000);
  try {
    // Reading the schema is the first access: a file that is not a database fails here,
    // before anything is written to it.
    Statement tables(db_, "SELECT count(*) FROM sqlite_master");
    tables.Step();
    bool empty = tables.Int(0) == 0;
    tables.Reset();
    if (empty && create) {
      Exec("PRAGMA journal_mode=WAL");
      Exec("BEGIN");
      Exec(kSchema);
      Statement info(db_, "INSERT INTO ledger_info (key, value) VALUES ('schema', ?)");
      info.Bind(1, std::string(kSchemaName)).Run();
      Exec("COMMIT");
    } else {
      bool ours = false;
      Statement has(db_,
                    "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'ledger_info'");
      if (has.Step()) {
        Statement info(db_, "SELECT value FROM ledger_info WHERE key = 'schema'");
        ours = info.Step() && info.Text(0) == kSchemaName;
      }
      if (!ours)
        throw LedgerError("not a ledger of this server (schema \"" + std::string(kSchemaName) +
                          "\")");
      if (create) Exec("PRAGMA journal_mode=WAL");
    }
    // The administrator's commands on held jobs (kept apart from the jobs, so that a ledger
    // made before them is read as it is).
    if (create) Exec(kCommandsSchema);
    Exec("PRAGMA synchronous=FULL");
  } catch (const LedgerError& e) {
    statements_.clear();
    sqlite3_close(db_);
    db_ = nullptr;
    throw LedgerError(path.string() + ": " + e.what());
  }
}

Database::~Database() {
  statements_.clear();
  sqlite3_close(db_);
}

void Database::Exec(const char* sql) {
  char* error = nullptr;
  if (sqlite3_exec(db_, sql, nullptr, nullptr, &error) != SQLITE_OK) {
    std::string what = error != nullptr ? error : sqlite3_errmsg(db_);
    sqlite3_free(error);
    throw LedgerError(what);
  }
}

Statement& Database::Prepared(const char* sql) {
  for (auto& [text, statement] : statements_) {
    if (text == sql) return *statement;
  }
  statements_.emplace_back(sql, std::make_unique<Statement>(db_, sql));
  return *statements_.back().second;
}

std::int64_t Database::LastInsertId() const {
  return sqlite3_last_insert_rowid(db_);
}

int Database::Changes() const {
  return sqlite3_changes(db_);
}

struct Ledger::Pending {
  const std::function<void(Database&)>* change = nullptr;
  std::promise<void> done;
};

struct Ledger::State {
  std::unique_ptr<Database> db;
  std::mutex lock;
  std::condition_variable ready;
  std::deque<Pending*> queue;
  bool stop = false;
  std::thread writer;
};

Ledger::Ledger(const std::filesystem::path& folder)
    : folder_(folder), state_(std::make_unique<State>()) {
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) throw LedgerError(folder.string() + ": " + ec.message());
  std::filesystem::create_directories(FilesFolder(), ec);
  if (ec) throw LedgerError(FilesFolder().string() + ": " + ec.message());
  state_->db = std::make_unique<Database>(DatabasePath(folder), true);
  try {
    state_->writer = std::thread([this] { WriterLoop(); });
  } catch (const std::system_error& e) {
    throw LedgerError(std::string("cannot start the ledger's writer: ") + e.what());
  }
}

Ledger::~Ledger() {
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    state_->stop = true;
  }
  state_->ready.notify_all();
  if (state_->writer.joinable()) state_->writer.join();
}

void Ledger::Write(const std::function<void(Database&)>& change) {
  Pending pending;
  pending.change = &change;
  std::future<void> done = pending.done.get_future();
  {
    std::lock_guard<std::mutex> guard(state_->lock);
    if (state_->stop) throw LedgerError("the ledger is closed");
    state_->queue.push_back(&pending);
  }
  state_->ready.notify_one();
  done.get();
}

void Ledger::WriterLoop() {
  Database& db = *state_->db;
  constexpr std::size_t kMaxBatch = 512;
  for (;;) {
    std::vector<Pending*> batch;
    {
      std::unique_lock<std::mutex> lock(state_->lock);
      state_->ready.wait(lock, [&] { return state_->stop || !state_->queue.empty(); });
      if (state_->queue.empty()) return;  // stopping, nothing left
      while (!state_->queue.empty() && batch.size() < kMaxBatch) {
        batch.push_back(state_->queue.front());
        state_->queue.pop_front();
      }
    }
    std::vector<std::exception_ptr> failures(batch.size());
    std::exception_ptr commitFailure;
    try {
      db.Exec("BEGIN IMMEDIATE");
      for (std::size_t i = 0; i < batch.size(); ++i) {
        db.Exec("SAVEPOINT change");
        try {
          (*batch[i]->change)(db);
          db.Exec("RELEASE change");
        } catch (...) {
          failures[i] = std::current_exception();
          db.Exec("ROLLBACK TO change");
          db.Exec("RELEASE change");
        }
      }
      db.Exec("COMMIT");
    } catch (...) {
      commitFailure = std::current_exception();
      try {
        db.Exec("ROLLBACK");
      } catch (...) {
      }
    }
    for (std::size_t i = 0; i < batch.size(); ++i) {
      if (commitFailure)
        batch[i]->done.set_exception(commitFailure);
      else if (failures[i])
        batch[i]->done.set_exception(failures[i]);
      else
        batch[i]->done.set_value();
    }
  }
}

}  // namespace tollserver

// A file of fixed-size records with a live/deleted flag and ascending local ids: the job
// store's offline jobs and hardware readings.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>

#include "platform/types.h"
#include "shared/error/error_result.h"

namespace tollgate::store {

class RecordFile {
 public:
  RecordFile(std::wstring path, std::size_t recordSize);
  RecordFile(const RecordFile&) = delete;
  RecordFile& operator=(const RecordFile&) = delete;
  virtual ~RecordFile();

  // Marks the record of the local id deleted; Error 33 when there is none.
  virtual void Delete(std::int32_t localId);
  // Whether the record of the local id is there and not deleted.
  bool IsLive(std::int32_t localId);
  // The next live record from the read position; false (and the file removed) when none is
  // left.
  virtual bool ReadFirst(std::string* record);
  // The record ReadFirst returned last comes again at the next ReadFirst.
  virtual void Unread();
  // Appends the record with the next local id and returns that id. The record is on the disk
  // before it returns, or, when it cannot be written (a full disk, a file that cannot be
  // opened), kept in memory behind the file and written, in order, at the next append or
  // `WriteWaiting`; the failure is logged. Records kept in memory are read, deleted and
  // counted as the file's own.
  virtual std::int32_t Append(std::string record);
  // Writes the records waiting in memory; true when none is left waiting.
  bool WriteWaiting();
  // Whether the record of the local id waits in memory (not yet on the disk).
  bool IsWaiting(std::int32_t localId);
  // How many records wait in memory.
  std::size_t Waiting() const { return waitingCount_.load(); }
  // Whether the file holds records: on the disk or waiting in memory.
  virtual bool Exists();
  // Sets the file aside as its path + "." + the local time; none when there is no file.
  virtual ErrorResultPtr Archive();
  virtual void Wake();
  virtual platform::HANDLE Event() const { return hasRecords_; }

  // Opens the file (creating it when `create`); false when it does not exist. A record cut
  // short at the end is set aside in the path + ".partial" and written over by the next
  // append; until its bytes are kept there, nothing is written over them (appends wait in
  // memory).
  bool Open(bool create);
  const std::wstring& Path() const { return path_; }

 private:
  bool OpenLocked(bool create);
  void CloseLocked();
  void SeekLocked(std::int64_t position, const wchar_t* caller);
  bool ReadAtLocked(std::int64_t position, std::string* record);
  // The position of the record of the local id (read into `record`), or -1.
  std::int64_t FindLocked(std::int32_t localId, std::string* record);
  // False when the bytes could not be kept.
  bool KeepPartialLocked(std::int64_t start, std::int64_t size, bool quiet);
  bool WriteWaitingLocked();
  bool ReadWaitingLocked(std::string* record);
  void ReportWriteFailureLocked(const std::wstring& text);
  void SetWaitingLocked();

  struct WaitingRecord {
    std::int32_t id;
    std::string bytes;
  };

  std::wstring path_;
  std::size_t recordSize_;
  std::mutex lock_;
  platform::HANDLE file_ = nullptr;
  std::int32_t nextId_ = 1;
  std::int64_t readPosition_ = 0;
  std::int64_t end_ = 0;  // the end of the last whole record
  platform::HANDLE hasRecords_ = nullptr;
  // Records not yet on the disk, in id order after the file's last record.
  std::deque<WaitingRecord> waiting_;
  std::atomic<std::size_t> waitingCount_{0};
  bool servedFromMemory_ = false;  // the last ReadFirst came from `waiting_`
  std::int64_t tornSize_ = 0;      // bytes after `end_` not yet kept in the ".partial" file
  std::chrono::steady_clock::time_point lastFailureLog_{};
  bool failureLogged_ = false;
};

}  // namespace tollgate::store

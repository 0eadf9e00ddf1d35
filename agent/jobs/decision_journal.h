// The journal of the agent's decisions: a small text file in the data folder that tells,
// after a restart of the agent or of the spooler, which jobs of the queues the agent has
// already decided (and how), which it had paused without deciding yet, and which it never
// touched.
//
// One line an entry, UTF-8, appended and flushed before the decision is applied:
//   <decision> TAB <submitted, YYYYMMDDTHHMMSS.mmm UTC> TAB <job id> TAB <queue> LF
// with the decision one of "paused", "released", "held", "deleted", "reported"; the last line
// of a job wins. One further line "since" TAB <time> gives the journal's memory: jobs
// submitted before it are the queues' history from before the agent ran. A line that cannot
// be read (a torn tail after a crash, a damaged byte) is passed over and logged.
//
// Bounds: at start the file is rewritten with only the entries of jobs still in a queue; it
// holds at most kMaxEntries jobs (the oldest are forgotten, and "since" moves past them) and
// is rewritten when it has grown to four lines a job kept; a file larger than kMaxReadBytes is read
// from its last kMaxReadBytes only.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "agent/spooler/printer_notification.h"
#include "platform/types.h"

namespace tollgate::jobs {

class DecisionJournal : public spooler::JobJournal {
 public:
  static constexpr const wchar_t* kFileName = L"decisions.log";
  static constexpr std::size_t kMaxEntries = 8192;
  static constexpr std::int64_t kMaxReadBytes = 4 << 20;

  // A job as the journal knows it.
  struct JobKey {
    std::wstring queue;
    platform::DWORD jobId = 0;
    platform::SystemTime submitted;
  };

  // `path` empty: the journal lives in memory only. `maxEntries` bounds the jobs it keeps.
  explicit DecisionJournal(std::wstring path, std::size_t maxEntries = kMaxEntries);
  DecisionJournal(const DecisionJournal&) = delete;
  DecisionJournal& operator=(const DecisionJournal&) = delete;
  ~DecisionJournal() override;

  // Reads the file. Without a file the journal's memory starts now: jobs already printed are
  // the queues' history.
  void Load();
  // Keeps only the entries of the jobs given (those still in a queue) and rewrites the file.
  void Compact(const std::vector<JobKey>& live);

  void Record(const std::wstring& queue, platform::DWORD jobId,
              const platform::SystemTime& submitted, spooler::JobDecision decision) override;
  std::optional<spooler::JobDecision> Find(const std::wstring& queue, platform::DWORD jobId,
                                           const platform::SystemTime& submitted) const override;
  bool Remembers(const platform::SystemTime& submitted) const override;

  std::size_t Size() const;
  // The submitted-time text of the journal ("YYYYMMDDTHHMMSS.mmm").
  static std::string TimeText(const platform::SystemTime& time);

 private:
  struct Entry {
    spooler::JobDecision decision;
    std::string time;  // TimeText of the submitted time
    std::string line;  // the entry's line, without the decision word
  };
  static std::string Key(const std::wstring& queue, platform::DWORD jobId, const std::string& time);
  bool ParseLine(const std::string& line);
  void AppendLocked(const std::string& line);
  void RewriteLocked();
  void CloseLocked();
  void TrimLocked();

  std::wstring path_;
  std::size_t maxEntries_;
  mutable std::mutex lock_;
  std::map<std::string, Entry> entries_;
  std::string since_;
  platform::HANDLE file_ = nullptr;
  std::size_t lines_ = 0;
  bool failed_ = false;  // a write failed: logged once until one works again
};

}  // namespace tollgate::jobs

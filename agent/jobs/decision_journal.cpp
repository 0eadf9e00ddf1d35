#include "agent/jobs/decision_journal.h"

#include <algorithm>
#include <cstdio>
#include <cwctype>

#include <boost/date_time/posix_time/posix_time.hpp>

#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"

namespace tollgate::jobs {
namespace {

using platform::DWORD;
using spooler::JobDecision;

constexpr const char* kSince = "since";

const char* DecisionWord(JobDecision decision) {
  switch (decision) {
    case JobDecision::kPaused:
      return "paused";
    case JobDecision::kReleased:
      return "released";
    case JobDecision::kHeld:
      return "held";
    case JobDecision::kDeleted:
      return "deleted";
    case JobDecision::kReported:
      return "reported";
  }
  return "paused";
}

bool DecisionOf(const std::string& word, JobDecision* decision) {
  for (JobDecision d : {JobDecision::kPaused, JobDecision::kReleased, JobDecision::kHeld,
                        JobDecision::kDeleted, JobDecision::kReported}) {
    if (word == DecisionWord(d)) {
      *decision = d;
      return true;
    }
  }
  return false;
}

// "YYYYMMDDTHHMMSS.mmm" with every digit in place.
bool IsTimeText(const std::string& text) {
  if (text.size() != 19 || text[8] != 'T' || text[15] != '.') return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (i == 8 || i == 15) continue;
    if (text[i] < '0' || text[i] > '9') return false;
  }
  return true;
}

std::string NowText() {
  boost::posix_time::ptime now = boost::posix_time::second_clock::universal_time();
  boost::gregorian::date day = now.date();
  boost::posix_time::time_duration time = now.time_of_day();
  platform::SystemTime s;
  s.wYear = static_cast<std::uint16_t>(day.year());
  s.wMonth = static_cast<std::uint16_t>(day.month());
  s.wDay = static_cast<std::uint16_t>(day.day());
  s.wHour = static_cast<std::uint16_t>(time.hours());
  s.wMinute = static_cast<std::uint16_t>(time.minutes());
  s.wSecond = static_cast<std::uint16_t>(time.seconds());
  return DecisionJournal::TimeText(s);
}

std::wstring Wide(const std::string& text) {
  return platform::system().MultiByteToWideChar(platform::CP_UTF8, text);
}

std::string Narrow(const std::wstring& text) {
  return platform::system().WideCharToMultiByte(platform::CP_UTF8, text);
}

}  // namespace

DecisionJournal::DecisionJournal(std::wstring path, std::size_t maxEntries)
    : path_(std::move(path)), maxEntries_(std::max<std::size_t>(maxEntries, 4)) {}

DecisionJournal::~DecisionJournal() {
  std::lock_guard<std::mutex> guard(lock_);
  CloseLocked();
}

std::string DecisionJournal::TimeText(const platform::SystemTime& t) {
  char text[32];
  std::snprintf(text, sizeof text, "%04u%02u%02uT%02u%02u%02u.%03u", unsigned{t.wYear} % 10000,
                unsigned{t.wMonth} % 100, unsigned{t.wDay} % 100, unsigned{t.wHour} % 100,
                unsigned{t.wMinute} % 100, unsigned{t.wSecond} % 100,
                unsigned{t.wMilliseconds} % 1000);
  return text;
}

std::string DecisionJournal::Key(const std::wstring& queue, DWORD jobId, const std::string& time) {
  // Queue names compare as the spooler compares them, whatever their case (Latin letters
  // with accents included, whatever the process's locale).
  std::wstring upper = queue;
  for (wchar_t& c : upper) {
    if ((c >= 0xE0 && c <= 0xFE && c != 0xF7) || (c >= L'a' && c <= L'z')) {
      c = static_cast<wchar_t>(c - 0x20);
    } else {
      c = static_cast<wchar_t>(std::towupper(c));
    }
  }
  return Narrow(upper) + '\t' + std::to_string(jobId) + '\t' + time;
}

bool DecisionJournal::ParseLine(const std::string& line) {
  std::vector<std::string> fields;
  std::size_t start = 0;
  for (;;) {
    std::size_t tab = line.find('\t', start);
    fields.push_back(line.substr(start, tab == std::string::npos ? tab : tab - start));
    if (tab == std::string::npos) break;
    start = tab + 1;
  }
  if (fields.size() == 2 && fields[0] == kSince && IsTimeText(fields[1])) {
    since_ = std::max(since_, fields[1]);
    return true;
  }
  JobDecision decision;
  if (fields.size() != 4 || !DecisionOf(fields[0], &decision) || !IsTimeText(fields[1]) ||
      fields[2].empty() || fields[2].size() > 10 || fields[3].empty() ||
      fields[3].find('\r') != std::string::npos)
    return false;
  unsigned long long id = 0;
  for (char c : fields[2]) {
    if (c < '0' || c > '9') return false;
    id = id * 10 + static_cast<unsigned>(c - '0');
  }
  if (id == 0 || id > 0xFFFFFFFFull) return false;
  std::wstring queue = Wide(fields[3]);
  if (queue.empty() || Narrow(queue) != fields[3]) return false;  // not UTF-8
  Entry& entry = entries_[Key(queue, static_cast<DWORD>(id), fields[1])];
  entry.decision = decision;
  entry.time = fields[1];
  entry.line = fields[1] + '\t' + fields[2] + '\t' + fields[3];
  return true;
}

void DecisionJournal::Load() {
  std::lock_guard<std::mutex> guard(lock_);
  entries_.clear();
  since_.clear();
  lines_ = 0;
  CloseLocked();
  if (path_.empty()) {
    since_ = NowText();
    return;
  }
  auto& files = platform::files();
  platform::HANDLE file = files.CreateFileW(path_, platform::GENERIC_READ,
                                            platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
                                            platform::OPEN_EXISTING);
  if (file == platform::INVALID_HANDLE_VALUE) {
    // No journal yet: the agent's first run here. What the queues hold is their history.
    since_ = NowText();
    RewriteLocked();
    return;
  }
  std::string text;
  std::int64_t size = 0;
  bool tail = false;
  if (files.GetFileSizeEx(file, &size) && size > kMaxReadBytes) {
    files.SetFilePointerEx(file, size - kMaxReadBytes, nullptr, platform::FILE_BEGIN);
    tail = true;
    Log(L"The decision journal is larger than it may be; only its end is read.");
  }
  char buffer[8192];
  for (;;) {
    DWORD read = 0;
    if (!files.ReadFile(file, buffer, sizeof buffer, &read) || read == 0) break;
    text.append(buffer, read);
    if (static_cast<std::int64_t>(text.size()) >= kMaxReadBytes) break;
  }
  platform::kernel().CloseHandle(file);
  std::size_t start = 0;
  if (tail) {
    std::size_t first = text.find('\n');
    start = first == std::string::npos ? text.size() : first + 1;
  }
  std::size_t bad = 0;
  std::size_t number = 0;
  while (start < text.size()) {
    std::size_t end = text.find('\n', start);
    ++number;
    if (end == std::string::npos) {
      // A line cut short by a crash while it was written.
      Log(L"The decision journal ends with a torn line; it is passed over.");
      break;
    }
    std::string line = text.substr(start, end - start);
    start = end + 1;
    if (line.empty()) continue;
    if (!ParseLine(line)) {
      ++bad;
      if (bad <= 10)
        Log(L"The decision journal's line " + std::to_wstring(number) +
            L" cannot be read; it is passed over.");
    }
  }
  if (bad > 10)
    Log(L"The decision journal had " + std::to_wstring(bad) + L" lines that cannot be read.");
  if (since_.empty()) since_ = NowText();
  TrimLocked();
  RewriteLocked();
}

void DecisionJournal::Compact(const std::vector<JobKey>& live) {
  std::lock_guard<std::mutex> guard(lock_);
  std::map<std::string, Entry> kept;
  for (const JobKey& job : live) {
    auto it = entries_.find(Key(job.queue, job.jobId, TimeText(job.submitted)));
    if (it != entries_.end()) kept.insert(*it);
  }
  entries_.swap(kept);
  RewriteLocked();
}

void DecisionJournal::Record(const std::wstring& queue, DWORD jobId,
                             const platform::SystemTime& submitted, JobDecision decision) {
  std::string time = TimeText(submitted);
  std::string narrowQueue = Narrow(queue);
  // A name that cannot be kept on one line is kept in memory only.
  bool writable = !narrowQueue.empty() && narrowQueue.find_first_of("\t\r\n") == std::string::npos;
  std::lock_guard<std::mutex> guard(lock_);
  Entry& entry = entries_[Key(queue, jobId, time)];
  entry.decision = decision;
  entry.time = time;
  entry.line = time + '\t' + std::to_string(jobId) + '\t' + narrowQueue;
  if (failed_) {
    // A write failed before (a full disk): what it left may be torn, and lines are missing.
    // The file is written whole again from memory, once it can be.
    if (entries_.size() > maxEntries_) TrimLocked();
    RewriteLocked();
    return;
  }
  if (writable) AppendLocked(std::string(DecisionWord(decision)) + '\t' + entry.line + '\n');
  if (entries_.size() > maxEntries_) {
    TrimLocked();
    RewriteLocked();
  } else if (lines_ > 4 * maxEntries_) {
    RewriteLocked();
  }
}

std::optional<JobDecision> DecisionJournal::Find(const std::wstring& queue, DWORD jobId,
                                                 const platform::SystemTime& submitted) const {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = entries_.find(Key(queue, jobId, TimeText(submitted)));
  if (it == entries_.end()) return std::nullopt;
  return it->second.decision;
}

bool DecisionJournal::Remembers(const platform::SystemTime& submitted) const {
  std::lock_guard<std::mutex> guard(lock_);
  return TimeText(submitted) > since_;
}

std::size_t DecisionJournal::Size() const {
  std::lock_guard<std::mutex> guard(lock_);
  return entries_.size();
}

void DecisionJournal::TrimLocked() {
  if (entries_.size() <= maxEntries_) return;
  // The oldest quarter is forgotten; the journal's memory starts after them.
  std::vector<std::string> times;
  times.reserve(entries_.size());
  for (const auto& [key, entry] : entries_) times.push_back(entry.time);
  std::sort(times.begin(), times.end());
  std::string cut = times[entries_.size() - maxEntries_ * 3 / 4];
  for (auto it = entries_.begin(); it != entries_.end();) {
    if (it->second.time < cut) {
      it = entries_.erase(it);
    } else {
      ++it;
    }
  }
  // A job submitted in the second of the cut is remembered no longer either.
  since_ = std::max(since_, cut);
}

void DecisionJournal::CloseLocked() {
  if (file_ != nullptr) platform::kernel().CloseHandle(file_);
  file_ = nullptr;
}

void DecisionJournal::AppendLocked(const std::string& line) {
  if (path_.empty()) return;
  auto& files = platform::files();
  if (file_ == nullptr) {
    platform::HANDLE file = files.CreateFileW(
        path_, platform::GENERIC_WRITE, platform::FILE_SHARE_READ | platform::FILE_SHARE_WRITE,
        platform::OPEN_ALWAYS);
    if (file == platform::INVALID_HANDLE_VALUE) {
      if (!failed_) Log(L"Couldn't open the decision journal: " + WindowsErrorResult()->Text());
      failed_ = true;
      return;
    }
    file_ = file;
  }
  DWORD written = 0;
  if (!files.SetFilePointerEx(file_, 0, nullptr, platform::FILE_END) ||
      !files.WriteFile(file_, line.data(), static_cast<DWORD>(line.size()), &written) ||
      written != line.size() || !files.FlushFileBuffers(file_)) {
    if (!failed_) Log(L"Couldn't write the decision journal: " + WindowsErrorResult()->Text());
    failed_ = true;
    CloseLocked();
    return;
  }
  failed_ = false;
  ++lines_;
}

void DecisionJournal::RewriteLocked() {
  CloseLocked();
  lines_ = 0;
  if (path_.empty()) return;
  std::string text = std::string(kSince) + '\t' + since_ + '\n';
  for (const auto& [key, entry] : entries_)
    text += std::string(DecisionWord(entry.decision)) + '\t' + entry.line + '\n';
  auto& files = platform::files();
  std::wstring fresh = path_ + L".new";
  platform::HANDLE file =
      files.CreateFileW(fresh, platform::GENERIC_WRITE, 0, platform::CREATE_ALWAYS);
  bool ok = file != platform::INVALID_HANDLE_VALUE;
  if (ok) {
    DWORD written = 0;
    ok = files.WriteFile(file, text.data(), static_cast<DWORD>(text.size()), &written) &&
         written == text.size() && files.FlushFileBuffers(file);
    platform::kernel().CloseHandle(file);
  }
  if (ok) ok = files.MoveFileExW(fresh, path_, platform::MOVEFILE_REPLACE_EXISTING);
  if (!ok) {
    // The old file stays as it is; it is written whole again at the next entry.
    if (!failed_) Log(L"Couldn't rewrite the decision journal: " + WindowsErrorResult()->Text());
    failed_ = true;
    files.DeleteFileW(fresh);
    return;
  }
  if (failed_) Log(L"The decision journal is written again.");
  failed_ = false;
  lines_ = entries_.size() + 1;
}

}  // namespace tollgate::jobs

#include "platform/sim/spooler.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <sstream>

#include "platform/sim/areas.h"
#include "platform/sim/text.h"

namespace platform::sim {
namespace {

constexpr wchar_t kPrintersKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
// The spool folder's value as Windows writes it.
constexpr wchar_t kDefaultSpoolDirectory[] = L"C:\\Windows\\System32\\spool\\PRINTERS";
constexpr wchar_t kMonitorsKey[] = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors";
constexpr wchar_t kLocalPortsKey[] = L"SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports";
constexpr std::size_t kMaxPending = 256;  // waiting notification entries before a discard
constexpr auto kPrintStart = std::chrono::milliseconds(200);  // a released job waits this long
constexpr auto kPrintTime = std::chrono::milliseconds(50);    // the least a job takes to print
constexpr std::size_t kMaxShadowBytes = 1 << 20;
constexpr DWORD ERROR_INVALID_LEVEL = 124;

std::wstring Upper(const std::wstring& s) {
  return UpperName(s);
}

std::wstring ProgramName() {
  char buffer[PATH_MAX];
  ssize_t n = ::readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  if (n <= 0) return L"";
  return WideFromUtf8(std::filesystem::path(std::string(buffer, n)).filename().string());
}

std::wstring HostUser() {
  const char* user = std::getenv("USER");
  return user != nullptr && *user != '\0' ? WideFromUtf8(user) : L"SYSTEM";
}

bool ReadValue(Registry& r, HKEY key, const std::wstring& name, DWORD* type,
               std::vector<std::uint8_t>* data) {
  DWORD size = 0;
  if (r.RegQueryValueExW(key, name, type, nullptr, &size) != ERROR_SUCCESS) return false;
  data->resize(size);
  return r.RegQueryValueExW(key, name, type, data->data(), &size) == ERROR_SUCCESS;
}

std::wstring TextOf(const std::vector<std::uint8_t>& data) {
  std::wstring t = WideFromUtf16Le(data.data(), data.size());
  while (!t.empty() && t.back() == L'\0') t.pop_back();
  return t;
}

bool ReadText(Registry& r, HKEY key, const std::wstring& name, std::wstring* text) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!ReadValue(r, key, name, &type, &data) || (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return false;
  }
  *text = TextOf(data);
  return true;
}

bool ReadDword(Registry& r, HKEY key, const std::wstring& name, DWORD* v) {
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  if (!ReadValue(r, key, name, &type, &data) || type != REG_DWORD || data.size() != 4) {
    return false;
  }
  *v = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<DWORD>(data[3]) << 24);
  return true;
}

std::vector<std::wstring> Subkeys(Registry& r, HKEY key) {
  std::vector<std::wstring> names;
  std::wstring name;
  for (DWORD i = 0; r.RegEnumKeyExW(key, i, &name) == ERROR_SUCCESS; ++i) names.push_back(name);
  return names;
}

std::string IsoNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  auto ms =
      std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
  std::tm tm{};
  gmtime_r(&t, &tm);
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec, static_cast<int>(ms));
  return text;
}

SystemTime SystemNow() {
  auto now = std::chrono::system_clock::now();
  std::time_t t = std::chrono::system_clock::to_time_t(now);
  std::tm tm{};
  gmtime_r(&t, &tm);
  SystemTime s;
  s.wYear = static_cast<std::uint16_t>(tm.tm_year + 1900);
  s.wMonth = static_cast<std::uint16_t>(tm.tm_mon + 1);
  s.wDayOfWeek = static_cast<std::uint16_t>(tm.tm_wday);
  s.wDay = static_cast<std::uint16_t>(tm.tm_mday);
  s.wHour = static_cast<std::uint16_t>(tm.tm_hour);
  s.wMinute = static_cast<std::uint16_t>(tm.tm_min);
  s.wSecond = static_cast<std::uint16_t>(tm.tm_sec);
  return s;
}

bool KnownDatatype(const std::wstring& d) {
  std::wstring u = Upper(d);
  return u == L"RAW" || u == L"TEXT" || u == L"RAW [FF APPENDED]" || u == L"RAW [FF AUTO]" ||
         u == L"NT EMF 1.003" || u == L"NT EMF 1.006" || u == L"NT EMF 1.007" ||
         u == L"NT EMF 1.008" || u == L"XPS2GDI";
}

using PaperTable = std::vector<std::pair<std::uint16_t, std::wstring>>;

// The paper table of a driver, unless its queue names its own ("Papers"): the text-only
// driver knows the plain sizes, office laser drivers the common sheets and envelopes.
const PaperTable& DefaultPapers(const std::wstring& driver) {
  static const PaperTable text{{1, L"Letter"}, {5, L"Legal"}, {9, L"A4"}};
  static const PaperTable office{
      {1, L"Letter"}, {5, L"Legal"},     {7, L"Executive"},     {8, L"A3"},          {9, L"A4"},
      {11, L"A5"},    {13, L"B5 (JIS)"}, {20, L"Envelope #10"}, {27, L"Envelope DL"}};
  static const PaperTable other{{1, L"Letter"}, {5, L"Legal"}, {9, L"A4"}, {11, L"A5"}};
  std::wstring u = UpperName(driver);
  if (u.find(L"TEXT ONLY") != std::wstring::npos) return text;
  for (const wchar_t* maker : {L"HP ", L"BROTHER", L"KYOCERA", L"LEXMARK", L"XEROX", L"KONICA",
                               L"RICOH", L"CANON", L"SAMSUNG", L"EPSON"}) {
    if (u.find(maker) != std::wstring::npos) return office;
  }
  return other;
}

std::string HostName(const std::wstring& queue) {
  std::string name = Utf8FromWide(queue);
  for (char& c : name) {
    if (c == '/' || c == '\\' || c == '\0') c = '_';
  }
  return name == "." || name == ".." ? "_" : name;
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
  static const char* digits = "0123456789abcdef";
  std::string out;
  for (std::uint8_t b : bytes) {
    out += digits[b >> 4];
    out += digits[b & 15];
  }
  return out;
}

bool Unhex(const std::string& text, std::vector<std::uint8_t>* bytes) {
  if (text.size() % 2 != 0) return false;
  bytes->clear();
  for (std::size_t k = 0; k < text.size(); k += 2) {
    auto d = [](char c) {
      return c >= '0' && c <= '9' ? c - '0' : c >= 'a' && c <= 'f' ? c - 'a' + 10 : -1;
    };
    int hi = d(text[k]), lo = d(text[k + 1]);
    if (hi < 0 || lo < 0) return false;
    bytes->push_back(static_cast<std::uint8_t>(hi * 16 + lo));
  }
  return true;
}

}  // namespace

SpoolCaller& CurrentSpoolCaller() {
  thread_local SpoolCaller caller{ProgramName(), HostUser(), L"", 0, L""};
  return caller;
}

SimSpooler::SimSpooler(std::filesystem::path folder, Registry& registry, HandleTable& handles,
                       std::wstring computerName)
    : folder_(std::move(folder)),
      registry_(registry),
      handles_(handles),
      computerName_(std::move(computerName)) {}

SimSpooler::~SimSpooler() {
  Stop();
}

bool SimSpooler::Running() {
  std::lock_guard<std::mutex> guard(lock_);
  return running_;
}

std::size_t SimSpooler::QueueCount() {
  std::lock_guard<std::mutex> guard(lock_);
  if (!running_) return 0;
  if (!loaded_) LoadLocked();
  return queues_.size();
}

void SimSpooler::WriteDefaultSpoolDirectory() {
  HKEY key = nullptr;
  if (registry_.RegCreateKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, KEY_ALL_ACCESS, &key, nullptr) !=
      ERROR_SUCCESS) {
    return;
  }
  DWORD type = 0, size = 0;
  if (registry_.RegQueryValueExW(key, L"DefaultSpoolDirectory", &type, nullptr, &size) ==
      ERROR_FILE_NOT_FOUND) {
    std::vector<std::uint8_t> bytes = Utf16LeFromWide(kDefaultSpoolDirectory);
    bytes.insert(bytes.end(), 2, 0);
    registry_.RegSetValueExW(key, L"DefaultSpoolDirectory", REG_SZ, bytes.data(),
                             static_cast<DWORD>(bytes.size()));
  }
  registry_.RegCloseKey(key);
}

void SimSpooler::Start() {
  std::lock_guard<std::mutex> guard(lock_);
  if (running_) return;
  running_ = true;
  loaded_ = false;  // loaded on first use
}

void SimSpooler::EndRunLocked(bool crashed, std::unique_lock<std::mutex>& lock) {
  running_ = false;
  loaded_ = false;
  ++run_;
  for (auto& [id, w] : watchers_) {
    w.failed = true;
    if (w.signal) w.signal(true);
  }
  changed_.notify_all();
  std::thread printer = std::move(printer_);
  lock.unlock();
  if (printer.joinable()) printer.join();
  lock.lock();
  // Only what is in the spool directories survives; a document that was still being written
  // is gone with the process that wrote it.
  for (auto& [id, job] : jobs_) {
    if (!job.complete && crashed) {
      std::error_code ec;
      std::filesystem::remove(job.spool, ec);
      std::filesystem::remove(job.shadow, ec);
    }
  }
  jobs_.clear();
  queues_.clear();
  ports_.clear();
  printers_.clear();
}

void SimSpooler::Stop() {
  std::unique_lock<std::mutex> lock(lock_);
  if (!running_) return;
  EndRunLocked(false, lock);
}

void SimSpooler::Crash() {
  std::unique_lock<std::mutex> lock(lock_);
  if (!running_) return;
  EndRunLocked(true, lock);
}

bool SimSpooler::UpLocked() {
  if (!running_) return Fail(RPC_S_SERVER_UNAVAILABLE, false);
  if (!loaded_) LoadLocked();
  return true;
}

void SimSpooler::LoadLocked() {
  loaded_ = true;
  LoadPortsLocked();
  LoadQueuesLocked(false);
  LoadJobsLocked();
  std::uint64_t run = run_;
  if (!printer_.joinable()) printer_ = std::thread([this, run] { PrinterLoop(run); });
}

void SimSpooler::LoadPortsLocked() {
  ports_.clear();
  HKEY monitors = nullptr;
  if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kMonitorsKey, KEY_READ, &monitors) == 0) {
    for (const std::wstring& monitor : Subkeys(registry_, monitors)) {
      HKEY ports = nullptr;
      if (registry_.RegOpenKeyExW(monitors, monitor + L"\\Ports", KEY_READ, &ports) != 0) continue;
      std::wstring u = Upper(monitor);
      PortInfo2 kind;
      if (u == L"STANDARD TCP/IP PORT") {
        kind = {L"", L"TCPMON.DLL", L"Standard TCP/IP Port",
                PORT_TYPE_WRITE | PORT_TYPE_READ | PORT_TYPE_NET_ATTACHED};
      } else if (u == L"HP STANDARD TCP/IP PORT") {
        kind = {L"", L"HPTCPMON.DLL", L"HP Standard TCP/IP Port",
                PORT_TYPE_WRITE | PORT_TYPE_READ | PORT_TYPE_NET_ATTACHED};
      } else if (u == L"LPR PORT") {
        kind = {L"", L"LPR Port", L"LPR Port", PORT_TYPE_WRITE | PORT_TYPE_NET_ATTACHED};
      } else if (u == L"WSD PORT") {
        kind = {L"", L"WSD Port Monitor", L"WSD Port",
                PORT_TYPE_WRITE | PORT_TYPE_READ | PORT_TYPE_NET_ATTACHED};
      } else {
        HKEY m = nullptr;
        std::wstring driver = monitor;
        if (registry_.RegOpenKeyExW(monitors, monitor, KEY_READ, &m) == 0) {
          ReadText(registry_, m, L"Driver", &driver);
          registry_.RegCloseKey(m);
        }
        kind = {L"", driver, monitor, PORT_TYPE_WRITE};
      }
      for (const std::wstring& port : Subkeys(registry_, ports)) {
        PortInfo2 p = kind;
        p.pPortName = port;
        ports_.push_back(p);
      }
      registry_.RegCloseKey(ports);
    }
    registry_.RegCloseKey(monitors);
  }
  HKEY local = nullptr;
  if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kLocalPortsKey, KEY_READ, &local) == 0) {
    std::wstring name;
    DWORD type = 0;
    std::vector<std::uint8_t> data;
    for (DWORD i = 0; registry_.RegEnumValueW(local, i, &name, &type, &data) == 0; ++i) {
      std::wstring u = Upper(name);
      DWORD portType = PORT_TYPE_WRITE;
      if (u.rfind(L"LPT", 0) == 0 || u.rfind(L"COM", 0) == 0) portType |= PORT_TYPE_READ;
      if (u.size() >= 5 && u.rfind(L"TS", 0) == 0 && std::iswdigit(u[2]) && std::iswdigit(u[3]) &&
          std::iswdigit(u[4])) {
        portType |= PORT_TYPE_REDIRECTED;
      }
      ports_.push_back(PortInfo2{name, L"Local Port", L"Local Port", portType});
    }
    registry_.RegCloseKey(local);
  }
}

void SimSpooler::LoadQueuesLocked(bool notify) {
  std::map<std::wstring, Queue> found;
  HKEY printers = nullptr;
  if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, KEY_READ, &printers) == 0) {
    for (const std::wstring& name : Subkeys(registry_, printers)) {
      HKEY key = nullptr;
      if (registry_.RegOpenKeyExW(printers, name, KEY_READ, &key) != 0) continue;
      Queue q;
      q.name = name;
      PrinterInfo2& p = q.info;
      p.pPrinterName = name;
      ReadText(registry_, key, L"Name", &p.pPrinterName);
      if (p.pPrinterName.empty()) p.pPrinterName = name;
      ReadText(registry_, key, L"Port", &p.pPortName);
      ReadText(registry_, key, L"Printer Driver", &p.pDriverName);
      ReadText(registry_, key, L"Share Name", &p.pShareName);
      ReadText(registry_, key, L"Description", &p.pComment);
      ReadText(registry_, key, L"Location", &p.pLocation);
      ReadText(registry_, key, L"Separator File", &p.pSepFile);
      p.pPrintProcessor = L"winprint";
      ReadText(registry_, key, L"Print Processor", &p.pPrintProcessor);
      p.pDatatype = L"RAW";
      ReadText(registry_, key, L"Datatype", &p.pDatatype);
      ReadText(registry_, key, L"Parameters", &p.pParameters);
      p.Attributes = PRINTER_ATTRIBUTE_LOCAL;
      ReadDword(registry_, key, L"Attributes", &p.Attributes);
      ReadDword(registry_, key, L"Priority", &p.Priority);
      ReadDword(registry_, key, L"Default Priority", &p.DefaultPriority);
      ReadDword(registry_, key, L"Status", &p.Status);
      ReadText(registry_, key, L"SpoolDirectory", &q.spoolDirectory);
      DWORD type = 0;
      std::vector<std::uint8_t> data;
      if (ReadValue(registry_, key, L"Papers", &type, &data) && type == REG_MULTI_SZ) {
        // "id=name" entries, as DeviceCapabilities reports them.
        std::wstring all = WideFromUtf16Le(data.data(), data.size());
        std::size_t at = 0;
        while (at < all.size() && q.papers.size() < 512) {
          std::size_t end = all.find(L'\0', at);
          if (end == std::wstring::npos) end = all.size();
          std::wstring entry = all.substr(at, end - at);
          at = end + 1;
          std::size_t eq = entry.find(L'=');
          if (eq == std::wstring::npos || eq == 0 || eq > 5) continue;
          unsigned long id = std::wcstoul(entry.substr(0, eq).c_str(), nullptr, 10);
          if (id == 0 || id > 0xFFFF) continue;
          q.papers.emplace_back(static_cast<std::uint16_t>(id), entry.substr(eq + 1, 63));
        }
      }
      DevMode dm;
      dm.dmDeviceName = p.pPrinterName.substr(0, 31);
      dm.dmFields = DM_ORIENTATION | DM_PAPERSIZE | DM_COPIES | DM_COLOR | DM_DUPLEX;
      p.pDevMode = dm;
      registry_.RegCloseKey(key);
      found[Upper(name)] = std::move(q);
    }
    registry_.RegCloseKey(printers);
  }
  for (auto& [key, q] : found) {
    auto old = queues_.find(key);
    q.id = old != queues_.end() ? old->second.id : nextQueueId_++;
    if (notify && old == queues_.end()) NotifyPrinterLocked(q, PRINTER_CHANGE_ADD_PRINTER);
  }
  if (notify) {
    for (auto& [key, q] : queues_) {
      if (found.find(key) == found.end()) NotifyPrinterLocked(q, PRINTER_CHANGE_DELETE_PRINTER);
    }
  }
  queues_ = std::move(found);
}

std::filesystem::path SimSpooler::SpoolDirectoryLocked(const Queue& q) {
  std::wstring dir = q.spoolDirectory;
  if (dir.empty()) {
    HKEY key = nullptr;
    if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, KEY_READ, &key) == 0) {
      ReadText(registry_, key, L"DefaultSpoolDirectory", &dir);
      registry_.RegCloseKey(key);
    }
  }
  if (dir.empty()) return folder_ / "Windows" / "System32" / "spool" / "PRINTERS";
  std::filesystem::path host(Machine::HostPath(folder_, dir));
  return host.is_absolute() ? host : folder_ / host;
}

std::filesystem::path SimSpooler::SpoolDirectory(const std::wstring& queue) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return {};
  Queue* q = QueueLocked(Upper(queue));
  return q == nullptr ? std::filesystem::path{} : SpoolDirectoryLocked(*q);
}

void SimSpooler::LoadJobsLocked() {
  jobs_.clear();
  std::error_code ec;
  std::ifstream counter(folder_ / "spooler-next-job");
  DWORD stored = 0;
  if (counter >> stored && stored > 0 && stored < 0x7FFFFFFF) nextJob_ = std::max(nextJob_, stored);
  reservedJob_ = 0;
  std::map<std::filesystem::path, bool> seen;
  for (auto& [key, q] : queues_) {
    std::filesystem::path dir = SpoolDirectoryLocked(q);
    if (seen[dir]) continue;
    seen[dir] = true;
    for (std::filesystem::directory_iterator it(dir, ec), end; !ec && it != end; it.increment(ec)) {
      const auto& path = it->path();
      if (path.extension() == ".spl") {
        // The spool file of a document that was never completely written.
        std::filesystem::path shadow = path;
        shadow.replace_extension(".shd");
        std::string stem = path.stem().string();
        bool jobName =
            stem.size() >= 5 && stem.find_first_not_of("0123456789") == std::string::npos;
        if (jobName && !std::filesystem::exists(shadow)) std::filesystem::remove(path, ec);
        ec.clear();
        continue;
      }
      if (path.extension() != ".shd") continue;
      std::ifstream in(path, std::ios::binary);
      std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
      rapidjson::Document d;
      if (text.size() <= kMaxShadowBytes) d.Parse(text.c_str(), text.size());
      auto str = [&](const char* k) {
        auto m = d.FindMember(k);
        return m != d.MemberEnd() && m->value.IsString()
                   ? WideFromUtf8(
                         std::string_view(m->value.GetString(), m->value.GetStringLength()))
                   : std::wstring();
      };
      auto num = [&](const char* k) {
        auto m = d.FindMember(k);
        return m != d.MemberEnd() && m->value.IsUint() ? m->value.GetUint() : 0u;
      };
      if (text.size() > kMaxShadowBytes || d.HasParseError() || !d.IsObject() || num("job") == 0 ||
          !d.HasMember("complete") || !d["complete"].IsBool()) {
        std::fprintf(stderr, "spooler: shadow file %s is unreadable and was passed over\n",
                     path.string().c_str());
        continue;
      }
      Job job;
      JobInfo2& j = job.info;
      j.JobId = num("job");
      job.queue = Upper(str("queue"));
      job.complete = d["complete"].GetBool();
      job.shadow = path;
      job.spool = path;
      job.spool.replace_extension(".spl");
      Queue* jq = QueueLocked(job.queue);
      if (jq == nullptr || !job.complete || !std::filesystem::exists(job.spool) ||
          jobs_.count(j.JobId) != 0) {
        std::filesystem::remove(job.spool, ec);
        std::filesystem::remove(path, ec);
        continue;
      }
      j.pPrinterName = jq->info.pPrinterName;
      j.pMachineName = str("machine");
      j.pUserName = str("user");
      j.pDocument = str("document");
      j.pNotifyName = str("notify");
      j.pDatatype = str("datatype");
      j.pPrintProcessor = L"winprint";
      j.pDriverName = jq->info.pDriverName;
      j.pStatus = str("statusText");
      j.Status = num("status") & ~(JOB_STATUS_PRINTING | JOB_STATUS_SPOOLING);
      j.Priority = num("priority");
      j.TotalPages = num("pages");
      j.Size = static_cast<DWORD>(std::filesystem::file_size(job.spool, ec));
      std::vector<std::uint8_t> raw;
      DevMode dm;
      if (Unhex(Utf8FromWide(str("devmode")), &raw) &&
          DevModeFromBytes(raw.data(), raw.size(), &dm)) {
        j.pDevMode = dm;
      }
      j.Submitted = SystemNow();
      if (auto m = d.FindMember("submitted"); m != d.MemberEnd() && m->value.IsUint64()) {
        std::uint64_t v = m->value.GetUint64();
        SystemTime kept;
        kept.wSecond = static_cast<std::uint16_t>(v % 100);
        kept.wMinute = static_cast<std::uint16_t>(v / 100 % 100);
        kept.wHour = static_cast<std::uint16_t>(v / 10000 % 100);
        kept.wDay = static_cast<std::uint16_t>(v / 1000000 % 100);
        kept.wMonth = static_cast<std::uint16_t>(v / 100000000 % 100);
        kept.wYear = static_cast<std::uint16_t>(v / 10000000000 % 10000);
        if (kept.wYear >= 1601 && kept.wMonth >= 1 && kept.wMonth <= 12 && kept.wDay >= 1 &&
            kept.wDay <= 31 && kept.wHour < 24 && kept.wMinute < 60 && kept.wSecond < 60)
          j.Submitted = kept;
      }
      job.spooledAt = std::chrono::steady_clock::now();
      job.order = nextOrder_++;
      nextJob_ = std::max(nextJob_, j.JobId + 1);
      jobs_[j.JobId] = std::move(job);
    }
  }
}

SimSpooler::Queue* SimSpooler::QueueLocked(const std::wstring& key) {
  auto it = queues_.find(key);
  return it == queues_.end() ? nullptr : &it->second;
}

SimSpooler::PrinterHandle* SimSpooler::HandleLocked(HANDLE h) {
  auto it = printers_.find(reinterpret_cast<std::uintptr_t>(h));
  if (it == printers_.end() || it->second.run != run_) return nullptr;
  if (!it->second.queue.empty() && queues_.find(it->second.queue) == queues_.end()) return nullptr;
  return &it->second;
}

PrinterInfo2 SimSpooler::PrinterRecordLocked(const Queue& q) {
  PrinterInfo2 p = q.info;
  p.pServerName.clear();
  p.cJobs = 0;
  std::wstring key = Upper(q.name);
  for (auto& [id, job] : jobs_) {
    if (job.queue == key) ++p.cJobs;
  }
  return p;
}

void SimSpooler::Journal(const std::wstring& queue, DWORD job, const char* event,
                         const std::vector<std::pair<std::string, std::wstring>>& details) {
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> w(out);
  std::string time = IsoNow();
  w.StartObject();
  w.Key("time");
  w.String(time.c_str());
  std::string q = Utf8FromWide(queue);
  w.Key("queue");
  w.String(q.c_str(), static_cast<rapidjson::SizeType>(q.size()));
  w.Key("job");
  w.Uint(job);
  w.Key("event");
  w.String(event);
  for (const auto& [k, v] : details) {
    std::string u = Utf8FromWide(v);
    w.Key(k.c_str());
    w.String(u.c_str(), static_cast<rapidjson::SizeType>(u.size()));
  }
  std::string by = Utf8FromWide(CurrentSpoolCaller().program);
  w.Key("by");
  w.String(by.c_str(), static_cast<rapidjson::SizeType>(by.size()));
  w.EndObject();
  std::lock_guard<std::mutex> guard(journalLock_);
  if (!journal_.is_open())
    journal_.open(folder_ / "spooler.jsonl", std::ios::binary | std::ios::app);
  journal_ << out.GetString() << "\n";
  journal_.flush();
}

void SimSpooler::SaveShadowLocked(const Job& job) {
  // A document still being written has no shadow yet: it does not outlive the spooler.
  if (!job.complete) return;
  rapidjson::StringBuffer out;
  rapidjson::Writer<rapidjson::StringBuffer> w(out);
  const JobInfo2& j = job.info;
  auto str = [&](const char* k, const std::wstring& v) {
    std::string u = Utf8FromWide(v);
    w.Key(k);
    w.String(u.c_str(), static_cast<rapidjson::SizeType>(u.size()));
  };
  w.StartObject();
  w.Key("job");
  w.Uint(j.JobId);
  str("queue", queues_.count(job.queue) ? queues_[job.queue].name : job.queue);
  str("machine", j.pMachineName);
  str("user", j.pUserName);
  str("document", j.pDocument);
  str("notify", j.pNotifyName);
  str("datatype", j.pDatatype);
  str("statusText", j.pStatus);
  w.Key("status");
  w.Uint(j.Status);
  w.Key("priority");
  w.Uint(j.Priority);
  w.Key("pages");
  w.Uint(j.TotalPages);
  w.Key("complete");
  w.Bool(job.complete);
  // The time the job was submitted outlives the spooler, as the shadow file keeps it.
  const SystemTime& t = j.Submitted;
  w.Key("submitted");
  w.Uint64(((((std::uint64_t{t.wYear} * 100 + t.wMonth) * 100 + t.wDay) * 100 + t.wHour) * 100 +
            t.wMinute) *
               100 +
           t.wSecond);
  if (j.pDevMode) str("devmode", WideFromUtf8(Hex(DevModeBytes(*j.pDevMode))));
  w.EndObject();
  std::filesystem::path temp = job.shadow;
  temp += ".tmp";
  {
    std::ofstream file(temp, std::ios::binary | std::ios::trunc);
    file << out.GetString();
  }
  std::error_code ec;
  std::filesystem::rename(temp, job.shadow, ec);
}

PrinterNotifyInfoData SimSpooler::JobFieldLocked(const Job& job, std::uint16_t field) {
  PrinterNotifyInfoData d;
  d.Type = JOB_NOTIFY_TYPE;
  d.Field = field;
  d.Id = job.info.JobId;
  const JobInfo2& j = job.info;
  switch (field) {
    case JOB_NOTIFY_FIELD_PRINTER_NAME:
      d.pBuf = j.pPrinterName;
      break;
    case JOB_NOTIFY_FIELD_MACHINE_NAME:
      d.pBuf = j.pMachineName;
      break;
    case JOB_NOTIFY_FIELD_USER_NAME:
      d.pBuf = j.pUserName;
      break;
    case JOB_NOTIFY_FIELD_NOTIFY_NAME:
      d.pBuf = j.pNotifyName;
      break;
    case JOB_NOTIFY_FIELD_DATATYPE:
      d.pBuf = j.pDatatype;
      break;
    case JOB_NOTIFY_FIELD_STATUS_STRING:
      d.pBuf = j.pStatus;
      break;
    case JOB_NOTIFY_FIELD_DOCUMENT:
      d.pBuf = j.pDocument;
      break;
    case JOB_NOTIFY_FIELD_STATUS:
      d.adwData[0] = j.Status;
      break;
    case JOB_NOTIFY_FIELD_POSITION:
      d.adwData[0] = j.Position;
      break;
    case JOB_NOTIFY_FIELD_TOTAL_PAGES:
      d.adwData[0] = j.TotalPages;
      break;
    case JOB_NOTIFY_FIELD_TOTAL_BYTES:
      d.adwData[0] = j.Size;
      break;
    default:
      break;
  }
  return d;
}

void SimSpooler::AddEntryLocked(Watcher& w, PrinterNotifyInfoData d) {
  if (w.discarded) return;
  // One entry per job (or printer) and field: a later value replaces the waiting one.
  for (auto& e : w.pending) {
    if (e.Type == d.Type && e.Field == d.Field && e.Id == d.Id) {
      e = std::move(d);
      return;
    }
  }
  if (w.pending.size() >= kMaxPending) {
    w.pending.clear();
    w.discarded = true;
    return;
  }
  w.pending.push_back(std::move(d));
}

void SimSpooler::NotifyJobLocked(const Job& job, DWORD change, std::vector<std::uint16_t> fields) {
  for (auto& [id, w] : watchers_) {
    if (w.failed || w.queue != job.queue) continue;
    bool wanted = (w.filter & change) != 0;
    for (const auto& t : w.options.pTypes) {
      if (t.Type != JOB_NOTIFY_TYPE) continue;
      for (std::uint16_t f : t.pFields) {
        if (!fields.empty() && std::find(fields.begin(), fields.end(), f) == fields.end()) continue;
        AddEntryLocked(w, JobFieldLocked(job, f));
        wanted = true;
      }
    }
    if (!wanted) continue;
    w.change |= change;
    if (w.signal) w.signal(false);
  }
}

void SimSpooler::NotifyPrinterLocked(const Queue& q, DWORD change) {
  for (auto& [id, w] : watchers_) {
    if (w.failed || !(w.queue.empty() || w.queue == Upper(q.name))) continue;
    bool wanted = (w.filter & change) != 0;
    for (const auto& t : w.options.pTypes) {
      if (t.Type != PRINTER_NOTIFY_TYPE) continue;
      for (std::uint16_t f : t.pFields) {
        PrinterNotifyInfoData d;
        d.Type = PRINTER_NOTIFY_TYPE;
        d.Field = f;
        d.Id = q.id;
        if (f == PRINTER_NOTIFY_FIELD_PRINTER_NAME) d.pBuf = q.info.pPrinterName;
        if (f == PRINTER_NOTIFY_FIELD_PORT_NAME) d.pBuf = q.info.pPortName;
        if (f == PRINTER_NOTIFY_FIELD_DRIVER_NAME) d.pBuf = q.info.pDriverName;
        if (f == PRINTER_NOTIFY_FIELD_STATUS) d.adwData[0] = q.info.Status;
        AddEntryLocked(w, std::move(d));
        wanted = true;
      }
    }
    if (!wanted) continue;
    w.change |= change;
    if (w.signal) w.signal(false);
  }
}

void SimSpooler::KeepPrintedLocked(const std::wstring& queue) {
  constexpr std::size_t kKeptPrinted = 256;
  std::vector<std::pair<std::uint64_t, DWORD>> printed;
  for (auto& [id, job] : jobs_) {
    if (job.queue == queue && (job.info.Status & JOB_STATUS_PRINTED) != 0)
      printed.emplace_back(job.order, id);
  }
  if (printed.size() <= kKeptPrinted) return;
  std::sort(printed.begin(), printed.end());
  for (std::size_t i = 0; i + kKeptPrinted < printed.size(); ++i)
    RemoveJobLocked(printed[i].second);
}

void SimSpooler::RemoveJobLocked(DWORD id) {
  auto it = jobs_.find(id);
  if (it == jobs_.end()) return;
  Job& job = it->second;
  job.writing.reset();
  job.info.Status |= JOB_STATUS_DELETED;
  job.info.Status &= ~JOB_STATUS_DELETING;
  NotifyJobLocked(job, PRINTER_CHANGE_DELETE_JOB, {JOB_NOTIFY_FIELD_STATUS});
  std::error_code ec;
  std::filesystem::remove(job.spool, ec);
  std::filesystem::remove(job.shadow, ec);
  jobs_.erase(it);
}

bool SimSpooler::EnumPrintersW(DWORD flags, const std::wstring& name,
                               std::vector<PrinterInfo2>* printers) {
  std::lock_guard<std::mutex> guard(lock_);
  if (printers == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  if (!UpLocked()) return false;
  if ((flags & (PRINTER_ENUM_LOCAL | PRINTER_ENUM_NAME)) == 0)
    return Fail(ERROR_INVALID_FLAGS, false);
  if ((flags & PRINTER_ENUM_NAME) != 0 && !name.empty()) {
    std::wstring n = name;
    while (!n.empty() && n[0] == L'\\') n.erase(0, 1);
    if (Upper(n) != Upper(computerName_)) return Fail(ERROR_INVALID_NAME, false);
  }
  printers->clear();
  for (auto& [key, q] : queues_) printers->push_back(PrinterRecordLocked(q));
  return true;
}

bool SimSpooler::EnumPortsW(const std::wstring& server, std::vector<PortInfo2>* ports) {
  std::lock_guard<std::mutex> guard(lock_);
  if (ports == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  if (!UpLocked()) return false;
  if (!server.empty()) {
    std::wstring n = server;
    while (!n.empty() && n[0] == L'\\') n.erase(0, 1);
    if (Upper(n) != Upper(computerName_)) return Fail(ERROR_INVALID_NAME, false);
  }
  LoadPortsLocked();
  *ports = ports_;
  return true;
}

bool SimSpooler::OpenPrinterW(const std::wstring& name, HANDLE* printer,
                              const PrinterDefaults* defaults) {
  std::lock_guard<std::mutex> guard(lock_);
  if (printer == nullptr) return Fail(ERROR_INVALID_PARAMETER, false);
  *printer = nullptr;
  if (!UpLocked()) return false;
  PrinterHandle h;
  h.run = run_;
  if (!name.empty()) {
    std::wstring n = name;
    // "\\SERVER\queue" names a queue of this machine too.
    if (n.rfind(L"\\\\", 0) == 0) {
      std::size_t slash = n.find(L'\\', 2);
      if (slash != std::wstring::npos && Upper(n.substr(2, slash - 2)) == Upper(computerName_)) {
        n = n.substr(slash + 1);
      }
    }
    std::wstring key = Upper(n);
    if (queues_.find(key) == queues_.end()) {
      for (auto& [k, q] : queues_) {
        if (Upper(q.info.pPrinterName) == key) key = k;
      }
    }
    if (queues_.find(key) == queues_.end()) return Fail(ERROR_INVALID_PRINTER_NAME, false);
    h.queue = key;
  }
  if (defaults != nullptr) {
    h.defaults = *defaults;
    if (h.defaults.pDatatype && !KnownDatatype(*h.defaults.pDatatype)) {
      return Fail(ERROR_INVALID_DATATYPE, false);
    }
  }
  std::uintptr_t value = nextHandle_ += 4;
  printers_[value] = std::move(h);
  *printer = reinterpret_cast<HANDLE>(value);
  return true;
}

bool SimSpooler::ClosePrinter(HANDLE printer) {
  std::unique_lock<std::mutex> lock(lock_);
  if (!running_) return Fail(RPC_S_SERVER_UNAVAILABLE, false);
  auto it = printers_.find(reinterpret_cast<std::uintptr_t>(printer));
  if (it == printers_.end() || it->second.run != run_) return Fail(ERROR_INVALID_HANDLE, false);
  DWORD open = it->second.docJob;
  printers_.erase(it);
  if (open != 0) {
    // A document left open is ended with its handle.
    auto job = jobs_.find(open);
    if (job != jobs_.end() && !job->second.complete) {
      job->second.info.Status |= JOB_STATUS_DELETING;
      RemoveJobLocked(open);
    }
  }
  return true;
}

bool SimSpooler::GetPrinterW(HANDLE printer, PrinterInfo2* info) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return false;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr || info == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (h->queue.empty()) return Fail(ERROR_INVALID_HANDLE, false);
  *info = PrinterRecordLocked(queues_[h->queue]);
  return true;
}

DWORD SimSpooler::GetPrinterDataW(HANDLE printer, const std::wstring& valueName, DWORD* type,
                                  std::vector<std::uint8_t>* data) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return RPC_S_SERVER_UNAVAILABLE;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr || data == nullptr) return ERROR_INVALID_HANDLE;
  DWORD t = 0;
  if (h->queue.empty()) {
    if (Upper(valueName) == L"DEFAULTSPOOLDIRECTORY") {
      std::wstring dir;
      HKEY key = nullptr;
      if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, KEY_READ, &key) == 0) {
        ReadText(registry_, key, L"DefaultSpoolDirectory", &dir);
        registry_.RegCloseKey(key);
      }
      if (dir.empty()) dir = kDefaultSpoolDirectory;  // the folder the spooler falls back to
      *data = Utf16LeFromWide(dir);
      data->insert(data->end(), {0, 0});
      if (type != nullptr) *type = REG_SZ;
      return ERROR_SUCCESS;
    }
    HKEY key = nullptr;
    if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, kPrintersKey, KEY_READ, &key) != 0) {
      return ERROR_FILE_NOT_FOUND;
    }
    bool ok = ReadValue(registry_, key, valueName, &t, data);
    registry_.RegCloseKey(key);
    if (!ok) return ERROR_FILE_NOT_FOUND;
  } else {
    HKEY key = nullptr;
    std::wstring path = std::wstring(kPrintersKey) + L"\\" + queues_[h->queue].name;
    bool ok = false;
    if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path + L"\\PrinterDriverData", KEY_READ,
                                &key) == 0) {
      ok = ReadValue(registry_, key, valueName, &t, data);
      registry_.RegCloseKey(key);
    }
    if (!ok && registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, path, KEY_READ, &key) == 0) {
      ok = ReadValue(registry_, key, valueName, &t, data);
      registry_.RegCloseKey(key);
    }
    if (!ok) return ERROR_FILE_NOT_FOUND;
  }
  if (type != nullptr) *type = t;
  return ERROR_SUCCESS;
}

DWORD SimSpooler::SetPrinterDataExW(HANDLE printer, const std::wstring& keyName,
                                    const std::wstring& valueName, DWORD type,
                                    const std::vector<std::uint8_t>& data) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return RPC_S_SERVER_UNAVAILABLE;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr) return ERROR_INVALID_HANDLE;
  if (h->queue.empty()) return ERROR_ACCESS_DENIED;
  Queue& q = queues_[h->queue];
  std::wstring path = std::wstring(kPrintersKey) + L"\\" + q.name;
  if (!keyName.empty() && keyName != L"\\") {
    if (keyName.size() > 255) return ERROR_INVALID_PARAMETER;
    path += L"\\" + keyName;
  }
  HKEY key = nullptr;
  if (LONG rc =
          registry_.RegCreateKeyExW(HKEY_LOCAL_MACHINE, path, KEY_ALL_ACCESS, &key, nullptr)) {
    return static_cast<DWORD>(rc);
  }
  LONG rc =
      registry_.RegSetValueExW(key, valueName, type, data.data(), static_cast<DWORD>(data.size()));
  registry_.RegCloseKey(key);
  if (rc == 0 && (keyName.empty() || keyName == L"\\") && Upper(valueName) == L"SPOOLDIRECTORY" &&
      (type == REG_SZ || type == REG_EXPAND_SZ)) {
    q.spoolDirectory = TextOf(data);
  }
  return static_cast<DWORD>(rc);
}

bool SimSpooler::EnumJobsW(HANDLE printer, DWORD firstJob, DWORD noJobs,
                           std::vector<JobInfo2>* jobs) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return false;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr || jobs == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  jobs->clear();
  std::vector<const Job*> order;
  for (auto& [id, job] : jobs_) {
    if (h->queue.empty() || job.queue == h->queue) order.push_back(&job);
  }
  std::sort(order.begin(), order.end(),
            [](const Job* a, const Job* b) { return a->order < b->order; });
  for (std::size_t k = firstJob; k < order.size() && jobs->size() < noJobs; ++k) {
    JobInfo2 j = order[k]->info;
    j.Position = static_cast<DWORD>(k + 1);
    jobs->push_back(std::move(j));
  }
  return true;
}

bool SimSpooler::GetJobW(HANDLE printer, DWORD jobId, JobInfo2* job) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return false;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  auto it = jobs_.find(jobId);
  if (it == jobs_.end() || (!h->queue.empty() && it->second.queue != h->queue)) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  if (job != nullptr) *job = it->second.info;
  return true;
}

bool SimSpooler::SetJobW(HANDLE printer, DWORD jobId, DWORD level, const JobInfo2* info,
                         DWORD command) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return false;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (level != 0 && level != 1 && level != 2) return Fail(ERROR_INVALID_LEVEL, false);
  if ((level == 0) != (info == nullptr)) return Fail(ERROR_INVALID_PARAMETER, false);
  if (command > JOB_CONTROL_DELETE) return Fail(ERROR_INVALID_PARAMETER, false);
  auto it = jobs_.find(jobId);
  if (it == jobs_.end() || (!h->queue.empty() && it->second.queue != h->queue) ||
      (it->second.info.Status & (JOB_STATUS_DELETING | JOB_STATUS_DELETED)) != 0) {
    return Fail(ERROR_INVALID_PARAMETER, false);
  }
  Job& job = it->second;
  JobInfo2& j = job.info;
  const std::wstring& queueName = queues_[job.queue].info.pPrinterName;
  bool changed = false;
  if (info != nullptr) {
    if (info->pStatus != j.pStatus) {
      j.pStatus = info->pStatus;
      Journal(queueName, jobId, "status-text", {{"text", j.pStatus}});
      changed = true;
    }
    if (!info->pUserName.empty() && info->pUserName != j.pUserName) {
      j.pUserName = info->pUserName;
      Journal(queueName, jobId, "owner", {{"user", j.pUserName}});
      changed = true;
    }
    if (!info->pDocument.empty()) j.pDocument = info->pDocument;
    if (!info->pNotifyName.empty()) j.pNotifyName = info->pNotifyName;
    if (info->Priority >= 1 && info->Priority <= 99) j.Priority = info->Priority;
    if (info->Position != JOB_POSITION_UNSPECIFIED) {
      // Moves the job to that place among its queue's jobs.
      std::vector<Job*> order;
      for (auto& [id, other] : jobs_) {
        if (other.queue == job.queue && id != jobId) order.push_back(&other);
      }
      std::sort(order.begin(), order.end(), [](Job* a, Job* b) { return a->order < b->order; });
      std::size_t at = std::min<std::size_t>(info->Position - 1, order.size());
      order.insert(order.begin() + static_cast<std::ptrdiff_t>(at), &job);
      std::uint64_t n = nextOrder_;
      for (Job* o : order) o->order = n++;
      nextOrder_ = n;
      changed = true;
    }
  }
  switch (command) {
    case JOB_CONTROL_PAUSE:
      if ((j.Status & JOB_STATUS_PAUSED) == 0) {
        j.Status |= JOB_STATUS_PAUSED;
        Journal(queueName, jobId, "paused", {});
        changed = true;
      }
      break;
    case JOB_CONTROL_RESUME:
      if ((j.Status & JOB_STATUS_PAUSED) != 0) {
        j.Status &= ~JOB_STATUS_PAUSED;
        job.spooledAt = std::chrono::steady_clock::now();
        Journal(queueName, jobId, "resumed", {});
        changed = true;
      }
      break;
    case JOB_CONTROL_RESTART:
      j.Status &= ~(JOB_STATUS_PRINTED | JOB_STATUS_ERROR);
      j.Status |= JOB_STATUS_RESTART;
      Journal(queueName, jobId, "restarted", {});
      changed = true;
      break;
    case JOB_CONTROL_CANCEL:
    case JOB_CONTROL_DELETE: {
      Journal(queueName, jobId, command == JOB_CONTROL_CANCEL ? "cancelled" : "deleted", {});
      j.Status |= JOB_STATUS_DELETING;
      NotifyJobLocked(job, PRINTER_CHANGE_SET_JOB);
      if (job.complete) {
        if ((j.Status & JOB_STATUS_PRINTING) == 0) RemoveJobLocked(jobId);
      }
      changed_.notify_all();
      return true;
    }
    default:
      break;
  }
  if (changed) {
    SaveShadowLocked(job);
    NotifyJobLocked(job, PRINTER_CHANGE_SET_JOB);
    changed_.notify_all();
  }
  return true;
}

int SimSpooler::DeviceCapabilitiesW(const std::wstring& device, const std::wstring& /*port*/,
                                    std::uint16_t capability, std::vector<std::uint16_t>* papers,
                                    std::vector<std::wstring>* paperNames) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return -1;
  Queue* q = QueueLocked(Upper(device));
  if (q == nullptr) return Fail(ERROR_INVALID_PRINTER_NAME, -1);
  const auto& table = q->papers.empty() ? DefaultPapers(q->info.pDriverName) : q->papers;
  if (capability == DC_PAPERS) {
    if (papers != nullptr) {
      papers->clear();
      for (const auto& [id, name] : table) papers->push_back(id);
    }
    return static_cast<int>(table.size());
  }
  if (capability == DC_PAPERNAMES) {
    if (paperNames != nullptr) {
      paperNames->clear();
      for (const auto& [id, name] : table) paperNames->push_back(name);
    }
    return static_cast<int>(table.size());
  }
  return Fail(ERROR_NOT_SUPPORTED, -1);
}

DWORD SimSpooler::Watch(HANDLE printer, DWORD filter, const PrinterNotifyOptions* options,
                        std::function<void(bool)> signal) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return 0;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, 0u);
  if (options != nullptr && options->Version != 2) return Fail(ERROR_INVALID_PARAMETER, 0u);
  if (filter == 0 && (options == nullptr || options->pTypes.empty())) {
    return Fail(ERROR_INVALID_PARAMETER, 0u);
  }
  Watcher w;
  w.queue = h->queue;
  w.run = run_;
  w.filter = filter;
  if (options != nullptr) w.options = *options;
  w.signal = std::move(signal);
  DWORD id = nextWatcher_++;
  watchers_[id] = std::move(w);
  return id;
}

bool SimSpooler::Next(DWORD watcher, DWORD* changeFlags, const PrinterNotifyOptions* options,
                      PrinterNotifyInfo* info) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = watchers_.find(watcher);
  if (it == watchers_.end()) return Fail(ERROR_INVALID_HANDLE, false);
  Watcher& w = it->second;
  if (w.failed || !running_ || w.run != run_) return Fail(RPC_S_SERVER_UNAVAILABLE, false);
  if (!loaded_) LoadLocked();
  if (changeFlags != nullptr) *changeFlags = w.change;
  w.change = 0;
  PrinterNotifyInfo out;
  bool refresh = options != nullptr && (options->Flags & PRINTER_NOTIFY_OPTIONS_REFRESH) != 0;
  if (refresh) {
    // The whole state, as a new watcher would see it.
    w.pending.clear();
    w.discarded = false;
    for (const auto& t : w.options.pTypes) {
      if (t.Type == JOB_NOTIFY_TYPE) {
        for (auto& [id, job] : jobs_) {
          if (!w.queue.empty() && job.queue != w.queue) continue;
          for (std::uint16_t f : t.pFields) out.aData.push_back(JobFieldLocked(job, f));
        }
      } else if (t.Type == PRINTER_NOTIFY_TYPE) {
        for (auto& [key, q] : queues_) {
          if (!w.queue.empty() && key != w.queue) continue;
          for (std::uint16_t f : t.pFields) {
            PrinterNotifyInfoData d;
            d.Type = PRINTER_NOTIFY_TYPE;
            d.Field = f;
            d.Id = q.id;
            if (f == PRINTER_NOTIFY_FIELD_PRINTER_NAME) d.pBuf = q.info.pPrinterName;
            if (f == PRINTER_NOTIFY_FIELD_PORT_NAME) d.pBuf = q.info.pPortName;
            if (f == PRINTER_NOTIFY_FIELD_DRIVER_NAME) d.pBuf = q.info.pDriverName;
            out.aData.push_back(std::move(d));
          }
        }
      }
    }
  } else if (w.discarded) {
    out.Flags = PRINTER_NOTIFY_INFO_DISCARDED;
    w.discarded = false;
    w.pending.clear();
  } else {
    out.aData = std::move(w.pending);
    w.pending.clear();
  }
  if (info != nullptr) *info = std::move(out);
  return true;
}

bool SimSpooler::Unwatch(DWORD watcher) {
  std::lock_guard<std::mutex> guard(lock_);
  if (watchers_.erase(watcher) == 0) return Fail(ERROR_INVALID_HANDLE, false);
  return true;
}

HANDLE SimSpooler::FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter,
                                                      DWORD /*options*/,
                                                      const PrinterNotifyOptions* notifyOptions) {
  auto event = std::make_shared<EventObject>(true, false);
  HandleTable& table = handles_;
  DWORD id = Watch(printer, filter, notifyOptions,
                   [event, &table](bool) { table.Signal([&] { event->Set(true); }); });
  if (id == 0) return INVALID_HANDLE_VALUE;
  HANDLE h = handles_.Add(event);
  std::lock_guard<std::mutex> guard(lock_);
  changeHandles_[h] = id;
  return h;
}

bool SimSpooler::FindNextPrinterChangeNotification(HANDLE change, DWORD* changeFlags,
                                                   const PrinterNotifyOptions* notifyOptions,
                                                   PrinterNotifyInfo** info) {
  DWORD id = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = changeHandles_.find(change);
    if (it == changeHandles_.end()) return Fail(ERROR_INVALID_HANDLE, false);
    id = it->second;
  }
  if (auto event = handles_.FindAs<EventObject>(change)) {
    handles_.Signal([&] { event->Set(false); });
  }
  auto out = std::make_unique<PrinterNotifyInfo>();
  if (!Next(id, changeFlags, notifyOptions, out.get())) {
    if (auto event = handles_.FindAs<EventObject>(change)) {
      handles_.Signal([&] { event->Set(true); });  // a failed handle stays signalled
    }
    return false;
  }
  if (info != nullptr) *info = out.release();
  return true;
}

bool SimSpooler::FreePrinterNotifyInfo(PrinterNotifyInfo* info) {
  delete info;
  return true;
}

bool SimSpooler::FindClosePrinterChangeNotification(HANDLE change) {
  DWORD id = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = changeHandles_.find(change);
    if (it == changeHandles_.end()) return Fail(ERROR_INVALID_HANDLE, false);
    id = it->second;
    changeHandles_.erase(it);
  }
  handles_.Close(change);
  Unwatch(id);
  return true;
}

DWORD SimSpooler::StartDocPrinterW(HANDLE printer, const DocInfo1& doc) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return 0;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr || h->queue.empty()) return Fail(ERROR_INVALID_HANDLE, 0u);
  if (h->docJob != 0) return Fail(ERROR_INVALID_PARAMETER, 0u);
  Queue& q = queues_[h->queue];
  std::wstring datatype = !doc.pDatatype.empty()  ? doc.pDatatype
                          : h->defaults.pDatatype ? *h->defaults.pDatatype
                                                  : q.info.pDatatype;
  if (!KnownDatatype(datatype)) return Fail(ERROR_INVALID_DATATYPE, 0u);
  std::filesystem::path dir = SpoolDirectoryLocked(q);
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec) return Fail(ERROR_PATH_NOT_FOUND, 0u);
  const SpoolCaller& caller = CurrentSpoolCaller();
  Job job;
  JobInfo2& j = job.info;
  j.JobId = nextJob_++;
  if (nextJob_ > reservedJob_) {
    // Ids are recorded in blocks, so that they keep increasing across restarts.
    reservedJob_ = nextJob_ + 64;
    std::ofstream counter(folder_ / "spooler-next-job", std::ios::trunc);
    counter << reservedJob_;
  }
  char name[32];
  std::snprintf(name, sizeof name, "%05u", j.JobId);
  job.spool = dir / (std::string(name) + ".spl");
  job.shadow = dir / (std::string(name) + ".shd");
  job.queue = h->queue;
  j.pPrinterName = q.info.pPrinterName;
  // The client's name with the two backslashes Windows puts before it, given with them or not.
  std::wstring client = caller.machine.empty() ? computerName_ : caller.machine;
  j.pMachineName = client.rfind(L"\\\\", 0) == 0 ? client : L"\\\\" + client;
  j.pUserName = caller.user;
  j.pNotifyName = caller.notifyName.empty() ? caller.user : caller.notifyName;
  j.pDocument = doc.pDocName;
  j.pDatatype = datatype;
  j.pPrintProcessor = q.info.pPrintProcessor;
  j.pDriverName = q.info.pDriverName;
  j.pDevMode = h->defaults.pDevMode ? h->defaults.pDevMode : q.info.pDevMode;
  j.Status = JOB_STATUS_SPOOLING;
  j.Priority = 1;
  j.TotalPages = caller.pages;
  j.Submitted = SystemNow();
  job.order = nextOrder_++;
  job.writing = std::make_shared<std::ofstream>(job.spool, std::ios::binary | std::ios::trunc);
  h->docJob = j.JobId;
  DWORD id = j.JobId;
  Journal(q.info.pPrinterName, id, "submitted",
          {{"user", j.pUserName},
           {"machine", j.pMachineName},
           {"document", j.pDocument},
           {"datatype", j.pDatatype}});
  auto& stored = jobs_[id] = std::move(job);
  SaveShadowLocked(stored);
  NotifyJobLocked(stored, PRINTER_CHANGE_ADD_JOB);
  return id;
}

bool SimSpooler::WritePrinter(HANDLE printer, const void* data, DWORD size, DWORD* written) {
  std::lock_guard<std::mutex> guard(lock_);
  if (written != nullptr) *written = 0;
  if (!UpLocked()) return false;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (h->docJob == 0) return Fail(ERROR_SPL_NO_STARTDOC, false);
  auto it = jobs_.find(h->docJob);
  if (it == jobs_.end() || (it->second.info.Status & JOB_STATUS_DELETING) != 0) {
    if (it != jobs_.end()) RemoveJobLocked(h->docJob);
    h->docJob = 0;
    return Fail(ERROR_PRINT_CANCELLED, false);
  }
  Job& job = it->second;
  if (!job.writing) return Fail(ERROR_SPL_NO_STARTDOC, false);
  job.writing->write(static_cast<const char*>(data), size);
  if (!*job.writing) return Fail(ERROR_DISK_FULL, false);
  job.info.Size += size;
  if (written != nullptr) *written = size;
  NotifyJobLocked(job, PRINTER_CHANGE_WRITE_JOB, {JOB_NOTIFY_FIELD_TOTAL_BYTES});
  return true;
}

bool SimSpooler::EndDocPrinter(HANDLE printer) {
  std::lock_guard<std::mutex> guard(lock_);
  if (!UpLocked()) return false;
  PrinterHandle* h = HandleLocked(printer);
  if (h == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  if (h->docJob == 0) return Fail(ERROR_SPL_NO_STARTDOC, false);
  DWORD id = h->docJob;
  h->docJob = 0;
  auto it = jobs_.find(id);
  if (it == jobs_.end()) return true;
  Job& job = it->second;
  if ((job.info.Status & JOB_STATUS_DELETING) != 0) {
    RemoveJobLocked(id);
    return true;
  }
  if (job.writing) {
    job.writing->close();
    bool ok = !job.writing->fail();
    job.writing.reset();
    if (!ok) {
      RemoveJobLocked(id);
      return Fail(ERROR_DISK_FULL, false);
    }
  }
  job.complete = true;
  job.info.Status &= ~JOB_STATUS_SPOOLING;
  job.spooledAt = std::chrono::steady_clock::now();
  SaveShadowLocked(job);
  Journal(queues_[job.queue].info.pPrinterName, id, "spooled",
          {{"size", std::to_wstring(job.info.Size)}});
  NotifyJobLocked(job, PRINTER_CHANGE_SET_JOB);
  changed_.notify_all();
  return true;
}

void SimSpooler::PrinterLoop(std::uint64_t run) {
  CurrentSpoolCaller().program = L"spooler";
  std::unique_lock<std::mutex> lock(lock_);
  auto lastScan = std::chrono::steady_clock::now();
  while (running_ && run_ == run) {
    auto now = std::chrono::steady_clock::now();
    if (now - lastScan >= std::chrono::seconds(1)) {
      // Queues added to or removed from the registry while the spooler runs.
      LoadQueuesLocked(true);
      lastScan = now;
    }
    Job* next = nullptr;
    for (auto& [id, job] : jobs_) {
      DWORD s = job.info.Status;
      if (!job.complete || (s & (JOB_STATUS_PAUSED | JOB_STATUS_DELETING | JOB_STATUS_PRINTING |
                                 JOB_STATUS_PRINTED | JOB_STATUS_ERROR)) != 0) {
        continue;
      }
      Queue* q = QueueLocked(job.queue);
      if (q == nullptr || (q->info.Status & 0x1) != 0) continue;  // PRINTER_STATUS_PAUSED
      if (now - job.spooledAt < kPrintStart) continue;
      if (next == nullptr || job.order < next->order) next = &job;
    }
    if (next == nullptr) {
      changed_.wait_for(lock, std::chrono::milliseconds(50));
      continue;
    }
    DWORD id = next->info.JobId;
    std::wstring queueName = queues_[next->queue].info.pPrinterName;
    next->info.Status |= JOB_STATUS_PRINTING;
    next->info.Status &= ~JOB_STATUS_RESTART;
    Journal(queueName, id, "printing", {});
    NotifyJobLocked(*next, PRINTER_CHANGE_SET_JOB);
    std::filesystem::path source = next->spool;
    std::filesystem::path target =
        folder_ / "printed" / HostName(queueName) / (std::to_string(id) + ".prn");
    lock.unlock();
    std::error_code ec;
    std::filesystem::create_directories(target.parent_path(), ec);
    std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing,
                               ec);
    lock.lock();
    // The printer takes its time, as a device does: the job is seen printing.
    changed_.wait_for(lock, kPrintTime, [&] { return !running_ || run_ != run; });
    if (!running_ || run_ != run) break;
    auto it = jobs_.find(id);
    if (it == jobs_.end()) continue;
    Job& job = it->second;
    job.info.Status &= ~JOB_STATUS_PRINTING;
    if (ec) {
      job.info.Status |= JOB_STATUS_ERROR;
      job.info.pStatus = WideFromUtf8(ec.message());
      NotifyJobLocked(job, PRINTER_CHANGE_SET_JOB);
      continue;
    }
    job.info.Status |= JOB_STATUS_PRINTED;
    job.info.PagesPrinted = job.info.TotalPages;
    Journal(queueName, id, "printed", {{"file", WideFromUtf8(target.string())}});
    NotifyJobLocked(job, PRINTER_CHANGE_SET_JOB);
    Queue* kept = QueueLocked(job.queue);
    if (kept == nullptr || (kept->info.Attributes & PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS) == 0) {
      RemoveJobLocked(id);  // a printed job leaves the queue
    } else {
      // "Keep printed documents": the job stays in the queue, printed, its spool file kept;
      // the oldest printed ones go once a queue keeps more than a few hundred.
      SaveShadowLocked(job);
      KeepPrintedLocked(job.queue);
    }
  }
}

}  // namespace platform::sim

#include "agent/spooler/printer.h"

#include <algorithm>
#include <cwchar>
#include <cwctype>

#include "agent/spooler/printer_factory.h"
#include "agent/spooler/printer_notification.h"
#include "platform/platform.h"
#include "platform/registry.h"
#include "shared/error/errors.h"
#include "shared/error/report.h"

namespace tollgate::spooler {

namespace {

using platform::DWORD;

bool SameText(const std::wstring& a, const std::wstring& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (std::towlower(a[i]) != std::towlower(b[i])) return false;
  return true;
}

[[noreturn]] void Raise(const std::wstring& text, const std::wstring& place) {
  throw new SystemError(text, place);
}

// Registry failures carry the registry's own return code.
[[noreturn]] void RaiseRegistry(const std::wstring& text, platform::LONG rc) {
  throw new SystemError(text, static_cast<std::uint32_t>(rc));
}

std::wstring TextOf(const std::vector<std::uint8_t>& data) {
  std::wstring text;
  for (std::size_t i = 0; i + 1 < data.size(); i += 2) {
    wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

// A string value in two calls (size, then data); the texts name the failing call.
std::wstring QueryString(platform::HKEY key, const std::wstring& name,
                         const std::wstring& sizingText, const std::wstring& readingText) {
  DWORD type = 0, size = 0;
  platform::LONG rc = platform::registry().RegQueryValueExW(key, name, &type, nullptr, &size);
  if (rc != 0) RaiseRegistry(sizingText, rc);
  if (type != platform::REG_SZ && type != platform::REG_EXPAND_SZ)
    RaiseRegistry(sizingText, static_cast<platform::LONG>(platform::ERROR_INVALID_PARAMETER));
  std::vector<std::uint8_t> data(size);
  rc = platform::registry().RegQueryValueExW(key, name, &type, data.data(), &size);
  if (rc != 0) RaiseRegistry(readingText, rc);
  data.resize(size);
  return TextOf(data);
}

class Key {
 public:
  ~Key() {
    if (key_ != nullptr) platform::registry().RegCloseKey(key_);
  }
  platform::LONG Open(const std::wstring& path) {
    return platform::registry().RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path,
                                              platform::KEY_READ, &key_);
  }
  platform::HKEY get() const { return key_; }

 private:
  platform::HKEY key_ = nullptr;
};

}  // namespace

// CPrinterBase

CPrinterBase::CPrinterBase(std::wstring name, DWORD desiredAccess, bool shared)
    : name_(std::move(name)), access_(desiredAccess), shared_(shared) {}

CPrinterBase::~CPrinterBase() {
  CloseNotification();
  if (handle_ != nullptr) platform::spooler().ClosePrinter(handle_);
}

void CPrinterBase::SetNotification(std::unique_ptr<PrinterNotification> notification) {
  CloseNotification();
  notification_ = std::move(notification);
}

void CPrinterBase::CloseNotification() {
  std::unique_ptr<PrinterNotification> closing = std::move(notification_);
  if (closing) closing->Close();
}

std::unique_lock<std::recursive_mutex> CPrinterBase::Guard(bool always) {
  if (always || shared_) return std::unique_lock<std::recursive_mutex>(lock_);
  return {};
}

platform::HANDLE CPrinterBase::Open() {
  auto guard = Guard();
  if (handle_ != nullptr) return handle_;
  platform::PrinterDefaults defaults;
  defaults.DesiredAccess = access_;
  platform::HANDLE handle = nullptr;
  if (!platform::spooler().OpenPrinterW(name_, &handle, &defaults)) {
    Raise(L"OpenPrinter(" + name_ + L")", L"CPrinterBase::Open");
  }
  handle_ = handle;
  return handle_;
}

// Printer

Printer::Printer(std::wstring name, PrintMgr* manager)
    : CPrinterBase(std::move(name), platform::PRINTER_ALL_ACCESS, true), manager_(manager) {}

Printer::~Printer() {
  CloseNotification();
}

bool Printer::GetJob(DWORD jobId, platform::JobInfo2* job) {
  auto guard = Guard(true);
  platform::HANDLE handle = Open();
  platform::JobInfo2 found;
  if (!platform::spooler().GetJobW(handle, jobId, &found)) {
    if (platform::kernel().GetLastError() == platform::ERROR_INVALID_PARAMETER) return false;
    Raise(L"GetJob", L"Printer::GetJob");
  }
  if (job != nullptr) *job = std::move(found);
  return true;
}

bool Printer::SetJob(DWORD jobId, const platform::JobInfo2& info, DWORD command) {
  auto guard = Guard(true);
  platform::HANDLE handle = Open();
  if (platform::spooler().SetJobW(handle, jobId, 2, &info, command)) return true;
  if (platform::kernel().GetLastError() == platform::ERROR_INVALID_PARAMETER) return false;
  Raise(L"SetJob", L"Printer::SetJob");
}

bool Printer::SetJob(DWORD jobId, DWORD command) {
  auto guard = Guard(true);
  platform::HANDLE handle = Open();
  if (platform::spooler().SetJobW(handle, jobId, 0, nullptr, command)) return true;
  if (platform::kernel().GetLastError() == platform::ERROR_INVALID_PARAMETER) return false;
  Raise(L"SetJob", L"Printer::SetJob(nCmd)");
}

void Printer::SetJobStatusText(DWORD jobId, const std::wstring& text) {
  auto guard = Guard(true);
  platform::JobInfo2 job;
  if (!GetJob(jobId, &job)) return;
  job.pStatus = text;
  job.Position = platform::JOB_POSITION_UNSPECIFIED;
  SetJob(jobId, job, 0);
}

std::vector<platform::JobInfo2> Printer::GetJobs(DWORD /*level*/) {
  auto guard = Guard(true);
  platform::HANDLE handle = Open();
  std::vector<platform::JobInfo2> jobs;
  if (!platform::spooler().EnumJobsW(handle, 0, 0xFFFFFFFF, &jobs)) {
    Raise(L"EnumJobs", L"GetJobs");
  }
  return jobs;
}

bool Printer::GetJobIds(std::unordered_set<DWORD>* ids) {
  auto guard = Guard(true);
  std::vector<platform::JobInfo2> jobs = GetJobs(3);
  ids->clear();
  for (const auto& job : jobs) ids->insert(job.JobId);
  return !jobs.empty();
}

bool Printer::GetPrinterInfo(bool refresh, platform::PrinterInfo2* info) {
  auto guard = Guard(true);
  if (refresh || info_ == nullptr) {
    info_.reset();
    platform::HANDLE handle = Open();
    auto fetched = std::make_unique<platform::PrinterInfo2>();
    if (!platform::spooler().GetPrinterW(handle, fetched.get()))
      Raise(L"GetPrinter", L"Printer::GetPrinterInfo");
    info_ = std::move(fetched);
    if (!info_->pPrinterName.empty()) name_ = info_->pPrinterName;
  }
  if (info != nullptr) *info = *info_;
  return true;
}

bool Printer::GetPapers() {
  auto guard = Guard(true);
  if (papersLoaded_) return true;
  GetPrinterInfo(false);
  const std::wstring& device = info_->pPrinterName;
  const std::wstring& port = info_->pPortName;
  std::vector<std::uint16_t> ids;
  std::vector<std::wstring> names;
  int n =
      platform::spooler().DeviceCapabilitiesW(device, port, platform::DC_PAPERS, nullptr, nullptr);
  papersLoaded_ = true;
  papers_.clear();
  if (n <= 0) return true;
  n = platform::spooler().DeviceCapabilitiesW(device, port, platform::DC_PAPERS, &ids, nullptr);
  int m = platform::spooler().DeviceCapabilitiesW(device, port, platform::DC_PAPERNAMES, nullptr,
                                                  nullptr);
  if (n <= 0 || m <= 0) return true;
  m = platform::spooler().DeviceCapabilitiesW(device, port, platform::DC_PAPERNAMES, nullptr,
                                              &names);
  if (m <= 0) return true;
  std::size_t count = std::min(static_cast<std::size_t>(n), ids.size());
  for (std::size_t i = 0; i < count; ++i) {
    Paper paper{ids[i], {}};
    if (i < static_cast<std::size_t>(m) && i < names.size()) paper.name = names[i].substr(0, 64);
    papers_.push_back(std::move(paper));
  }
  return true;
}

Port* Printer::GetPort() {
  auto guard = Guard(true);
  GetPrinterInfo(true);
  std::wstring name = info_->pPortName;
  if (port_ != nullptr && SameText(portName_, name)) return port_.get();
  port_.reset();
  port_ = manager_->GetPort(name, false);
  if (port_ == nullptr) port_ = manager_->GetPort(name, true);
  portName_ = name;
  return port_.get();
}

bool Printer::IsExcludedPort() {
  auto guard = Guard(true);
  Port* port = GetPort();
  return port != nullptr && port->IsNotMonitored();
}

bool Printer::IsColor(const platform::JobInfo2& job) {
  return job.pDevMode.has_value() && job.pDevMode->dmColor == platform::DMCOLOR_COLOR;
}

bool Printer::TranslatePaperCode(std::uint16_t* /*code*/) {
  return false;
}

std::uint16_t Printer::GetCopiesFromDevmode(const platform::DevMode& devMode) {
  auto guard = Guard(true);
  GetPrinterInfo(false);
  std::size_t offset = 0;
  if (SameText(info_->pDriverName, L"Brother MFC-7820N Printer"))
    offset = 120;
  else if (SameText(info_->pDriverName, L"Brother MFC-8840D Printer"))
    offset = 188;
  else
    return 1;
  const auto& extra = Private(devMode);
  if (extra.size() <= offset) return 1;
  std::uint8_t copies = extra[offset];
  return copies >= 1 && copies <= 25 ? copies : 1;
}

std::wstring Printer::GetSpoolDirectory() {
  auto guard = Guard(true);
  const std::wstring parent = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\";
  std::wstring path = parent + name_;
  Key queue;
  platform::LONG rc = queue.Open(path);
  if (rc != 0) {
    RaiseRegistry(L"keySpool.Open(" + path + L")", rc);
  }
  // A queue made without the value (the spooler writes it empty) uses the server's folder.
  std::wstring directory;
  DWORD type = 0, size = 0;
  if (platform::registry().RegQueryValueExW(queue.get(), L"SpoolDirectory", &type, nullptr,
                                            &size) != platform::ERROR_FILE_NOT_FOUND) {
    directory = QueryString(queue.get(), L"SpoolDirectory", L"keySpool.QueryStringValue",
                            L"keySpool.QueryStringValue2");
  }
  if (directory.empty()) {
    Key server;
    rc = server.Open(parent);
    if (rc != 0) {
      RaiseRegistry(L"keySpool.Open(" + parent + L")", rc);
    }
    directory = QueryString(server.get(), L"DefaultSpoolDirectory", L"keySpool.QueryStringValue3",
                            L"keySpool.QueryStringValue4");
  }
  spoolDirectory_ = directory;
  return directory;
}

void Printer::SetSpoolDirectory(const std::wstring& directory) {
  auto guard = Guard(true);
  std::vector<std::uint8_t> data;
  for (wchar_t c : directory) {
    data.push_back(static_cast<std::uint8_t>(c & 0xFF));
    data.push_back(static_cast<std::uint8_t>((c >> 8) & 0xFF));
  }
  data.push_back(0);
  data.push_back(0);
  platform::spooler().SetPrinterDataExW(Open(), L"\\", L"SpoolDirectory", platform::REG_SZ, data);
}

// PrintMgr

PrintMgr::PrintMgr(std::wstring serverName, bool shared)
    : CPrinterBase(L"", 0, shared), server_(std::move(serverName)), maker_(&MakePrinter) {}

PrintMgr::~PrintMgr() {
  CloseNotification();
}

void PrintMgr::LoadPorts(bool reload) {
  auto guard = Guard();
  if (portsLoaded_ && !reload) return;
  if (reload) {
    ports_.clear();
    portsLoaded_ = false;
  }
  std::vector<platform::PortInfo2> ports;
  bool ok = false;
  for (int call = 0; call < 6 && !ok; ++call) {
    ok = platform::spooler().EnumPortsW(server_, &ports);
    if (!ok && platform::kernel().GetLastError() != platform::ERROR_INSUFFICIENT_BUFFER) break;
  }
  if (!ok) Raise(L"EnumPorts", L"PrintMgr::LoadPorts");
  ports_ = std::move(ports);
  portsLoaded_ = true;
}

std::unique_ptr<Port> PrintMgr::GetPort(const std::wstring& portName, bool reload) {
  auto guard = Guard(true);
  LoadPorts(reload);
  for (const auto& entry : ports_) {
    if (entry.pPortName == portName) return MakeManagerPort(entry);
  }
  return nullptr;
}

std::wstring PrintMgr::GetDefaultSpoolDirectory() {
  auto guard = Guard(true);
  if (!defaultSpoolDirectory_.empty()) return defaultSpoolDirectory_;
  platform::HANDLE server = nullptr;
  try {
    server = Open();
  } catch (Error* error) {
    delete error;
    throw new Tollgate::Error::PassThrough(L"M423", 0);
  }
  DWORD type = 0;
  std::vector<std::uint8_t> data;
  DWORD rc = platform::ERROR_MORE_DATA;
  // The spooler gives the whole value; a value that keeps growing is not waited for forever.
  for (int call = 0; call < 6 && rc == platform::ERROR_MORE_DATA; ++call)
    rc = platform::spooler().GetPrinterDataW(server, L"DefaultSpoolDirectory", &type, &data);
  if (rc != 0)
    throw new Tollgate::Error::PassThrough(L"Unexpected return @M424: " + std::to_wstring(rc), 0);
  defaultSpoolDirectory_ = TextOf(data);
  return defaultSpoolDirectory_;
}

bool PrintMgr::LoadPrinters(DWORD flags, const std::wstring& serverName) {
  auto guard = Guard(true);
  std::vector<platform::PrinterInfo2> printers;
  if (!platform::spooler().EnumPrintersW(flags, serverName, &printers))
    throw new SystemError(L"M291");
  if (!printers.empty() && printers.front().pPrinterName.empty()) return false;
  for (const auto& record : printers) {
    if ((record.Attributes & platform::PRINTER_ATTRIBUTE_NETWORK) != 0) continue;
    try {
      std::unique_ptr<Printer> printer = maker_(record.pPrinterName, record.pDriverName, this);
      if (printer != nullptr) printers_.push_back(std::move(printer));
    } catch (Error* error) {
      ReportError(error);
    } catch (const std::exception& exception) {
      ReportException(exception);
    } catch (...) {
      ReportError(new UnknownError(L"M274"));
    }
  }
  return true;
}

std::wstring QueuePortName(const std::wstring& queue) {
  Printer printer(queue, nullptr);
  platform::PrinterInfo2 info;
  printer.GetPrinterInfo(true, &info);
  return info.pPortName;
}

}  // namespace tollgate::spooler

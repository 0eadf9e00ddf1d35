#include "platform/win32/win32.h"

// After <windows.h>, which it needs.
#include <winspool.h>

namespace platform::win32 {
namespace {

std::wstring Text(const wchar_t* s) {
  return s != nullptr ? std::wstring(s) : std::wstring();
}

wchar_t* Mutable(const std::wstring& s) {
  return const_cast<wchar_t*>(s.c_str());
}

std::optional<DevMode> FromDevMode(const DEVMODEW* d) {
  if (d == nullptr) return std::nullopt;
  DevMode m;
  m.dmDeviceName = std::wstring(d->dmDeviceName, wcsnlen(d->dmDeviceName, CCHDEVICENAME));
  m.dmSpecVersion = d->dmSpecVersion;
  m.dmDriverVersion = d->dmDriverVersion;
  m.dmSize = d->dmSize;
  m.dmFields = d->dmFields;
  m.dmOrientation = d->dmOrientation;
  m.dmPaperSize = d->dmPaperSize;
  m.dmPaperLength = d->dmPaperLength;
  m.dmPaperWidth = d->dmPaperWidth;
  m.dmScale = d->dmScale;
  m.dmCopies = d->dmCopies;
  m.dmDefaultSource = d->dmDefaultSource;
  m.dmPrintQuality = d->dmPrintQuality;
  m.dmColor = d->dmColor;
  m.dmDuplex = d->dmDuplex;
  m.dmYResolution = d->dmYResolution;
  m.dmTTOption = d->dmTTOption;
  m.dmCollate = d->dmCollate;
  m.dmFormName = std::wstring(d->dmFormName, wcsnlen(d->dmFormName, CCHFORMNAME));
  const auto* extra = reinterpret_cast<const BYTE*>(d) + d->dmSize;
  m.driverExtra.assign(extra, extra + d->dmDriverExtra);
  return m;
}

// A DEVMODEW with its private bytes, in a buffer of its own.
std::vector<BYTE> ToDevMode(const DevMode& m) {
  std::vector<BYTE> buffer(sizeof(DEVMODEW) + m.driverExtra.size());
  auto* d = reinterpret_cast<DEVMODEW*>(buffer.data());
  wcsncpy(d->dmDeviceName, m.dmDeviceName.c_str(), CCHDEVICENAME - 1);
  d->dmSpecVersion = m.dmSpecVersion;
  d->dmDriverVersion = m.dmDriverVersion;
  d->dmSize = sizeof(DEVMODEW);
  d->dmDriverExtra = static_cast<WORD>(m.driverExtra.size());
  d->dmFields = m.dmFields;
  d->dmOrientation = m.dmOrientation;
  d->dmPaperSize = m.dmPaperSize;
  d->dmPaperLength = m.dmPaperLength;
  d->dmPaperWidth = m.dmPaperWidth;
  d->dmScale = m.dmScale;
  d->dmCopies = m.dmCopies;
  d->dmDefaultSource = m.dmDefaultSource;
  d->dmPrintQuality = m.dmPrintQuality;
  d->dmColor = m.dmColor;
  d->dmDuplex = m.dmDuplex;
  d->dmYResolution = m.dmYResolution;
  d->dmTTOption = m.dmTTOption;
  d->dmCollate = m.dmCollate;
  wcsncpy(d->dmFormName, m.dmFormName.c_str(), CCHFORMNAME - 1);
  std::copy(m.driverExtra.begin(), m.driverExtra.end(), buffer.begin() + sizeof(DEVMODEW));
  return buffer;
}

SystemTime FromTime(const SYSTEMTIME& t) {
  return SystemTime{t.wYear, t.wMonth,  t.wDayOfWeek, t.wDay,
                    t.wHour, t.wMinute, t.wSecond,    t.wMilliseconds};
}

JobInfo2 FromJob(const JOB_INFO_2W& j) {
  JobInfo2 o;
  o.JobId = j.JobId;
  o.pPrinterName = Text(j.pPrinterName);
  o.pMachineName = Text(j.pMachineName);
  o.pUserName = Text(j.pUserName);
  o.pDocument = Text(j.pDocument);
  o.pNotifyName = Text(j.pNotifyName);
  o.pDatatype = Text(j.pDatatype);
  o.pPrintProcessor = Text(j.pPrintProcessor);
  o.pParameters = Text(j.pParameters);
  o.pDriverName = Text(j.pDriverName);
  o.pDevMode = FromDevMode(j.pDevMode);
  o.pStatus = Text(j.pStatus);
  o.Status = j.Status;
  o.Priority = j.Priority;
  o.Position = j.Position;
  o.StartTime = j.StartTime;
  o.UntilTime = j.UntilTime;
  o.TotalPages = j.TotalPages;
  o.Size = j.Size;
  o.Submitted = FromTime(j.Submitted);
  o.Time = j.Time;
  o.PagesPrinted = j.PagesPrinted;
  return o;
}

PrinterInfo2 FromPrinter(const PRINTER_INFO_2W& p) {
  PrinterInfo2 o;
  o.pServerName = Text(p.pServerName);
  o.pPrinterName = Text(p.pPrinterName);
  o.pShareName = Text(p.pShareName);
  o.pPortName = Text(p.pPortName);
  o.pDriverName = Text(p.pDriverName);
  o.pComment = Text(p.pComment);
  o.pLocation = Text(p.pLocation);
  o.pDevMode = FromDevMode(p.pDevMode);
  o.pSepFile = Text(p.pSepFile);
  o.pPrintProcessor = Text(p.pPrintProcessor);
  o.pDatatype = Text(p.pDatatype);
  o.pParameters = Text(p.pParameters);
  o.Attributes = p.Attributes;
  o.Priority = p.Priority;
  o.DefaultPriority = p.DefaultPriority;
  o.StartTime = p.StartTime;
  o.UntilTime = p.UntilTime;
  o.Status = p.Status;
  o.cJobs = p.cJobs;
  o.AveragePPM = p.AveragePPM;
  return o;
}

// The notification fields whose data is a text.
bool TextField(WORD type, WORD field) {
  if (type == JOB_NOTIFY_TYPE) {
    return field <= 0x08 || field == 0x0B || field == 0x0D;
  }
  return (field <= 0x0B && field != 0x07) || field == 0x13;
}

struct Options {
  std::vector<PRINTER_NOTIFY_OPTIONS_TYPE> types;
  std::vector<std::vector<WORD>> fields;
  PRINTER_NOTIFY_OPTIONS options{};
};

void Fill(const PrinterNotifyOptions& in, Options* out) {
  out->fields.clear();
  out->types.clear();
  for (const auto& t : in.pTypes) out->fields.emplace_back(t.pFields.begin(), t.pFields.end());
  for (std::size_t k = 0; k < in.pTypes.size(); ++k) {
    PRINTER_NOTIFY_OPTIONS_TYPE t{};
    t.Type = in.pTypes[k].Type;
    t.Count = static_cast<::DWORD>(out->fields[k].size());
    t.pFields = reinterpret_cast<PWORD>(out->fields[k].data());
    out->types.push_back(t);
  }
  out->options.Version = in.Version;
  out->options.Flags = in.Flags;
  out->options.Count = static_cast<::DWORD>(out->types.size());
  out->options.pTypes = out->types.data();
}

template <typename T, typename Call>
bool TwoCalls(std::vector<BYTE>* buffer, ::DWORD* count, Call call) {
  ::DWORD needed = 0;
  *count = 0;
  if (call(nullptr, 0, &needed, count)) return true;
  if (::GetLastError() != ERROR_INSUFFICIENT_BUFFER) return false;
  buffer->assign(needed, 0);
  return call(buffer->data(), needed, &needed, count) != 0;
}

}  // namespace

bool Win32Spooler::EnumPrintersW(DWORD flags, const std::wstring& name,
                                 std::vector<PrinterInfo2>* printers) {
  std::vector<BYTE> buffer;
  ::DWORD count = 0;
  bool ok = TwoCalls<PRINTER_INFO_2W>(
      &buffer, &count, [&](BYTE* b, ::DWORD size, ::DWORD* needed, ::DWORD* n) {
        return ::EnumPrintersW(flags, name.empty() ? nullptr : Mutable(name), 2, b, size, needed,
                               n);
      });
  if (!ok) return false;
  printers->clear();
  const auto* p = reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data());
  for (::DWORD k = 0; k < count; ++k) printers->push_back(FromPrinter(p[k]));
  return true;
}

bool Win32Spooler::EnumPortsW(const std::wstring& server, std::vector<PortInfo2>* ports) {
  std::vector<BYTE> buffer;
  ::DWORD count = 0;
  bool ok = TwoCalls<PORT_INFO_2W>(
      &buffer, &count, [&](BYTE* b, ::DWORD size, ::DWORD* needed, ::DWORD* n) {
        return ::EnumPortsW(server.empty() ? nullptr : Mutable(server), 2, b, size, needed, n);
      });
  if (!ok) return false;
  ports->clear();
  const auto* p = reinterpret_cast<const PORT_INFO_2W*>(buffer.data());
  for (::DWORD k = 0; k < count; ++k) {
    ports->push_back(PortInfo2{Text(p[k].pPortName), Text(p[k].pMonitorName),
                               Text(p[k].pDescription), p[k].fPortType});
  }
  return true;
}

bool Win32Spooler::OpenPrinterW(const std::wstring& name, platform::HANDLE* printer,
                                const PrinterDefaults* defaults) {
  PRINTER_DEFAULTSW d{};
  std::vector<BYTE> devMode;
  std::wstring datatype;
  if (defaults != nullptr) {
    if (defaults->pDatatype) {
      datatype = *defaults->pDatatype;
      d.pDatatype = Mutable(datatype);
    }
    if (defaults->pDevMode) {
      devMode = ToDevMode(*defaults->pDevMode);
      d.pDevMode = reinterpret_cast<DEVMODEW*>(devMode.data());
    }
    d.DesiredAccess = defaults->DesiredAccess;
  }
  return ::OpenPrinterW(name.empty() ? nullptr : Mutable(name), printer,
                        defaults != nullptr ? &d : nullptr) != 0;
}

bool Win32Spooler::ClosePrinter(platform::HANDLE printer) {
  return ::ClosePrinter(printer) != 0;
}

bool Win32Spooler::GetPrinterW(platform::HANDLE printer, PrinterInfo2* info) {
  ::DWORD needed = 0;
  ::GetPrinterW(printer, 2, nullptr, 0, &needed);
  if (needed == 0) return false;
  std::vector<BYTE> buffer(needed);
  if (!::GetPrinterW(printer, 2, buffer.data(), needed, &needed)) return false;
  if (info != nullptr)
    *info = FromPrinter(*reinterpret_cast<const PRINTER_INFO_2W*>(buffer.data()));
  return true;
}

DWORD Win32Spooler::GetPrinterDataW(platform::HANDLE printer, const std::wstring& valueName,
                                    DWORD* type, std::vector<std::uint8_t>* data) {
  std::vector<std::uint8_t> buffer(512);
  for (int attempt = 0; attempt < 6; ++attempt) {
    ::DWORD t = 0, needed = 0;
    ::DWORD rc = ::GetPrinterDataW(printer, Mutable(valueName), &t, buffer.data(),
                                   static_cast<::DWORD>(buffer.size()), &needed);
    if (rc == ERROR_MORE_DATA) {
      buffer.resize(needed);
      continue;
    }
    if (rc != ERROR_SUCCESS) return rc;
    buffer.resize(needed);
    if (type != nullptr) *type = t;
    if (data != nullptr) *data = std::move(buffer);
    return ERROR_SUCCESS;
  }
  return ERROR_MORE_DATA;
}

DWORD Win32Spooler::SetPrinterDataExW(platform::HANDLE printer, const std::wstring& keyName,
                                      const std::wstring& valueName, DWORD type,
                                      const std::vector<std::uint8_t>& data) {
  return ::SetPrinterDataExW(printer, keyName.c_str(), valueName.c_str(), type,
                             const_cast<std::uint8_t*>(data.data()),
                             static_cast<::DWORD>(data.size()));
}

bool Win32Spooler::EnumJobsW(platform::HANDLE printer, DWORD firstJob, DWORD noJobs,
                             std::vector<JobInfo2>* jobs) {
  std::vector<BYTE> buffer;
  ::DWORD count = 0;
  bool ok = TwoCalls<JOB_INFO_2W>(
      &buffer, &count, [&](BYTE* b, ::DWORD size, ::DWORD* needed, ::DWORD* n) {
        return ::EnumJobsW(printer, firstJob, noJobs, 2, b, size, needed, n);
      });
  if (!ok) return false;
  jobs->clear();
  const auto* j = reinterpret_cast<const JOB_INFO_2W*>(buffer.data());
  for (::DWORD k = 0; k < count; ++k) jobs->push_back(FromJob(j[k]));
  return true;
}

bool Win32Spooler::GetJobW(platform::HANDLE printer, DWORD jobId, JobInfo2* job) {
  ::DWORD needed = 0;
  if (!::GetJobW(printer, jobId, 2, nullptr, 0, &needed) &&
      ::GetLastError() != ERROR_INSUFFICIENT_BUFFER) {
    return false;
  }
  std::vector<BYTE> buffer(needed);
  if (!::GetJobW(printer, jobId, 2, buffer.data(), needed, &needed)) return false;
  if (job != nullptr) *job = FromJob(*reinterpret_cast<const JOB_INFO_2W*>(buffer.data()));
  return true;
}

bool Win32Spooler::SetJobW(platform::HANDLE printer, DWORD jobId, DWORD level, const JobInfo2* info,
                           DWORD command) {
  if (info == nullptr) return ::SetJobW(printer, jobId, level, nullptr, command) != 0;
  JOB_INFO_2W j{};
  j.JobId = info->JobId;
  j.pPrinterName = Mutable(info->pPrinterName);
  j.pMachineName = Mutable(info->pMachineName);
  j.pUserName = Mutable(info->pUserName);
  j.pDocument = Mutable(info->pDocument);
  j.pNotifyName = Mutable(info->pNotifyName);
  j.pDatatype = Mutable(info->pDatatype);
  j.pPrintProcessor = Mutable(info->pPrintProcessor);
  j.pParameters = Mutable(info->pParameters);
  j.pDriverName = Mutable(info->pDriverName);
  std::vector<BYTE> devMode;
  if (info->pDevMode) {
    devMode = ToDevMode(*info->pDevMode);
    j.pDevMode = reinterpret_cast<DEVMODEW*>(devMode.data());
  }
  j.pStatus = Mutable(info->pStatus);
  j.Status = info->Status;
  j.Priority = info->Priority;
  j.Position = info->Position;
  j.StartTime = info->StartTime;
  j.UntilTime = info->UntilTime;
  j.TotalPages = info->TotalPages;
  j.Size = info->Size;
  j.Time = info->Time;
  j.PagesPrinted = info->PagesPrinted;
  return ::SetJobW(printer, jobId, level, reinterpret_cast<LPBYTE>(&j), command) != 0;
}

int Win32Spooler::DeviceCapabilitiesW(const std::wstring& device, const std::wstring& port,
                                      std::uint16_t capability, std::vector<std::uint16_t>* papers,
                                      std::vector<std::wstring>* paperNames) {
  int n = ::DeviceCapabilitiesW(device.c_str(), port.c_str(), capability, nullptr, nullptr);
  if (n <= 0) return n;
  if (capability == DC_PAPERS && papers != nullptr) {
    std::vector<WORD> ids(static_cast<std::size_t>(n));
    n = ::DeviceCapabilitiesW(device.c_str(), port.c_str(), capability,
                              reinterpret_cast<LPWSTR>(ids.data()), nullptr);
    papers->assign(ids.begin(), ids.begin() + std::max(n, 0));
  } else if (capability == DC_PAPERNAMES && paperNames != nullptr) {
    std::vector<wchar_t> names(static_cast<std::size_t>(n) * 64);
    n = ::DeviceCapabilitiesW(device.c_str(), port.c_str(), capability, names.data(), nullptr);
    paperNames->clear();
    for (int k = 0; k < n; ++k) {
      const wchar_t* name = names.data() + 64 * k;
      paperNames->emplace_back(name, wcsnlen(name, 64));
    }
  }
  return n;
}

platform::HANDLE Win32Spooler::FindFirstPrinterChangeNotification(
    platform::HANDLE printer, DWORD filter, DWORD options,
    const PrinterNotifyOptions* notifyOptions) {
  Options o;
  if (notifyOptions != nullptr) Fill(*notifyOptions, &o);
  return ::FindFirstPrinterChangeNotification(printer, filter, options,
                                              notifyOptions != nullptr ? &o.options : nullptr);
}

bool Win32Spooler::FindNextPrinterChangeNotification(platform::HANDLE change, DWORD* changeFlags,
                                                     const PrinterNotifyOptions* notifyOptions,
                                                     PrinterNotifyInfo** info) {
  Options o;
  if (notifyOptions != nullptr) Fill(*notifyOptions, &o);
  ::DWORD flags = 0;
  PPRINTER_NOTIFY_INFO raw = nullptr;
  if (!::FindNextPrinterChangeNotification(
          change, &flags, notifyOptions != nullptr ? &o.options : nullptr,
          info != nullptr ? reinterpret_cast<void**>(&raw) : nullptr)) {
    return false;
  }
  if (changeFlags != nullptr) *changeFlags = flags;
  if (info == nullptr) return true;
  auto out = std::make_unique<PrinterNotifyInfo>();
  if (raw != nullptr) {
    out->Version = raw->Version;
    out->Flags = raw->Flags;
    for (::DWORD k = 0; k < raw->Count; ++k) {
      const PRINTER_NOTIFY_INFO_DATA& d = raw->aData[k];
      PrinterNotifyInfoData e;
      e.Type = d.Type;
      e.Field = d.Field;
      e.Id = d.Id;
      if (TextField(d.Type, d.Field)) {
        const auto* text = static_cast<const wchar_t*>(d.NotifyData.Data.pBuf);
        e.pBuf = text != nullptr ? std::wstring(text, wcsnlen(text, d.NotifyData.Data.cbBuf / 2))
                                 : std::wstring();
      } else {
        e.adwData[0] = d.NotifyData.adwData[0];
        e.adwData[1] = d.NotifyData.adwData[1];
      }
      out->aData.push_back(std::move(e));
    }
    ::FreePrinterNotifyInfo(raw);
  }
  *info = out.release();
  return true;
}

bool Win32Spooler::FreePrinterNotifyInfo(PrinterNotifyInfo* info) {
  delete info;
  return true;
}

bool Win32Spooler::FindClosePrinterChangeNotification(platform::HANDLE change) {
  return ::FindClosePrinterChangeNotification(change) != 0;
}

DWORD Win32Spooler::StartDocPrinterW(platform::HANDLE printer, const DocInfo1& doc) {
  DOC_INFO_1W d{};
  d.pDocName = Mutable(doc.pDocName);
  d.pOutputFile = doc.pOutputFile.empty() ? nullptr : Mutable(doc.pOutputFile);
  d.pDatatype = doc.pDatatype.empty() ? nullptr : Mutable(doc.pDatatype);
  return ::StartDocPrinterW(printer, 1, reinterpret_cast<LPBYTE>(&d));
}

bool Win32Spooler::WritePrinter(platform::HANDLE printer, const void* data, DWORD size,
                                DWORD* written) {
  ::DWORD n = 0;
  bool ok = ::WritePrinter(printer, const_cast<void*>(data), size, &n) != 0;
  if (written != nullptr) *written = n;
  return ok;
}

bool Win32Spooler::EndDocPrinter(platform::HANDLE printer) {
  return ::EndDocPrinter(printer) != 0;
}

// The GDI spool-file functions are exported by gdi32 for print processors; they are looked
// up when first used, and where they are missing the calls fail with ERROR_NOT_SUPPORTED.
namespace {

using GetSpoolFileHandleFn = ::HANDLE(WINAPI*)(LPWSTR, LPDEVMODEW, LPWSTR);
using GetPageCountFn = ::DWORD(WINAPI*)(::HANDLE);
using GetDevmodeForPageFn = BOOL(WINAPI*)(::HANDLE, ::DWORD, PDEVMODEW*, PDEVMODEW*);
using DeleteSpoolFileHandleFn = BOOL(WINAPI*)(::HANDLE);

template <typename F>
F Gdi(const char* name) {
  HMODULE gdi = ::GetModuleHandleW(L"gdi32.dll");
  if (gdi == nullptr) gdi = ::LoadLibraryW(L"gdi32.dll");
  return gdi == nullptr ? nullptr
                        : reinterpret_cast<F>(reinterpret_cast<void*>(::GetProcAddress(gdi, name)));
}

}  // namespace

platform::HANDLE Win32GdiSpool::GdiGetSpoolFileHandle(const std::wstring& printer,
                                                      const DevMode* devMode,
                                                      const std::wstring& document) {
  auto fn = Gdi<GetSpoolFileHandleFn>("GdiGetSpoolFileHandle");
  if (fn == nullptr) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return nullptr;
  }
  std::vector<BYTE> dm;
  if (devMode != nullptr) dm = ToDevMode(*devMode);
  ::HANDLE h =
      fn(Mutable(printer), devMode != nullptr ? reinterpret_cast<DEVMODEW*>(dm.data()) : nullptr,
         Mutable(document));
  return h == INVALID_HANDLE_VALUE ? nullptr : h;
}

bool Win32GdiSpool::GdiGetPageCount(platform::HANDLE spool, DWORD* pages) {
  auto fn = Gdi<GetPageCountFn>("GdiGetPageCount");
  if (fn == nullptr) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  ::DWORD n = fn(spool);
  if (pages != nullptr) *pages = n;
  return n != 0;
}

bool Win32GdiSpool::GdiGetDevmodeForPage(platform::HANDLE spool, DWORD page, DevMode* current,
                                         DevMode* last) {
  auto fn = Gdi<GetDevmodeForPageFn>("GdiGetDevmodeForPage");
  if (fn == nullptr) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  PDEVMODEW now = nullptr, before = nullptr;
  if (!fn(spool, page, &now, &before)) return false;
  if (current != nullptr) {
    auto d = FromDevMode(now);
    if (!d) return false;
    *current = *d;
  }
  if (last != nullptr) {
    auto d = FromDevMode(before);
    if (d) *last = *d;
  }
  return true;
}

bool Win32GdiSpool::GdiDeleteSpoolFileHandle(platform::HANDLE spool) {
  auto fn = Gdi<DeleteSpoolFileHandleFn>("GdiDeleteSpoolFileHandle");
  if (fn == nullptr) {
    ::SetLastError(ERROR_NOT_SUPPORTED);
    return false;
  }
  return fn(spool) != 0;
}

}  // namespace platform::win32

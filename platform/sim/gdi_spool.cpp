// EMF spool files (the EMFSPOOL record format) and the GDI spool-file functions on them.
#include <fstream>
#include <sstream>

#include "platform/sim/areas.h"
#include "platform/sim/spooler.h"
#include "platform/sim/text.h"

namespace platform::sim {
namespace {

constexpr DWORD kDevModePublic = 220;
constexpr std::size_t kMaxSpoolFile = 512u << 20;  // bigger EMF jobs are not examined

// EMFSPOOL record types.
constexpr DWORD EMRI_METAFILE = 1;
constexpr DWORD EMRI_DEVMODE = 3;
constexpr DWORD EMRI_FORM_METAFILE = 9;
constexpr DWORD EMRI_BW_METAFILE = 10;
constexpr DWORD EMRI_BW_FORM_METAFILE = 11;
constexpr DWORD EMRI_METAFILE_DATA = 12;
constexpr DWORD EMRI_METAFILE_EXT = 13;

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, DWORD v) {
  for (int k = 0; k < 4; ++k) b[at + k] = static_cast<std::uint8_t>(v >> (8 * k));
}
std::uint16_t Get16(const std::uint8_t* p) {
  return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
DWORD Get32(const std::uint8_t* p) {
  return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<DWORD>(p[3]) << 24);
}
void PutName(std::vector<std::uint8_t>& b, std::size_t at, const std::wstring& name) {
  std::vector<std::uint8_t> u = Utf16LeFromWide(name.substr(0, 31));
  std::copy(u.begin(), u.begin() + std::min<std::size_t>(u.size(), 62), b.begin() + at);
}
std::wstring GetName(const std::uint8_t* p) {
  std::size_t n = 0;
  while (n < 32 && (p[2 * n] != 0 || p[2 * n + 1] != 0)) ++n;
  return WideFromUtf16Le(p, n * 2);
}
void Append32(std::string& s, DWORD v) {
  for (int k = 0; k < 4; ++k) s += static_cast<char>((v >> (8 * k)) & 0xFF);
}

}  // namespace

std::vector<std::uint8_t> DevModeBytes(const DevMode& d) {
  std::vector<std::uint8_t> b(kDevModePublic + d.driverExtra.size(), 0);
  PutName(b, 0, d.dmDeviceName);
  Put16(b, 64, d.dmSpecVersion);
  Put16(b, 66, d.dmDriverVersion);
  Put16(b, 68, static_cast<std::uint16_t>(kDevModePublic));
  Put16(b, 70, static_cast<std::uint16_t>(d.driverExtra.size()));
  Put32(b, 72, d.dmFields);
  std::int16_t shorts[] = {d.dmOrientation, d.dmPaperSize, d.dmPaperLength,   d.dmPaperWidth,
                           d.dmScale,       d.dmCopies,    d.dmDefaultSource, d.dmPrintQuality,
                           d.dmColor,       d.dmDuplex,    d.dmYResolution,   d.dmTTOption,
                           d.dmCollate};
  for (std::size_t k = 0; k < 13; ++k) Put16(b, 76 + 2 * k, static_cast<std::uint16_t>(shorts[k]));
  PutName(b, 102, d.dmFormName);
  std::copy(d.driverExtra.begin(), d.driverExtra.end(), b.begin() + kDevModePublic);
  return b;
}

bool DevModeFromBytes(const std::uint8_t* p, std::size_t size, DevMode* d) {
  if (size < 102) return false;  // up to dmCollate at least
  DWORD dmSize = Get16(p + 68), extra = Get16(p + 70);
  if (dmSize < 102 || dmSize + std::size_t{extra} > size) return false;
  DevMode m;
  m.dmDeviceName = GetName(p);
  m.dmSpecVersion = Get16(p + 64);
  m.dmDriverVersion = Get16(p + 66);
  m.dmSize = static_cast<std::uint16_t>(dmSize);
  m.dmFields = Get32(p + 72);
  std::int16_t* shorts[] = {&m.dmOrientation, &m.dmPaperSize, &m.dmPaperLength,   &m.dmPaperWidth,
                            &m.dmScale,       &m.dmCopies,    &m.dmDefaultSource, &m.dmPrintQuality,
                            &m.dmColor,       &m.dmDuplex,    &m.dmYResolution,   &m.dmTTOption,
                            &m.dmCollate};
  for (std::size_t k = 0; k < 13; ++k)
    *shorts[k] = static_cast<std::int16_t>(Get16(p + 76 + 2 * k));
  if (dmSize >= 166) m.dmFormName = GetName(p + 102);
  m.driverExtra.assign(p + dmSize, p + dmSize + extra);
  *d = std::move(m);
  return true;
}

std::string WrapEmfAsSpoolFile(const std::string& emf, const DevMode& devMode,
                               const std::wstring& document) {
  std::string out;
  // Header: version, its own size, the offsets of the document name and the output name.
  std::vector<std::uint8_t> name = Utf16LeFromWide(document);
  name.insert(name.end(), {0, 0});
  while (name.size() % 4 != 0) name.push_back(0);
  Append32(out, 0x00010000);
  Append32(out, static_cast<DWORD>(16 + name.size()));
  Append32(out, 16);
  Append32(out, 0);
  out.append(name.begin(), name.end());
  auto record = [&out](DWORD type, const std::string& data) {
    std::size_t start = out.size();
    std::string padded = data;
    while (padded.size() % 4 != 0) padded += '\0';
    Append32(out, type);
    Append32(out, static_cast<DWORD>(padded.size()));
    out += padded;
    return start;
  };
  std::vector<std::uint8_t> dm = DevModeBytes(devMode);
  record(EMRI_DEVMODE, std::string(dm.begin(), dm.end()));
  std::size_t page = record(EMRI_METAFILE_DATA, emf);
  // The page's offset record points back at the page's data.
  std::string offset;
  std::uint64_t back = out.size() - page;
  for (int k = 0; k < 8; ++k) offset += static_cast<char>((back >> (8 * k)) & 0xFF);
  record(EMRI_METAFILE_EXT, offset);
  return out;
}

HANDLE SimGdiSpool::GdiGetSpoolFileHandle(const std::wstring& printer, const DevMode* devMode,
                                          const std::wstring& document) {
  // The document is "queue, Job N"; the printer "\\queue\port, Port".
  std::size_t at = document.rfind(L", Job ");
  if (at == std::wstring::npos || printer.empty()) {
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  std::wstring queue = document.substr(0, at);
  unsigned long id = std::wcstoul(document.c_str() + at + 6, nullptr, 10);
  HANDLE h = nullptr;
  if (id == 0 || !spooler_.OpenPrinterW(queue, &h, nullptr)) {
    return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  }
  JobInfo2 job;
  bool found = spooler_.GetJobW(h, static_cast<DWORD>(id), &job);
  spooler_.ClosePrinter(h);
  if (!found) return Fail<HANDLE>(ERROR_INVALID_PARAMETER, nullptr);
  std::wstring upper = UpperName(job.pDatatype);
  if (upper.rfind(L"NT EMF", 0) != 0) return Fail<HANDLE>(ERROR_INVALID_DATATYPE, nullptr);

  // The spool file of the job, in its queue's spool directory.
  std::wstring dir;
  HKEY key = nullptr;
  const std::wstring printers = L"SYSTEM\\CurrentControlSet\\Control\\Print\\Printers";
  auto text = [this](HKEY k, const wchar_t* name, std::wstring* out) {
    DWORD type = 0, size = 0;
    if (registry_.RegQueryValueExW(k, name, &type, nullptr, &size) != 0 ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      return;
    }
    std::vector<std::uint8_t> data(size);
    if (registry_.RegQueryValueExW(k, name, &type, data.data(), &size) != 0) return;
    *out = WideFromUtf16Le(data.data(), size);
    while (!out->empty() && out->back() == L'\0') out->pop_back();
  };
  if (registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, printers + L"\\" + queue, KEY_READ, &key) == 0) {
    text(key, L"SpoolDirectory", &dir);
    registry_.RegCloseKey(key);
  }
  if (dir.empty() && registry_.RegOpenKeyExW(HKEY_LOCAL_MACHINE, printers, KEY_READ, &key) == 0) {
    text(key, L"DefaultSpoolDirectory", &dir);
    registry_.RegCloseKey(key);
  }
  std::filesystem::path folder = dir.empty()
                                     ? folder_ / "Windows" / "System32" / "spool" / "PRINTERS"
                                     : std::filesystem::path(Machine::HostPath(folder_, dir));
  if (folder.is_relative()) folder = folder_ / folder;
  char name[32];
  std::snprintf(name, sizeof name, "%05lu.spl", id);
  std::ifstream in(folder / name, std::ios::binary);
  if (!in) return Fail<HANDLE>(ERROR_FILE_NOT_FOUND, nullptr);
  std::string bytes;
  {
    std::ostringstream all;
    all << in.rdbuf();
    bytes = all.str();
  }
  if (bytes.size() > kMaxSpoolFile) return Fail<HANDLE>(ERROR_NOT_ENOUGH_MEMORY, nullptr);

  SpoolFile file;
  if (devMode != nullptr) file.jobDevMode = *devMode;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes.data());
  std::size_t size = bytes.size();
  if (size < 8 || Get32(p) != 0x00010000) return Fail<HANDLE>(ERROR_INVALID_DATA, nullptr);
  std::size_t pos = Get32(p + 4);
  if (pos < 8 || pos > size) return Fail<HANDLE>(ERROR_INVALID_DATA, nullptr);
  int current = -1;
  while (pos + 8 <= size) {
    DWORD type = Get32(p + pos);
    DWORD length = Get32(p + pos + 4);
    if (length > size - pos - 8) return Fail<HANDLE>(ERROR_INVALID_DATA, nullptr);
    const std::uint8_t* data = p + pos + 8;
    if (type == EMRI_DEVMODE) {
      DevMode dm;
      if (!DevModeFromBytes(data, length, &dm)) return Fail<HANDLE>(ERROR_INVALID_DATA, nullptr);
      file.devModes.push_back(std::move(dm));
      current = static_cast<int>(file.devModes.size()) - 1;
    } else if (type == EMRI_METAFILE || type == EMRI_FORM_METAFILE || type == EMRI_BW_METAFILE ||
               type == EMRI_BW_FORM_METAFILE || type == EMRI_METAFILE_DATA) {
      file.pageDevMode.push_back(current);
    }
    pos += 8 + length;
  }
  if (pos != size) return Fail<HANDLE>(ERROR_INVALID_DATA, nullptr);
  std::lock_guard<std::mutex> guard(lock_);
  std::uintptr_t handle = next_ += 4;
  open_[handle] = std::move(file);
  return reinterpret_cast<HANDLE>(handle);
}

bool SimGdiSpool::GdiGetPageCount(HANDLE spool, DWORD* pages) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = open_.find(reinterpret_cast<std::uintptr_t>(spool));
  if (it == open_.end() || pages == nullptr) return Fail(ERROR_INVALID_HANDLE, false);
  *pages = static_cast<DWORD>(it->second.pageDevMode.size());
  return true;
}

bool SimGdiSpool::GdiGetDevmodeForPage(HANDLE spool, DWORD page, DevMode* current, DevMode* last) {
  std::lock_guard<std::mutex> guard(lock_);
  auto it = open_.find(reinterpret_cast<std::uintptr_t>(spool));
  if (it == open_.end()) return Fail(ERROR_INVALID_HANDLE, false);
  const SpoolFile& f = it->second;
  if (page == 0 || page > f.pageDevMode.size()) return Fail(ERROR_INVALID_PARAMETER, false);
  auto of = [&f](int index, DevMode* out) {
    if (out == nullptr) return true;
    if (index >= 0) {
      *out = f.devModes[static_cast<std::size_t>(index)];
      return true;
    }
    if (!f.jobDevMode) return false;
    *out = *f.jobDevMode;
    return true;
  };
  if (!of(f.pageDevMode[page - 1], current)) return Fail(ERROR_INVALID_DATA, false);
  if (last != nullptr) {
    if (!of(page >= 2 ? f.pageDevMode[page - 2] : f.pageDevMode[page - 1], last)) {
      return Fail(ERROR_INVALID_DATA, false);
    }
  }
  return true;
}

bool SimGdiSpool::GdiDeleteSpoolFileHandle(HANDLE spool) {
  std::lock_guard<std::mutex> guard(lock_);
  if (open_.erase(reinterpret_cast<std::uintptr_t>(spool)) == 0) {
    return Fail(ERROR_INVALID_HANDLE, false);
  }
  return true;
}

}  // namespace platform::sim

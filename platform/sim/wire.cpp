#include "platform/sim/wire.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/sim/text.h"

namespace platform::sim::wire {

Writer& Writer::U32(std::uint32_t v) {
  for (int k = 0; k < 4; ++k) bytes_ += static_cast<char>((v >> (8 * k)) & 0xFF);
  return *this;
}

Writer& Writer::Bytes(std::string_view bytes) {
  U32(static_cast<std::uint32_t>(bytes.size()));
  bytes_.append(bytes);
  return *this;
}

Writer& Writer::Blob(const std::vector<std::uint8_t>& bytes) {
  return Bytes(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Writer& Writer::Wide(std::wstring_view text) {
  return Blob(Utf16LeFromWide(text));
}

Writer& Writer::Wides(const std::vector<std::wstring>& texts) {
  U32(static_cast<std::uint32_t>(texts.size()));
  for (const auto& t : texts) Wide(t);
  return *this;
}

bool Reader::U32(std::uint32_t* v) {
  if (bytes_.size() - at_ < 4) return false;
  std::uint32_t x = 0;
  for (int k = 0; k < 4; ++k) {
    x |= static_cast<std::uint32_t>(static_cast<unsigned char>(bytes_[at_ + k])) << (8 * k);
  }
  at_ += 4;
  *v = x;
  return true;
}

bool Reader::U16(std::uint16_t* v) {
  std::uint32_t x = 0;
  if (!U32(&x) || x > 0xFFFF) return false;
  *v = static_cast<std::uint16_t>(x);
  return true;
}

bool Reader::I16(std::int16_t* v) {
  std::uint16_t x = 0;
  if (!U16(&x)) return false;
  *v = static_cast<std::int16_t>(x);
  return true;
}

bool Reader::Bool(bool* v) {
  std::uint32_t x = 0;
  if (!U32(&x) || x > 1) return false;
  *v = x == 1;
  return true;
}

bool Reader::Bytes(std::string* bytes) {
  std::uint32_t n = 0;
  if (!U32(&n) || n > bytes_.size() - at_) return false;
  bytes->assign(bytes_.substr(at_, n));
  at_ += n;
  return true;
}

bool Reader::Blob(std::vector<std::uint8_t>* bytes) {
  std::uint32_t n = 0;
  if (!U32(&n) || n > bytes_.size() - at_) return false;
  const auto* p = reinterpret_cast<const std::uint8_t*>(bytes_.data() + at_);
  bytes->assign(p, p + n);
  at_ += n;
  return true;
}

bool Reader::Wide(std::wstring* text) {
  std::uint32_t n = 0;
  if (!U32(&n) || n > bytes_.size() - at_ || n % 2 != 0) return false;
  *text = WideFromUtf16Le(reinterpret_cast<const std::uint8_t*>(bytes_.data() + at_), n);
  at_ += n;
  return true;
}

bool Reader::Wides(std::vector<std::wstring>* texts) {
  std::uint32_t n = 0;
  // Every text takes at least its four length bytes: the count is bounded by the frame.
  if (!U32(&n) || n > (bytes_.size() - at_) / 4) return false;
  texts->clear();
  texts->reserve(n);
  for (std::uint32_t k = 0; k < n; ++k) {
    std::wstring t;
    if (!Wide(&t)) return false;
    texts->push_back(std::move(t));
  }
  return true;
}

void Put(Writer& w, const ServiceStatus& s) {
  w.U32(s.dwServiceType).U32(s.dwCurrentState).U32(s.dwControlsAccepted).U32(s.dwWin32ExitCode);
  w.U32(s.dwServiceSpecificExitCode).U32(s.dwCheckPoint).U32(s.dwWaitHint);
}

bool Get(Reader& r, ServiceStatus* s) {
  return r.U32(&s->dwServiceType) && r.U32(&s->dwCurrentState) && r.U32(&s->dwControlsAccepted) &&
         r.U32(&s->dwWin32ExitCode) && r.U32(&s->dwServiceSpecificExitCode) &&
         r.U32(&s->dwCheckPoint) && r.U32(&s->dwWaitHint);
}

void Put(Writer& w, const ServiceConfig& c) {
  w.U32(c.dwServiceType).U32(c.dwStartType).Wide(c.lpBinaryPathName).Wide(c.lpDisplayName);
}

bool Get(Reader& r, ServiceConfig* c) {
  return r.U32(&c->dwServiceType) && r.U32(&c->dwStartType) && r.Wide(&c->lpBinaryPathName) &&
         r.Wide(&c->lpDisplayName);
}

void Put(Writer& w, const EventLogRecord& e) {
  w.U32(e.RecordNumber).U32(e.TimeGenerated).U32(e.TimeWritten).U32(e.EventID);
  w.U16(e.EventType).U16(e.EventCategory).Wide(e.SourceName).Wide(e.ComputerName);
  w.Wides(e.Strings).Blob(e.Data);
}

bool Get(Reader& r, EventLogRecord* e) {
  return r.U32(&e->RecordNumber) && r.U32(&e->TimeGenerated) && r.U32(&e->TimeWritten) &&
         r.U32(&e->EventID) && r.U16(&e->EventType) && r.U16(&e->EventCategory) &&
         r.Wide(&e->SourceName) && r.Wide(&e->ComputerName) && r.Wides(&e->Strings) &&
         r.Blob(&e->Data);
}

void Put(Writer& w, const std::optional<DevMode>& d) {
  w.Bool(d.has_value());
  if (!d) return;
  w.Wide(d->dmDeviceName).U16(d->dmSpecVersion).U16(d->dmDriverVersion).U16(d->dmSize);
  w.U32(d->dmFields);
  for (std::int16_t v : {d->dmOrientation, d->dmPaperSize, d->dmPaperLength, d->dmPaperWidth,
                         d->dmScale, d->dmCopies, d->dmDefaultSource, d->dmPrintQuality, d->dmColor,
                         d->dmDuplex, d->dmYResolution, d->dmTTOption, d->dmCollate}) {
    w.U16(static_cast<std::uint16_t>(v));
  }
  w.Wide(d->dmFormName).Blob(d->driverExtra);
}

bool Get(Reader& r, std::optional<DevMode>* d) {
  bool present = false;
  if (!r.Bool(&present)) return false;
  if (!present) {
    d->reset();
    return true;
  }
  DevMode m;
  if (!r.Wide(&m.dmDeviceName) || !r.U16(&m.dmSpecVersion) || !r.U16(&m.dmDriverVersion) ||
      !r.U16(&m.dmSize) || !r.U32(&m.dmFields)) {
    return false;
  }
  for (std::int16_t* v : {&m.dmOrientation, &m.dmPaperSize, &m.dmPaperLength, &m.dmPaperWidth,
                          &m.dmScale, &m.dmCopies, &m.dmDefaultSource, &m.dmPrintQuality,
                          &m.dmColor, &m.dmDuplex, &m.dmYResolution, &m.dmTTOption, &m.dmCollate}) {
    if (!r.I16(v)) return false;
  }
  if (!r.Wide(&m.dmFormName) || !r.Blob(&m.driverExtra) || m.driverExtra.size() > 0xFFFF) {
    return false;
  }
  *d = std::move(m);
  return true;
}

namespace {
void PutTime(Writer& w, const SystemTime& t) {
  for (std::uint16_t v :
       {t.wYear, t.wMonth, t.wDayOfWeek, t.wDay, t.wHour, t.wMinute, t.wSecond, t.wMilliseconds}) {
    w.U16(v);
  }
}
bool GetTime(Reader& r, SystemTime* t) {
  for (std::uint16_t* v : {&t->wYear, &t->wMonth, &t->wDayOfWeek, &t->wDay, &t->wHour, &t->wMinute,
                           &t->wSecond, &t->wMilliseconds}) {
    if (!r.U16(v)) return false;
  }
  return true;
}
}  // namespace

void Put(Writer& w, const JobInfo2& j) {
  w.U32(j.JobId);
  for (const std::wstring* s :
       {&j.pPrinterName, &j.pMachineName, &j.pUserName, &j.pDocument, &j.pNotifyName, &j.pDatatype,
        &j.pPrintProcessor, &j.pParameters, &j.pDriverName}) {
    w.Wide(*s);
  }
  Put(w, j.pDevMode);
  w.Wide(j.pStatus);
  for (DWORD v :
       {j.Status, j.Priority, j.Position, j.StartTime, j.UntilTime, j.TotalPages, j.Size}) {
    w.U32(v);
  }
  PutTime(w, j.Submitted);
  w.U32(j.Time).U32(j.PagesPrinted);
}

bool Get(Reader& r, JobInfo2* j) {
  if (!r.U32(&j->JobId)) return false;
  for (std::wstring* s :
       {&j->pPrinterName, &j->pMachineName, &j->pUserName, &j->pDocument, &j->pNotifyName,
        &j->pDatatype, &j->pPrintProcessor, &j->pParameters, &j->pDriverName}) {
    if (!r.Wide(s)) return false;
  }
  if (!Get(r, &j->pDevMode) || !r.Wide(&j->pStatus)) return false;
  for (DWORD* v : {&j->Status, &j->Priority, &j->Position, &j->StartTime, &j->UntilTime,
                   &j->TotalPages, &j->Size}) {
    if (!r.U32(v)) return false;
  }
  return GetTime(r, &j->Submitted) && r.U32(&j->Time) && r.U32(&j->PagesPrinted);
}

void Put(Writer& w, const PrinterInfo2& p) {
  for (const std::wstring* s : {&p.pServerName, &p.pPrinterName, &p.pShareName, &p.pPortName,
                                &p.pDriverName, &p.pComment, &p.pLocation}) {
    w.Wide(*s);
  }
  Put(w, p.pDevMode);
  for (const std::wstring* s : {&p.pSepFile, &p.pPrintProcessor, &p.pDatatype, &p.pParameters}) {
    w.Wide(*s);
  }
  for (DWORD v : {p.Attributes, p.Priority, p.DefaultPriority, p.StartTime, p.UntilTime, p.Status,
                  p.cJobs, p.AveragePPM}) {
    w.U32(v);
  }
}

bool Get(Reader& r, PrinterInfo2* p) {
  for (std::wstring* s : {&p->pServerName, &p->pPrinterName, &p->pShareName, &p->pPortName,
                          &p->pDriverName, &p->pComment, &p->pLocation}) {
    if (!r.Wide(s)) return false;
  }
  if (!Get(r, &p->pDevMode)) return false;
  for (std::wstring* s : {&p->pSepFile, &p->pPrintProcessor, &p->pDatatype, &p->pParameters}) {
    if (!r.Wide(s)) return false;
  }
  for (DWORD* v : {&p->Attributes, &p->Priority, &p->DefaultPriority, &p->StartTime, &p->UntilTime,
                   &p->Status, &p->cJobs, &p->AveragePPM}) {
    if (!r.U32(v)) return false;
  }
  return true;
}

void Put(Writer& w, const PortInfo2& p) {
  w.Wide(p.pPortName).Wide(p.pMonitorName).Wide(p.pDescription).U32(p.fPortType);
}

bool Get(Reader& r, PortInfo2* p) {
  return r.Wide(&p->pPortName) && r.Wide(&p->pMonitorName) && r.Wide(&p->pDescription) &&
         r.U32(&p->fPortType);
}

void Put(Writer& w, const PrinterNotifyOptions& o) {
  w.U32(o.Version).U32(o.Flags).U32(static_cast<std::uint32_t>(o.pTypes.size()));
  for (const auto& t : o.pTypes) {
    w.U16(t.Type).U32(static_cast<std::uint32_t>(t.pFields.size()));
    for (std::uint16_t f : t.pFields) w.U16(f);
  }
}

bool Get(Reader& r, PrinterNotifyOptions* o) {
  std::uint32_t n = 0;
  if (!r.U32(&o->Version) || !r.U32(&o->Flags) || !r.U32(&n) || n > 2) return false;
  o->pTypes.assign(n, {});
  for (auto& t : o->pTypes) {
    std::uint32_t m = 0;
    if (!r.U16(&t.Type) || !r.U32(&m) || m > 64) return false;
    t.pFields.assign(m, 0);
    for (auto& f : t.pFields) {
      if (!r.U16(&f)) return false;
    }
  }
  return true;
}

void Put(Writer& w, const PrinterNotifyInfo& i) {
  w.U32(i.Version).U32(i.Flags).U32(static_cast<std::uint32_t>(i.aData.size()));
  for (const auto& d : i.aData) {
    w.U16(d.Type).U16(d.Field).U32(d.Id).U32(d.adwData[0]).U32(d.adwData[1]);
    w.Bool(d.pBuf.has_value());
    if (d.pBuf) w.Wide(*d.pBuf);
  }
}

bool Get(Reader& r, PrinterNotifyInfo* i) {
  std::uint32_t n = 0;
  if (!r.U32(&i->Version) || !r.U32(&i->Flags) || !r.U32(&n) || n > kMaxFrame / 24) return false;
  i->aData.clear();
  for (std::uint32_t k = 0; k < n; ++k) {
    PrinterNotifyInfoData d;
    bool text = false;
    if (!r.U16(&d.Type) || !r.U16(&d.Field) || !r.U32(&d.Id) || !r.U32(&d.adwData[0]) ||
        !r.U32(&d.adwData[1]) || !r.Bool(&text)) {
      return false;
    }
    if (text) {
      std::wstring s;
      if (!r.Wide(&s)) return false;
      d.pBuf = std::move(s);
    }
    i->aData.push_back(std::move(d));
  }
  return true;
}

namespace {

bool SendAll(int fd, const char* data, std::size_t size, int flags) {
  while (size > 0) {
    ssize_t n = ::send(fd, data, size, MSG_NOSIGNAL | flags);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

bool ReceiveAll(int fd, char* data, std::size_t size, int timeoutMs) {
  while (size > 0) {
    if (timeoutMs >= 0) {
      pollfd p{fd, POLLIN, 0};
      int rc = ::poll(&p, 1, timeoutMs);
      if (rc < 0 && errno == EINTR) continue;
      if (rc <= 0) return false;
    }
    ssize_t n = ::recv(fd, data, size, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    size -= static_cast<std::size_t>(n);
  }
  return true;
}

std::string Header(std::size_t size) {
  std::string h(4, '\0');
  for (int k = 0; k < 4; ++k) h[k] = static_cast<char>((size >> (8 * k)) & 0xFF);
  return h;
}

// The address of a socket file; a path longer than sun_path is reached through the
// folder's descriptor.
bool Address(const std::filesystem::path& socket, sockaddr_un* address, int* folderFd) {
  *folderFd = -1;
  std::memset(address, 0, sizeof *address);
  address->sun_family = AF_UNIX;
  std::string path = socket.string();
  if (path.size() >= sizeof address->sun_path) {
    *folderFd = ::open(socket.parent_path().c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (*folderFd < 0) return false;
    path = "/proc/self/fd/" + std::to_string(*folderFd) + "/" + socket.filename().string();
    if (path.size() >= sizeof address->sun_path) return false;
  }
  std::memcpy(address->sun_path, path.c_str(), path.size() + 1);
  return true;
}

}  // namespace

bool SendFrame(int fd, std::string_view payload) {
  if (payload.size() > kMaxFrame) return false;
  std::string frame = Header(payload.size());
  frame.append(payload);
  return SendAll(fd, frame.data(), frame.size(), 0);
}

bool SendFrameNow(int fd, std::string_view payload) {
  std::string frame = Header(payload.size());
  frame.append(payload);
  ssize_t n = ::send(fd, frame.data(), frame.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  if (n == static_cast<ssize_t>(frame.size())) return true;
  // A reader that has not taken thousands of frames: a cut frame would break the stream, so
  // the connection ends; with nothing sent the frames already waiting do the same work.
  if (n > 0) ::shutdown(fd, SHUT_RDWR);
  return false;
}

bool ReceiveFrame(int fd, std::string* payload, int timeoutMs) {
  char header[4];
  if (!ReceiveAll(fd, header, 4, timeoutMs)) return false;
  std::size_t size = 0;
  for (int k = 0; k < 4; ++k)
    size |= static_cast<std::size_t>(static_cast<unsigned char>(header[k])) << (8 * k);
  if (size > kMaxFrame) return false;
  payload->resize(size);
  return ReceiveAll(fd, payload->data(), size, timeoutMs < 0 ? -1 : 30000);
}

std::filesystem::path SocketPath(const std::filesystem::path& folder) {
  return folder / "machine.sock";
}

int Connect(const std::filesystem::path& folder) {
  std::filesystem::path socket = SocketPath(folder);
  sockaddr_un address{};
  int folderFd = -1;
  if (!Address(socket, &address, &folderFd)) {
    if (folderFd >= 0) ::close(folderFd);
    return -1;
  }
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int rc = fd < 0 ? -1 : ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
  if (folderFd >= 0) ::close(folderFd);
  if (rc != 0) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

int Listen(const std::filesystem::path& folder) {
  std::filesystem::path socket = SocketPath(folder);
  sockaddr_un address{};
  int folderFd = -1;
  if (!Address(socket, &address, &folderFd)) {
    if (folderFd >= 0) ::close(folderFd);
    return -1;
  }
  ::unlink(address.sun_path);
  int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  bool ok = fd >= 0 && ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 &&
            ::listen(fd, SOMAXCONN) == 0;
  if (folderFd >= 0) ::close(folderFd);
  if (!ok) {
    if (fd >= 0) ::close(fd);
    return -1;
  }
  return fd;
}

void Close(int fd) {
  if (fd >= 0) ::close(fd);
}

void RaiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

}  // namespace platform::sim::wire

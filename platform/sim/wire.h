// The messages between a simulated machine's system process (tollmachine) and the machine's
// other programs, over the local socket in the machine folder. A frame is a 32-bit
// little-endian length and that many bytes; a request is an operation code and its
// arguments, an answer the call's result, the last error and the outputs. Everything read
// from the socket is checked: a length beyond the frame, a frame beyond kMaxFrame or a field
// of the wrong shape fails the read, never the process.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "platform/eventlog.h"
#include "platform/services.h"
#include "platform/spooler.h"

namespace platform::sim::wire {

constexpr std::size_t kMaxFrame = 16u << 20;

enum Op : std::uint32_t {
  kHello = 1,
  kPing,
  kShutdown,
  kRegOpen = 10,
  kRegCreate,
  kRegClose,
  kRegQuery,
  kRegSet,
  kRegDeleteValue,
  kRegDeleteKey,
  kRegEnumKey,
  kRegEnumValue,
  kRegImport,
  kRegExport,
  kScOpenManager = 30,
  kScOpenService,
  kScQueryStatus,
  kScQueryConfig,
  kScDisplayName,
  kScStart,
  kScControl,
  kScClose,
  kScCreate,
  kScChangeConfig,
  kScDelete,
  kScSetStatus,
  kScDispatch,
  kScProcessId,
  kScCrash,
  kEvOpen = 60,
  kEvRead,
  kEvCount,
  kEvOldest,
  kEvNotify,
  kEvClose,
  kEvRegister,
  kEvReport,
  kEvDeregister,
  kSpEnumPrinters = 80,
  kSpEnumPorts,
  kSpOpen,
  kSpClose,
  kSpGetPrinter,
  kSpGetData,
  kSpSetData,
  kSpEnumJobs,
  kSpGetJob,
  kSpSetJob,
  kSpDeviceCaps,
  kSpFindFirst,
  kSpFindNext,
  kSpFindClose,
  kSpStartDoc,
  kSpWrite,
  kSpEndDoc,
};

class Writer {
 public:
  Writer& U32(std::uint32_t v);
  Writer& U16(std::uint16_t v) { return U32(v); }
  Writer& Bool(bool v) { return U32(v ? 1 : 0); }
  Writer& Bytes(std::string_view bytes);
  Writer& Blob(const std::vector<std::uint8_t>& bytes);
  Writer& Wide(std::wstring_view text);
  Writer& Wides(const std::vector<std::wstring>& texts);
  const std::string& Data() const { return bytes_; }

 private:
  std::string bytes_;
};

class Reader {
 public:
  explicit Reader(std::string_view bytes) : bytes_(bytes) {}
  bool U32(std::uint32_t* v);
  bool U16(std::uint16_t* v);
  bool I16(std::int16_t* v);
  bool Bool(bool* v);
  bool Bytes(std::string* bytes);
  bool Blob(std::vector<std::uint8_t>* bytes);
  bool Wide(std::wstring* text);
  bool Wides(std::vector<std::wstring>* texts);
  bool AtEnd() const { return at_ == bytes_.size(); }

 private:
  std::string_view bytes_;
  std::size_t at_ = 0;
};

// The records of the platform areas.
void Put(Writer& w, const ServiceStatus& s);
bool Get(Reader& r, ServiceStatus* s);
void Put(Writer& w, const ServiceConfig& c);
bool Get(Reader& r, ServiceConfig* c);
void Put(Writer& w, const EventLogRecord& e);
bool Get(Reader& r, EventLogRecord* e);
void Put(Writer& w, const std::optional<DevMode>& d);
bool Get(Reader& r, std::optional<DevMode>* d);
void Put(Writer& w, const JobInfo2& j);
bool Get(Reader& r, JobInfo2* j);
void Put(Writer& w, const PrinterInfo2& p);
bool Get(Reader& r, PrinterInfo2* p);
void Put(Writer& w, const PortInfo2& p);
bool Get(Reader& r, PortInfo2* p);
void Put(Writer& w, const PrinterNotifyOptions& o);
bool Get(Reader& r, PrinterNotifyOptions* o);
void Put(Writer& w, const PrinterNotifyInfo& i);
bool Get(Reader& r, PrinterNotifyInfo* i);

// Framed input and output on a connected socket. ReceiveFrame fails on end of stream, an
// error, or a length above kMaxFrame; `timeoutMs` < 0 waits without limit.
bool SendFrame(int fd, std::string_view payload);
bool ReceiveFrame(int fd, std::string* payload, int timeoutMs = -1);
// A frame sent without waiting: false when the socket cannot take it now.
bool SendFrameNow(int fd, std::string_view payload);

// The machine's socket, "machine.sock" in its folder.
std::filesystem::path SocketPath(const std::filesystem::path& folder);
// A connection to the machine process of `folder`, or -1 when none listens.
int Connect(const std::filesystem::path& folder);
// The listening socket of the machine process (a stale socket file is replaced), or -1.
int Listen(const std::filesystem::path& folder);
void Close(int fd);

// Raises the process's limit of open files to the host's most: a print server's watches take
// a connection each, on both ends.
void RaiseOpenFileLimit();

}  // namespace platform::sim::wire

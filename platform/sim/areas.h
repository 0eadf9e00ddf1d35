// The platform areas of the simulated machine (internal to platform/sim).
#pragma once

#include <condition_variable>
#include <deque>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "platform/platform.h"
#include "platform/sim/eventlog.h"
#include "platform/sim/machine.h"
#include "platform/sim/objects.h"
#include "platform/sim/registry_file.h"
#include "platform/sim/text.h"

namespace platform::sim {

// Sets the calling thread's last error and returns `result`, for one-line failure returns.
DWORD& ThreadLastError();
template <typename T>
T Fail(DWORD code, T result) {
  ThreadLastError() = code;
  return result;
}
// The Windows error code that stands for a POSIX errno.
DWORD ErrorFromErrno(int error);

class SimKernel : public Kernel {
 public:
  explicit SimKernel(HandleTable& handles) : handles_(handles) {}
  DWORD GetLastError() override;
  void SetLastError(DWORD code) override;
  std::optional<std::wstring> FormatMessageW(DWORD flags, DWORD code, DWORD languageId) override;
  HANDLE CreateEventW(bool manualReset, bool initialState) override;
  bool SetEvent(HANDLE event) override;
  bool ResetEvent(HANDLE event) override;
  HANDLE CreateSemaphoreW(LONG initialCount, LONG maximumCount) override;
  bool ReleaseSemaphore(HANDLE semaphore, LONG releaseCount, LONG* previousCount) override;
  bool CloseHandle(HANDLE handle) override;
  HANDLE CreateThread(std::size_t stackSize, ThreadRoutine routine, DWORD* threadId) override;
  DWORD GetCurrentThreadId() override;
  bool GetExitCodeThread(HANDLE thread, DWORD* exitCode) override;
  bool TerminateThread(HANDLE thread, DWORD exitCode) override;
  void Sleep(DWORD milliseconds) override;
  DWORD WaitForSingleObject(HANDLE handle, DWORD milliseconds) override;
  DWORD WaitForMultipleObjects(DWORD count, const HANDLE* handles, bool waitAll,
                               DWORD milliseconds) override;
  void SetStructuredExceptionTranslator(StructuredExceptionTranslator translator) override;

 private:
  HandleTable& handles_;
};

class SimSystem : public System {
 public:
  explicit SimSystem(Machine& machine) : machine_(machine) {}
  HRESULT SHGetFolderPathW(int csidl, std::wstring* path) override;
  bool GetComputerNameW(DWORD bufferChars, std::wstring* name) override;
  bool GetVersionExW(OsVersionInfo* info) override;
  // From the registry, where Windows keeps it: "ACP" (REG_SZ, the number) of the key
  // SYSTEM\CurrentControlSet\Control\Nls\CodePage; 1252 without it, or for a code page the
  // host cannot convert.
  unsigned GetACP() override;
  std::wstring MultiByteToWideChar(unsigned codePage, std::string_view bytes) override;
  std::string WideCharToMultiByte(unsigned codePage, std::wstring_view text,
                                  bool* usedDefaultChar = nullptr) override;
  bool GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) override;
  // From the registry, where Windows keeps it (the key TimeZoneInformation under
  // SYSTEM\CurrentControlSet\Control): "Bias", "StandardBias", "DaylightBias" as REG_DWORD,
  // the names as REG_SZ, "StandardStart" and "DaylightStart" as 16-byte REG_BINARY; no key:
  // UTC.
  DWORD GetTimeZoneInformation(TimeZoneInformation* info) override;

 private:
  Machine& machine_;
};

class SimFiles : public Files {
 public:
  explicit SimFiles(HandleTable& handles) : handles_(handles) {}
  bool CreateDirectoryW(const std::wstring& path) override;
  bool RemoveDirectoryW(const std::wstring& path) override;
  bool DeleteFileW(const std::wstring& path) override;
  bool MoveFileW(const std::wstring& from, const std::wstring& to) override;
  bool MoveFileExW(const std::wstring& from, const std::wstring& to, DWORD flags) override;
  DWORD GetFileAttributesW(const std::wstring& path) override;
  HANDLE CreateFileW(const std::wstring& path, DWORD desiredAccess, DWORD shareMode,
                     DWORD creationDisposition, DWORD flagsAndAttributes = 0) override;
  bool ReadFile(HANDLE file, void* buffer, DWORD size, DWORD* read) override;
  bool WriteFile(HANDLE file, const void* data, DWORD size, DWORD* written) override;
  bool FlushFileBuffers(HANDLE file) override;
  bool SetFilePointerEx(HANDLE file, std::int64_t distance, std::int64_t* newPosition,
                        DWORD moveMethod) override;
  bool GetFileSizeEx(HANDLE file, std::int64_t* size) override;
  bool CreatePipe(HANDLE* readEnd, HANDLE* writeEnd) override;
  HANDLE GetStdHandle(DWORD stdHandle) override;
  bool GetTempPathW(std::wstring* path) override;

 private:
  HandleTable& handles_;
  std::mutex stdLock_;
  HANDLE std_[3] = {nullptr, nullptr, nullptr};  // input, output, error, made on first use
};

class SimConsole : public Console {
 public:
  void WriteOut(std::string_view text) override;
  void WriteOutWide(std::wstring_view text) override;
  void WriteErrWide(std::wstring_view text) override;
  int ReadChar() override;
};

class SimProcesses : public Processes {
 public:
  explicit SimProcesses(HandleTable& handles) : handles_(handles) {}
  bool CreateProcessW(const std::wstring& applicationName, const std::wstring& commandLine,
                      const std::wstring& currentDirectory, const StartupInfo& startup,
                      ProcessInformation* info) override;
  bool GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;
  bool TerminateProcess(HANDLE process, DWORD exitCode) override;
  std::wstring GetModuleFileNameW() override;

 private:
  HandleTable& handles_;
};

// The control manager of one machine. Services are in-process bodies (tests: Create), the
// machine's built-in services (the spooler: CreateBuiltin), or programs started as real
// processes from their image path (LoadFromRegistry, CreateServiceW), which connect back
// through the machine process's socket (ConnectDispatcher).
class SimServices : public Services {
 public:
  // What a built-in service does when started, stopped or crashed.
  struct Builtin {
    std::function<void()> start;
    std::function<void()> stop;
    std::function<void()> crash;
    DWORD restartDelayMs = 0;  // after a crash (0: not restarted)
  };
  // Pushes one control to a service process's dispatcher; false when it is gone.
  using ControlSink = std::function<bool(DWORD control)>;

  SimServices(Kernel& kernel, std::filesystem::path folder);
  ~SimServices() override;
  void Create(const std::wstring& name, const ServiceConfig& config, ServiceProcess process);
  void CreateBuiltin(const std::wstring& name, const ServiceConfig& config, Builtin builtin);
  // A built-in service that runs from the machine's start (no record is written).
  void MarkRunning(const std::wstring& name);
  std::vector<ServiceStatus> History(const std::wstring& name);
  // The registry holds the services' keys; the event log receives the control manager's
  // records. Both outlive this object.
  void Attach(Registry* registry, SimEventLog* events);
  // Reads every service with an "ImagePath" under HKLM\SYSTEM\CurrentControlSet\Services.
  void LoadFromRegistry();
  // Starts every service whose start type is automatic; returns the names that failed.
  std::vector<std::wstring> StartAutomatic();
  // Stops every running service, waiting up to `waitMs` for each.
  void StopAll(DWORD waitMs);
  // A service process's dispatcher connects: false (with the error) when the service is not
  // waiting for its process; on success the start arguments.
  bool ConnectDispatcher(const std::wstring& name, ControlSink sink,
                         std::vector<std::wstring>* args);
  void DisconnectDispatcher(const std::wstring& name);
  bool ReportStatus(const std::wstring& name, const ServiceStatus& status);
  // Fault injection: a built-in service crashes, a service process is killed.
  bool Crash(const std::wstring& name);

  bool StartServiceCtrlDispatcherW(const std::vector<ServiceTableEntry>& table) override;
  SERVICE_STATUS_HANDLE RegisterServiceCtrlHandlerW(const std::wstring& serviceName,
                                                    HandlerFunction handler) override;
  bool SetServiceStatus(SERVICE_STATUS_HANDLE handle, const ServiceStatus& status) override;
  SC_HANDLE OpenSCManagerW(DWORD desiredAccess) override;
  SC_HANDLE OpenServiceW(SC_HANDLE manager, const std::wstring& name, DWORD desiredAccess) override;
  bool QueryServiceStatus(SC_HANDLE service, ServiceStatus* status) override;
  bool QueryServiceConfigW(SC_HANDLE service, ServiceConfig* config) override;
  bool GetServiceDisplayNameW(SC_HANDLE manager, const std::wstring& name,
                              std::wstring* displayName) override;
  bool StartServiceW(SC_HANDLE service, const std::vector<std::wstring>& args) override;
  bool ControlService(SC_HANDLE service, DWORD control, ServiceStatus* status) override;
  bool CloseServiceHandle(SC_HANDLE handle) override;
  bool QueryServiceStatusEx(SC_HANDLE service, ServiceStatusProcess* status) override;
  SC_HANDLE CreateServiceW(SC_HANDLE manager, const std::wstring& name,
                           const ServiceConfig& config) override;
  bool ChangeServiceConfigW(SC_HANDLE service, DWORD serviceType, DWORD startType,
                            const std::wstring& binaryPathName,
                            const std::wstring& displayName) override;
  bool DeleteService(SC_HANDLE service) override;

 private:
  enum class Kind { InProcess, Builtin, External };
  struct Record {
    std::wstring name;
    ServiceConfig config;
    Kind kind = Kind::InProcess;
    ServiceProcess process;
    Builtin builtin;
    ServiceStatus status;
    bool processRunning = false;
    bool connected = false;           // the process's dispatcher has connected
    bool connectedThisStart = false;  // it did since the last StartServiceW, even if gone since
    bool mainEnded = true;            // the service's main function has returned
    HandlerFunction handler;          // registered by the service's main
    std::deque<DWORD> controls;       // controls waiting for the dispatcher thread
    std::vector<std::wstring> startArgs;
    std::vector<ServiceStatus> history;  // every status reported, oldest first
    ControlSink sink;                    // the connected dispatcher of a service process
    int pid = 0;
    DWORD failures = 0;  // unexpected ends since the machine started
    bool deleted = false;
    std::uint64_t generation =
        0;  // counts the starts, so that late reports of an old run are dropped
  };
  struct ScHandle {
    bool manager;
    std::wstring service;  // key of the record, for service handles
  };
  Record* FindLocked(SC_HANDLE handle);
  void RunProcess(const std::wstring& key);
  bool SpawnLocked(Record& r, const std::wstring& key);
  void ProcessEnded(const std::wstring& key, std::uint64_t generation, DWORD exitCode);
  void Transition(Record& r, DWORD previous);
  void WriteEvent(std::uint16_t type, DWORD id, const std::vector<std::wstring>& strings);
  std::wstring DisplayNameLocked(const Record& r) const;
  void SaveConfig(const std::wstring& name, const ServiceConfig& config);

  Kernel& kernel_;
  std::filesystem::path folder_;
  Registry* registry_ = nullptr;
  SimEventLog* events_ = nullptr;
  std::mutex lock_;
  std::condition_variable changed_;
  std::map<std::wstring, Record> records_;  // keyed by the upper-case name
  std::map<void*, ScHandle> handles_;
  std::uintptr_t nextHandle_ = 0x5C0000;
  int runningProcesses_ = 0;
  int watchers_ = 0;  // threads waiting for service processes
  bool closing_ = false;
};

class SimRegistry : public Registry {
 public:
  explicit SimRegistry(std::filesystem::path file) : file_(std::move(file)) {}
  std::string LoadError();
  // A regedit file's keys and values taken in (nothing on a malformed file: its error).
  std::optional<std::string> Import(const std::string& bytes);
  std::string Export();

  LONG RegOpenKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired, HKEY* result) override;
  LONG RegCreateKeyExW(HKEY key, const std::wstring& subKey, DWORD samDesired, HKEY* result,
                       DWORD* disposition) override;
  LONG RegCloseKey(HKEY key) override;
  LONG RegQueryValueExW(HKEY key, const std::wstring& valueName, DWORD* type, std::uint8_t* data,
                        DWORD* dataSize) override;
  LONG RegSetValueExW(HKEY key, const std::wstring& valueName, DWORD type, const std::uint8_t* data,
                      DWORD dataSize) override;
  LONG RegDeleteValueW(HKEY key, const std::wstring& valueName) override;
  LONG RegDeleteKeyW(HKEY key, const std::wstring& subKey) override;
  LONG RegEnumKeyExW(HKEY key, DWORD index, std::wstring* name) override;
  LONG RegEnumValueW(HKEY key, DWORD index, std::wstring* name, DWORD* type,
                     std::vector<std::uint8_t>* data) override;

 private:
  struct OpenKey {
    std::shared_ptr<RegKey> key;
    DWORD access;
    std::size_t depth;  // levels below HKEY_LOCAL_MACHINE
  };
  // Loads the file on first use; false when it failed to load.
  bool LoadLocked();
  // The key behind a handle (HKEY_LOCAL_MACHINE or an open key), with its access.
  LONG ResolveLocked(HKEY handle, std::shared_ptr<RegKey>* key, DWORD* access, std::size_t* depth);
  LONG SaveLocked();
  // Takes in the file when someone else changed it since this registry last read or wrote
  // it (an edit by hand, another process): as an import, so nothing of ours is lost.
  void RefreshLocked();

  std::filesystem::path file_;
  struct Stamp {
    std::int64_t mtime = 0, size = -1, inode = 0;
    bool operator==(const Stamp&) const = default;
  };
  Stamp stamp_;  // of the file as last read or written
  Stamp Current() const;
  std::mutex lock_;
  bool loaded_ = false;
  std::string loadError_;
  std::shared_ptr<RegKey> root_ = std::make_shared<RegKey>();
  std::map<std::uintptr_t, OpenKey> open_;
  std::uintptr_t next_ = 0x1000;
};

class SimSockets : public Sockets {
 public:
  explicit SimSockets(Machine& machine);
  ~SimSockets() override;
  int WSAStartup(std::uint16_t versionRequested, WsaData* data) override;
  int WSACleanup() override;
  int WSAGetLastError() override;
  void WSASetLastError(int error) override;
  int GetAddrInfoW(const std::wstring& nodeName, const std::wstring& serviceName,
                   const AddrInfoW* hints, std::vector<AddrInfoW>* result) override;
  std::wstring AddressToString(const SockAddr& address) override;
  SOCKET socket(int af, int type, int protocol) override;
  int bind(SOCKET s, const SockAddr& name) override;
  int listen(SOCKET s, int backlog) override;
  SOCKET accept(SOCKET s, SockAddr* peer) override;
  int connect(SOCKET s, const SockAddr& name) override;
  int send(SOCKET s, const void* data, int length, int flags) override;
  int recv(SOCKET s, void* buffer, int length, int flags) override;
  int sendto(SOCKET s, const void* data, int length, int flags, const SockAddr& to) override;
  int recvfrom(SOCKET s, void* buffer, int length, int flags, SockAddr* from) override;
  int shutdown(SOCKET s, int how) override;
  int closesocket(SOCKET s) override;
  int setsockopt(SOCKET s, int level, int optionName, const void* value, int length) override;
  int getsockopt(SOCKET s, int level, int optionName, void* value, int* length) override;
  int getsockname(SOCKET s, SockAddr* name) override;
  int getpeername(SOCKET s, SockAddr* name) override;
  int ioctlsocket(SOCKET s, long command, unsigned long* argument) override;
  int WSAPoll(WsaPollFd* fds, unsigned long count, int timeoutMs) override;

 private:
  struct SocketObject;
  std::shared_ptr<SocketObject> Find(SOCKET s);
  bool Started();
  SOCKET Add(int fd, int type);

  Machine& machine_;
  std::mutex lock_;
  int started_ = 0;
  SOCKET next_;
  std::map<SOCKET, std::shared_ptr<SocketObject>> table_;
};

}  // namespace platform::sim

// The platform areas as thin calls of the Win32 API (internal to platform/win32).
#pragma once

// The platform's own headers come first: <windows.h> defines as macros many names that
// they declare as constants (INFINITE, ERROR_SUCCESS, KEY_READ, …). After it, this folder's
// code uses the Windows macros, never the platform's qualified constants.
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace platform::win32 {

class Win32Kernel : public Kernel {
 public:
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
};

class Win32System : public System {
 public:
  HRESULT SHGetFolderPathW(int csidl, std::wstring* path) override;
  bool GetComputerNameW(DWORD bufferChars, std::wstring* name) override;
  bool GetVersionExW(OsVersionInfo* info) override;
  unsigned GetACP() override;
  std::wstring MultiByteToWideChar(unsigned codePage, std::string_view bytes) override;
  std::string WideCharToMultiByte(unsigned codePage, std::wstring_view text,
                                  bool* usedDefaultChar = nullptr) override;
  bool GetEnvironmentVariableW(const std::wstring& name, std::wstring* value) override;
  DWORD GetTimeZoneInformation(TimeZoneInformation* info) override;
};

class Win32Files : public Files {
 public:
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
};

class Win32Console : public Console {
 public:
  void WriteOut(std::string_view text) override;
  void WriteOutWide(std::wstring_view text) override;
  void WriteErrWide(std::wstring_view text) override;
  int ReadChar() override;
};

class Win32Processes : public Processes {
 public:
  bool CreateProcessW(const std::wstring& applicationName, const std::wstring& commandLine,
                      const std::wstring& currentDirectory, const StartupInfo& startup,
                      ProcessInformation* info) override;
  bool GetExitCodeProcess(HANDLE process, DWORD* exitCode) override;
  bool TerminateProcess(HANDLE process, DWORD exitCode) override;
  std::wstring GetModuleFileNameW() override;
};

class Win32Services : public Services {
 public:
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
};

class Win32EventLog : public EventLog {
 public:
  HANDLE OpenEventLogW(const std::wstring& sourceName) override;
  bool ReadEventLogW(HANDLE log, DWORD flags, DWORD recordOffset, DWORD bufferSize,
                     std::vector<EventLogRecord>* records, DWORD* bytesRead,
                     DWORD* minBytesNeeded) override;
  bool GetNumberOfEventLogRecords(HANDLE log, DWORD* count) override;
  bool GetOldestEventLogRecord(HANDLE log, DWORD* oldest) override;
  bool NotifyChangeEventLog(HANDLE log, HANDLE event) override;
  bool CloseEventLog(HANDLE log) override;
  HANDLE RegisterEventSourceW(const std::wstring& sourceName) override;
  bool ReportEventW(HANDLE source, std::uint16_t type, std::uint16_t category, DWORD eventId,
                    const std::vector<std::wstring>& strings,
                    const std::vector<std::uint8_t>& data) override;
  bool DeregisterEventSource(HANDLE source) override;
};

class Win32Spooler : public Spooler {
 public:
  bool EnumPrintersW(DWORD flags, const std::wstring& name,
                     std::vector<PrinterInfo2>* printers) override;
  bool EnumPortsW(const std::wstring& server, std::vector<PortInfo2>* ports) override;
  bool OpenPrinterW(const std::wstring& name, HANDLE* printer,
                    const PrinterDefaults* defaults) override;
  bool ClosePrinter(HANDLE printer) override;
  bool GetPrinterW(HANDLE printer, PrinterInfo2* info) override;
  DWORD GetPrinterDataW(HANDLE printer, const std::wstring& valueName, DWORD* type,
                        std::vector<std::uint8_t>* data) override;
  DWORD SetPrinterDataExW(HANDLE printer, const std::wstring& keyName,
                          const std::wstring& valueName, DWORD type,
                          const std::vector<std::uint8_t>& data) override;
  bool EnumJobsW(HANDLE printer, DWORD firstJob, DWORD noJobs,
                 std::vector<JobInfo2>* jobs) override;
  bool GetJobW(HANDLE printer, DWORD jobId, JobInfo2* job) override;
  bool SetJobW(HANDLE printer, DWORD jobId, DWORD level, const JobInfo2* info,
               DWORD command) override;
  int DeviceCapabilitiesW(const std::wstring& device, const std::wstring& port,
                          std::uint16_t capability, std::vector<std::uint16_t>* papers,
                          std::vector<std::wstring>* paperNames) override;
  HANDLE FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, DWORD options,
                                            const PrinterNotifyOptions* notifyOptions) override;
  bool FindNextPrinterChangeNotification(HANDLE change, DWORD* changeFlags,
                                         const PrinterNotifyOptions* notifyOptions,
                                         PrinterNotifyInfo** info) override;
  bool FreePrinterNotifyInfo(PrinterNotifyInfo* info) override;
  bool FindClosePrinterChangeNotification(HANDLE change) override;
  DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& doc) override;
  bool WritePrinter(HANDLE printer, const void* data, DWORD size, DWORD* written) override;
  bool EndDocPrinter(HANDLE printer) override;
};

class Win32GdiSpool : public GdiSpool {
 public:
  HANDLE GdiGetSpoolFileHandle(const std::wstring& printer, const DevMode* devMode,
                               const std::wstring& document) override;
  bool GdiGetPageCount(HANDLE spool, DWORD* pages) override;
  bool GdiGetDevmodeForPage(HANDLE spool, DWORD page, DevMode* current, DevMode* last) override;
  bool GdiDeleteSpoolFileHandle(HANDLE spool) override;
};

class Win32Registry : public Registry {
 public:
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
};

class Win32Sockets : public Sockets {
 public:
  int WSAStartup(std::uint16_t versionRequested, WsaData* data) override;
  int WSACleanup() override;
  int WSAGetLastError() override;
  void WSASetLastError(int error) override;
  int GetAddrInfoW(const std::wstring& nodeName, const std::wstring& serviceName,
                   const AddrInfoW* hints, std::vector<AddrInfoW>* result) override;
  std::wstring AddressToString(const SockAddr& address) override;
  platform::SOCKET socket(int af, int type, int protocol) override;
  int bind(platform::SOCKET s, const SockAddr& name) override;
  int listen(platform::SOCKET s, int backlog) override;
  platform::SOCKET accept(platform::SOCKET s, SockAddr* peer) override;
  int connect(platform::SOCKET s, const SockAddr& name) override;
  int send(platform::SOCKET s, const void* data, int length, int flags) override;
  int recv(platform::SOCKET s, void* buffer, int length, int flags) override;
  int sendto(platform::SOCKET s, const void* data, int length, int flags,
             const SockAddr& to) override;
  int recvfrom(platform::SOCKET s, void* buffer, int length, int flags, SockAddr* from) override;
  int shutdown(platform::SOCKET s, int how) override;
  int closesocket(platform::SOCKET s) override;
  int setsockopt(platform::SOCKET s, int level, int optionName, const void* value,
                 int length) override;
  int getsockopt(platform::SOCKET s, int level, int optionName, void* value, int* length) override;
  int getsockname(platform::SOCKET s, SockAddr* name) override;
  int getpeername(platform::SOCKET s, SockAddr* name) override;
  int ioctlsocket(platform::SOCKET s, long command, unsigned long* argument) override;
  int WSAPoll(WsaPollFd* fds, unsigned long count, int timeoutMs) override;
};

class Win32Platform : public Platform {
 public:
  Kernel& kernel() override { return kernel_; }
  System& system() override { return system_; }
  Files& files() override { return files_; }
  Console& console() override { return console_; }
  Processes& processes() override { return processes_; }
  Services& services() override { return services_; }
  Registry& registry() override { return registry_; }
  Sockets& sockets() override { return sockets_; }
  EventLog& eventLog() override { return eventLog_; }
  Spooler& spooler() override { return spooler_; }
  GdiSpool& gdiSpool() override { return gdiSpool_; }

 private:
  Win32Kernel kernel_;
  Win32System system_;
  Win32Files files_;
  Win32Console console_;
  Win32Processes processes_;
  Win32Services services_;
  Win32Registry registry_;
  Win32Sockets sockets_;
  Win32EventLog eventLog_;
  Win32Spooler spooler_;
  Win32GdiSpool gdiSpool_;
};

}  // namespace platform::win32

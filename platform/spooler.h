// The print spooler (winspool): queues, ports, jobs, printer data, paper tables, change
// notifications and printing, with the Win32 calls' meaning and error codes. Records are
// owned structures with the Win32 field names; a failing call returns false (or null) and
// sets the thread's last error.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

// Printer enumeration, attributes and access.
constexpr DWORD PRINTER_ENUM_LOCAL = 0x2;
constexpr DWORD PRINTER_ENUM_NAME = 0x8;
constexpr DWORD PRINTER_ATTRIBUTE_QUEUED = 0x1;
constexpr DWORD PRINTER_ATTRIBUTE_SHARED = 0x8;
constexpr DWORD PRINTER_ATTRIBUTE_NETWORK = 0x10;
constexpr DWORD PRINTER_ATTRIBUTE_LOCAL = 0x40;
constexpr DWORD PRINTER_ATTRIBUTE_KEEPPRINTEDJOBS = 0x100;
constexpr DWORD PRINTER_ALL_ACCESS = 0xF000C;
constexpr DWORD SERVER_ALL_ACCESS = 0xF0003;

// Port types (PORT_INFO_2.fPortType).
constexpr DWORD PORT_TYPE_WRITE = 0x1;
constexpr DWORD PORT_TYPE_READ = 0x2;
constexpr DWORD PORT_TYPE_REDIRECTED = 0x4;
constexpr DWORD PORT_TYPE_NET_ATTACHED = 0x8;

// Job status bits, controls and positions.
constexpr DWORD JOB_STATUS_PAUSED = 0x1;
constexpr DWORD JOB_STATUS_ERROR = 0x2;
constexpr DWORD JOB_STATUS_DELETING = 0x4;
constexpr DWORD JOB_STATUS_SPOOLING = 0x8;
constexpr DWORD JOB_STATUS_PRINTING = 0x10;
constexpr DWORD JOB_STATUS_OFFLINE = 0x20;
constexpr DWORD JOB_STATUS_PAPEROUT = 0x40;
constexpr DWORD JOB_STATUS_PRINTED = 0x80;
constexpr DWORD JOB_STATUS_DELETED = 0x100;
constexpr DWORD JOB_STATUS_BLOCKED_DEVQ = 0x200;
constexpr DWORD JOB_STATUS_USER_INTERVENTION = 0x400;
constexpr DWORD JOB_STATUS_RESTART = 0x800;
constexpr DWORD JOB_STATUS_COMPLETE = 0x1000;
constexpr DWORD JOB_CONTROL_PAUSE = 1;
constexpr DWORD JOB_CONTROL_RESUME = 2;
constexpr DWORD JOB_CONTROL_CANCEL = 3;
constexpr DWORD JOB_CONTROL_RESTART = 4;
constexpr DWORD JOB_CONTROL_DELETE = 5;
constexpr DWORD JOB_POSITION_UNSPECIFIED = 0;

// DEVMODE fields.
constexpr DWORD DM_ORIENTATION = 0x1;
constexpr DWORD DM_PAPERSIZE = 0x2;
constexpr DWORD DM_COPIES = 0x100;
constexpr DWORD DM_COLOR = 0x800;
constexpr DWORD DM_DUPLEX = 0x1000;
constexpr std::int16_t DMCOLOR_MONOCHROME = 1;
constexpr std::int16_t DMCOLOR_COLOR = 2;
constexpr std::int16_t DMDUP_SIMPLEX = 1;
constexpr std::int16_t DMDUP_VERTICAL = 2;
constexpr std::int16_t DMDUP_HORIZONTAL = 3;
constexpr std::uint16_t DC_PAPERS = 2;
constexpr std::uint16_t DC_PAPERNAMES = 16;

// Change notifications.
constexpr DWORD PRINTER_CHANGE_ADD_PRINTER = 0x1;
constexpr DWORD PRINTER_CHANGE_SET_PRINTER = 0x2;
constexpr DWORD PRINTER_CHANGE_DELETE_PRINTER = 0x4;
constexpr DWORD PRINTER_CHANGE_PRINTER = 0xFF;
constexpr DWORD PRINTER_CHANGE_ADD_JOB = 0x100;
constexpr DWORD PRINTER_CHANGE_SET_JOB = 0x200;
constexpr DWORD PRINTER_CHANGE_DELETE_JOB = 0x400;
constexpr DWORD PRINTER_CHANGE_WRITE_JOB = 0x800;
constexpr DWORD PRINTER_CHANGE_JOB = 0xFF00;
constexpr std::uint16_t PRINTER_NOTIFY_TYPE = 0;
constexpr std::uint16_t JOB_NOTIFY_TYPE = 1;
constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PRINTER_NAME = 0x01;
constexpr std::uint16_t PRINTER_NOTIFY_FIELD_PORT_NAME = 0x03;
constexpr std::uint16_t PRINTER_NOTIFY_FIELD_DRIVER_NAME = 0x04;
constexpr std::uint16_t PRINTER_NOTIFY_FIELD_STATUS = 0x12;
constexpr std::uint16_t PRINTER_NOTIFY_FIELD_CJOBS = 0x14;
constexpr std::uint16_t JOB_NOTIFY_FIELD_PRINTER_NAME = 0x00;
constexpr std::uint16_t JOB_NOTIFY_FIELD_MACHINE_NAME = 0x01;
constexpr std::uint16_t JOB_NOTIFY_FIELD_USER_NAME = 0x03;
constexpr std::uint16_t JOB_NOTIFY_FIELD_NOTIFY_NAME = 0x04;
constexpr std::uint16_t JOB_NOTIFY_FIELD_DATATYPE = 0x05;
constexpr std::uint16_t JOB_NOTIFY_FIELD_STATUS = 0x0A;
constexpr std::uint16_t JOB_NOTIFY_FIELD_STATUS_STRING = 0x0B;
constexpr std::uint16_t JOB_NOTIFY_FIELD_DOCUMENT = 0x0D;
constexpr std::uint16_t JOB_NOTIFY_FIELD_POSITION = 0x0F;
constexpr std::uint16_t JOB_NOTIFY_FIELD_TOTAL_PAGES = 0x14;
constexpr std::uint16_t JOB_NOTIFY_FIELD_TOTAL_BYTES = 0x16;
constexpr DWORD PRINTER_NOTIFY_OPTIONS_REFRESH = 0x1;
constexpr DWORD PRINTER_NOTIFY_INFO_DISCARDED = 0x1;

// Spooler errors.
constexpr DWORD ERROR_PRINT_CANCELLED = 63;
constexpr DWORD ERROR_INVALID_FLAGS = 1004;
constexpr DWORD ERROR_INVALID_PRINTER_NAME = 1801;
constexpr DWORD ERROR_INVALID_DATATYPE = 1804;
constexpr DWORD ERROR_SPL_NO_STARTDOC = 3003;

using HDC = void*;

struct DevMode {              // DEVMODEW; the driver's private bytes follow the public part
  std::wstring dmDeviceName;  // at most 31 characters
  std::uint16_t dmSpecVersion = 0x0401;
  std::uint16_t dmDriverVersion = 0;
  std::uint16_t dmSize = 220;
  DWORD dmFields = 0;
  std::int16_t dmOrientation = 1;
  std::int16_t dmPaperSize = 9;  // DMPAPER_A4
  std::int16_t dmPaperLength = 0;
  std::int16_t dmPaperWidth = 0;
  std::int16_t dmScale = 100;
  std::int16_t dmCopies = 1;
  std::int16_t dmDefaultSource = 0;
  std::int16_t dmPrintQuality = 600;
  std::int16_t dmColor = DMCOLOR_MONOCHROME;
  std::int16_t dmDuplex = DMDUP_SIMPLEX;
  std::int16_t dmYResolution = 600;
  std::int16_t dmTTOption = 0;
  std::int16_t dmCollate = 0;
  std::wstring dmFormName;                // at most 31 characters
  std::vector<std::uint8_t> driverExtra;  // dmDriverExtra bytes
};

struct SystemTime {  // SYSTEMTIME (UTC)
  std::uint16_t wYear = 0, wMonth = 0, wDayOfWeek = 0, wDay = 0, wHour = 0, wMinute = 0,
                wSecond = 0, wMilliseconds = 0;
};

struct JobInfo2 {  // JOB_INFO_2
  DWORD JobId = 0;
  std::wstring pPrinterName, pMachineName, pUserName, pDocument, pNotifyName, pDatatype,
      pPrintProcessor, pParameters, pDriverName;
  std::optional<DevMode> pDevMode;
  std::wstring pStatus;
  DWORD Status = 0;
  DWORD Priority = 1;
  DWORD Position = 0;
  DWORD StartTime = 0, UntilTime = 0;
  DWORD TotalPages = 0;
  DWORD Size = 0;
  SystemTime Submitted;
  DWORD Time = 0;
  DWORD PagesPrinted = 0;
};

struct PrinterInfo2 {  // PRINTER_INFO_2
  std::wstring pServerName, pPrinterName, pShareName, pPortName, pDriverName, pComment, pLocation;
  std::optional<DevMode> pDevMode;
  std::wstring pSepFile, pPrintProcessor, pDatatype, pParameters;
  DWORD Attributes = 0, Priority = 1, DefaultPriority = 0, StartTime = 0, UntilTime = 0;
  DWORD Status = 0, cJobs = 0, AveragePPM = 0;
};

struct PortInfo2 {  // PORT_INFO_2
  std::wstring pPortName, pMonitorName, pDescription;
  DWORD fPortType = 0;
};

struct PrinterDefaults {  // PRINTER_DEFAULTSW
  std::optional<std::wstring> pDatatype;
  std::optional<DevMode> pDevMode;
  DWORD DesiredAccess = 0;
};

struct DocInfo1 {  // DOC_INFO_1W
  std::wstring pDocName, pOutputFile, pDatatype;
};

struct PrinterNotifyOptionsType {  // PRINTER_NOTIFY_OPTIONS_TYPE
  std::uint16_t Type = 0;
  std::vector<std::uint16_t> pFields;
};

struct PrinterNotifyOptions {  // PRINTER_NOTIFY_OPTIONS (version 2)
  DWORD Version = 2;
  DWORD Flags = 0;
  std::vector<PrinterNotifyOptionsType> pTypes;
};

struct PrinterNotifyInfoData {  // PRINTER_NOTIFY_INFO_DATA: numbers or a text
  std::uint16_t Type = 0;
  std::uint16_t Field = 0;
  DWORD Id = 0;
  DWORD adwData[2] = {0, 0};
  std::optional<std::wstring> pBuf;  // the text of string fields
};

struct PrinterNotifyInfo {  // PRINTER_NOTIFY_INFO
  DWORD Version = 2;
  DWORD Flags = 0;
  std::vector<PrinterNotifyInfoData> aData;
};

class Spooler {
 public:
  virtual ~Spooler() = default;

  // EnumPrintersW level 2: PRINTER_ENUM_LOCAL with an empty name, or PRINTER_ENUM_NAME with
  // the server's name.
  virtual bool EnumPrintersW(DWORD flags, const std::wstring& name,
                             std::vector<PrinterInfo2>* printers) = 0;
  // EnumPortsW level 2 (an empty server is the local machine).
  virtual bool EnumPortsW(const std::wstring& server, std::vector<PortInfo2>* ports) = 0;

  // OpenPrinterW: an empty name opens the local print server.
  virtual bool OpenPrinterW(const std::wstring& name, HANDLE* printer,
                            const PrinterDefaults* defaults) = 0;
  virtual bool ClosePrinter(HANDLE printer) = 0;
  virtual bool GetPrinterW(HANDLE printer, PrinterInfo2* info) = 0;
  // GetPrinterDataW / SetPrinterDataExW: the Win32 return code (ERROR_SUCCESS,
  // ERROR_FILE_NOT_FOUND…).
  virtual DWORD GetPrinterDataW(HANDLE printer, const std::wstring& valueName, DWORD* type,
                                std::vector<std::uint8_t>* data) = 0;
  virtual DWORD SetPrinterDataExW(HANDLE printer, const std::wstring& keyName,
                                  const std::wstring& valueName, DWORD type,
                                  const std::vector<std::uint8_t>& data) = 0;

  // EnumJobsW / GetJobW level 2; SetJobW level 0 (no info) or 2 (status text, user name,
  // position) with a command. A job that is gone: ERROR_INVALID_PARAMETER.
  virtual bool EnumJobsW(HANDLE printer, DWORD firstJob, DWORD noJobs,
                         std::vector<JobInfo2>* jobs) = 0;
  virtual bool GetJobW(HANDLE printer, DWORD jobId, JobInfo2* job) = 0;
  virtual bool SetJobW(HANDLE printer, DWORD jobId, DWORD level, const JobInfo2* info,
                       DWORD command) = 0;

  // DeviceCapabilitiesW for DC_PAPERS (ids) and DC_PAPERNAMES (names): the count, or -1.
  virtual int DeviceCapabilitiesW(const std::wstring& device, const std::wstring& port,
                                  std::uint16_t capability, std::vector<std::uint16_t>* papers,
                                  std::vector<std::wstring>* paperNames) = 0;

  // Change notifications. The change handle is a kernel object of this process: it is
  // signalled while changes wait, and can be waited for with the kernel's waits.
  virtual HANDLE FindFirstPrinterChangeNotification(HANDLE printer, DWORD filter, DWORD options,
                                                    const PrinterNotifyOptions* notifyOptions) = 0;
  // `info` (may be null) receives a heap record that FreePrinterNotifyInfo releases.
  virtual bool FindNextPrinterChangeNotification(HANDLE change, DWORD* changeFlags,
                                                 const PrinterNotifyOptions* notifyOptions,
                                                 PrinterNotifyInfo** info) = 0;
  virtual bool FreePrinterNotifyInfo(PrinterNotifyInfo* info) = 0;
  virtual bool FindClosePrinterChangeNotification(HANDLE change) = 0;

  // Printing a document: its job id, or 0.
  virtual DWORD StartDocPrinterW(HANDLE printer, const DocInfo1& doc) = 0;
  virtual bool WritePrinter(HANDLE printer, const void* data, DWORD size, DWORD* written) = 0;
  virtual bool EndDocPrinter(HANDLE printer) = 0;
};

// The GDI spool-file functions of the print processor interface: an EMF job's pages and
// the DEVMODE in force for each.
class GdiSpool {
 public:
  virtual ~GdiSpool() = default;
  // GdiGetSpoolFileHandle: `printer` is "\\queue\port, Port", `document` "queue, Job N".
  virtual HANDLE GdiGetSpoolFileHandle(const std::wstring& printer, const DevMode* devMode,
                                       const std::wstring& document) = 0;
  virtual bool GdiGetPageCount(HANDLE spool, DWORD* pages) = 0;
  // GdiGetDevmodeForPage: the DEVMODE of the page (from 1) and of the page before it.
  virtual bool GdiGetDevmodeForPage(HANDLE spool, DWORD page, DevMode* current, DevMode* last) = 0;
  virtual bool GdiDeleteSpoolFileHandle(HANDLE spool) = 0;
};

}  // namespace platform

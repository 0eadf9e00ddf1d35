#include "agent/config/settings.h"

#include <atomic>
#include <mutex>

#include "agent/config/registry_values.h"
#include "agent/config/server_settings.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"

namespace tollgate::config {
namespace {

constexpr platform::DWORD kWriteAccess =
    platform::KEY_READ | platform::KEY_CREATE_SUB_KEY | platform::KEY_SET_VALUE;

std::atomic<std::int32_t> printerIdCounter{0};

std::mutex handlerLock;
std::function<void(const std::wstring&)> queueChangedHandler;

std::wstring TrimBlanks(const std::wstring& text) {
  const wchar_t* blanks = L" \t\r\n\v\f";
  std::size_t first = text.find_first_not_of(blanks);
  if (first == std::wstring::npos) return L"";
  return text.substr(first, text.find_last_not_of(blanks) - first + 1);
}

// A text value that is present and not empty.
std::optional<std::wstring> Text(const RegistryKey& key, const wchar_t* name) {
  auto text = key.ReadString(name);
  if (!text || text->empty()) return std::nullopt;
  return text;
}

void ReadFlag(const RegistryKey& key, const wchar_t* name, bool* field) {
  if (auto text = Text(key, name)) *field = Wtoi(*text) != 0;
}

void ReadInt(const RegistryKey& key, const wchar_t* name, std::int32_t* field) {
  if (auto text = Text(key, name)) *field = Wtoi(*text);
}

void ReadText(const RegistryKey& key, const wchar_t* name, std::wstring* field) {
  if (auto text = Text(key, name)) *field = *text;
}

}  // namespace

std::wstring PrinterKey(const std::wstring& printer) {
  return std::wstring(kAgentKey) + L"\\Printers\\" + printer;
}

AgentSettings ReadAgentSettings() {
  AgentSettings settings;
  RegistryKey key;
  if (key.Open(kAgentKey, platform::KEY_READ) != platform::ERROR_SUCCESS) return settings;
  if (auto text = Text(key, L"ServerAddress")) settings.serverAddress = *text;
  if (auto text = Text(key, L"ServerPort")) settings.serverPort = TrimBlanks(*text);
  if (auto text = Text(key, L"FreeGBRequiredToArchive")) {
    settings.freeGbRequiredToArchive = static_cast<std::int16_t>(Wtoi(*text));
  }
  if (auto text = Text(key, L"DaysToKeepArchivedFile")) {
    settings.daysToKeepArchivedFile = static_cast<std::int16_t>(Wtoi(*text));
  }
  if (auto value = key.ReadDword(L"OnRemoteFailureWaitMinutes")) {
    settings.onRemoteFailureWaitMinutes = static_cast<std::int32_t>(*value);
  }
  if (auto text = Text(key, L"CanQueryMFCopy")) settings.canQueryMfCopy = *text == L"1";
  if (auto value = key.ReadDword(L"AccountLocalPort")) settings.accountLocalPort = *value == 1;
  if (auto text = Text(key, L"AllowedCallers")) settings.allowedCallers = *text;
  return settings;
}

PrinterSettings ReadPrinterSettings(const std::wstring& printer) {
  PrinterSettings settings;
  RegistryKey key;
  if (key.Open(PrinterKey(printer), platform::KEY_READ) != platform::ERROR_SUCCESS) {
    return settings;
  }
  if (auto text = Text(key, L"Id")) {
    settings.id = Wtoi(*text);
  } else {
    settings.id = ++printerIdCounter;
    WritePrinterNumber(printer, L"Id", settings.id);
  }
  ReadFlag(key, L"KeepHistory", &settings.keepHistory);
  ReadInt(key, L"AccountCopy", &settings.accountCopy);
  ReadInt(key, L"Language", &settings.language);
  ReadText(key, L"User", &settings.user);
  ReadText(key, L"Password", &settings.password);
  ReadInt(key, L"LastCopyJob", &settings.lastCopyJob);
  ReadFlag(key, L"IsToArchive", &settings.isToArchive);
  ReadFlag(key, L"IdentifyHardware", &settings.identifyHardware);
  ReadText(key, L"SnmpCommunity", &settings.snmpCommunity);
  ReadFlag(key, L"IsToCheckCounterAfterPrint", &settings.isToCheckCounterAfterPrint);
  ReadFlag(key, L"EmfCopiesReading", &settings.emfCopiesReading);
  settings.logPath = key.ReadString(L"LogPath").value_or(L"");
  return settings;
}

platform::LONG WriteAgentValue(const std::wstring& name, const std::wstring& text) {
  RegistryKey key;
  platform::LONG rc = key.Create(kAgentKey, kWriteAccess);
  if (rc != platform::ERROR_SUCCESS) return rc;
  return key.WriteString(name, text);
}

void WritePrinterValue(const std::wstring& printer, const std::wstring& name,
                       const std::wstring& text) {
  RegistryKey key;
  if (key.Create(PrinterKey(printer), kWriteAccess) != platform::ERROR_SUCCESS) return;
  key.WriteString(name, text);
}

void WritePrinterNumber(const std::wstring& printer, const std::wstring& name,
                        std::int32_t number) {
  WritePrinterValue(printer, name, std::to_wstring(number));
}

void WritePrinterFlag(const std::wstring& printer, const std::wstring& name, bool flag) {
  WritePrinterValue(printer, name, flag ? L"1" : L"0");
}

void ApplyServerConfiguration(const ServerConfiguration& configuration) {
  WriteAgentValue(L"FreeGBRequiredToArchive",
                  std::to_wstring(configuration.freeGbRequiredToArchive));
  WriteAgentValue(L"DaysToKeepArchivedFile", std::to_wstring(configuration.daysToKeepArchivedFile));
  WriteAgentValue(L"CanQueryMFCopy", std::to_wstring(configuration.canQueryMfCopy));
  for (std::size_t i = 0; i < configuration.printers.size(); ++i) {
    const ServerPrinterConfiguration& p = configuration.printers[i];
    WritePrinterNumber(p.name, L"Id", p.id);
    WritePrinterNumber(p.name, L"Language", p.language);
    WritePrinterNumber(p.name, L"IdentifyHardware", p.identifyHardware);
    WritePrinterNumber(p.name, L"IsToArchive", p.isToArchive);
    WritePrinterNumber(p.name, L"IsToCheckCounterAfterPrint", p.isToCheckCounterAfterPrint);
    if (p.snmpCommunity) {
      WritePrinterValue(p.name, L"SnmpCommunity",
                        platform::system().MultiByteToWideChar(platform::CP_ACP, *p.snmpCommunity));
    }
    const auto& entries = configuration.emfCopiesReading;
    bool emf = !entries || i >= entries->size() || (*entries)[i];
    WritePrinterFlag(p.name, L"EmfCopiesReading", emf);
  }
}

void SetQueueConfigChangedHandler(std::function<void(const std::wstring& printer)> handler) {
  std::lock_guard<std::mutex> guard(handlerLock);
  queueChangedHandler = std::move(handler);
}

std::int16_t OnConfigChanged(std::int16_t type, const std::wstring& data) {
  try {
    switch (type) {
      case 1:
      case 2:
      case 3:
      case 4: {
        std::function<void(const std::wstring&)> handler;
        {
          std::lock_guard<std::mutex> guard(handlerLock);
          handler = queueChangedHandler;
        }
        if (handler) handler(data);
        break;
      }
      case 5:
        ServerSettings::Process().SetHost(data);
        break;
      case 6:
        ServerSettings::Process().SetPort(data);
        break;
      default:
        Log(L"Received an unexpected config change event. Type: " + std::to_wstring(type) +
            L"Data: " + data);
    }
    return 1;
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    Log(L"Error while changing config: " + owned->Message());
  } catch (...) {
    Log(L"Unknown exception while changing config");
  }
  return 0;
}

void ResetPrinterIdCounterForTesting() {
  printerIdCounter = 0;
}

}  // namespace tollgate::config

// The agent's registry settings: one key for the agent and a subkey for each print queue.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/types.h"

namespace tollgate::config {

inline constexpr wchar_t kAgentKey[] = L"SOFTWARE\\Velmora\\Tollgate Client";

struct AgentSettings {
  std::wstring serverAddress;
  std::wstring serverPort;
  std::int16_t freeGbRequiredToArchive = 2;
  std::int16_t daysToKeepArchivedFile = 30;
  std::int32_t onRemoteFailureWaitMinutes = 1;
  bool canQueryMfCopy = true;
  bool accountLocalPort = false;
  // More callers of the agent's own RPC server than the central server and this machine.
  std::wstring allowedCallers;
};

struct PrinterSettings {
  bool keepHistory = true;
  bool identifyHardware = true;
  bool isToArchive = false;
  bool isToCheckCounterAfterPrint = false;
  bool emfCopiesReading = true;
  std::int32_t accountCopy = 0;
  std::int32_t language = 0;
  std::wstring user;
  std::wstring password;
  std::wstring logPath;
  std::wstring snmpCommunity = L"public";
  std::int32_t lastCopyJob = 0;
  std::int32_t id = 0;
};

// What the server's registration answer configures.
struct ServerPrinterConfiguration {
  std::wstring name;
  std::int32_t id = 0;
  std::int32_t language = 0;
  std::int32_t identifyHardware = 0;
  std::int32_t isToArchive = 0;
  std::int32_t isToCheckCounterAfterPrint = 0;
  std::optional<std::string> snmpCommunity;  // narrow text in the ANSI code page
};

struct ServerConfiguration {
  std::int32_t freeGbRequiredToArchive = 0;
  std::int32_t daysToKeepArchivedFile = 0;
  std::int32_t canQueryMfCopy = 0;
  std::vector<ServerPrinterConfiguration> printers;
  // The answer's "printers" array, when it has one: for each entry, whether its
  // "emfCopiesReading" is JSON true; a printer past its end reads EMF copies.
  std::optional<std::vector<bool>> emfCopiesReading;
};

// The printer key of a queue: the agent key, "\Printers\" and the printer's name.
std::wstring PrinterKey(const std::wstring& printer);

AgentSettings ReadAgentSettings();
// Reads a queue's settings; a queue without "Id" gets the next identifier of this run,
// written back to its key.
PrinterSettings ReadPrinterSettings(const std::wstring& printer);

platform::LONG WriteAgentValue(const std::wstring& name, const std::wstring& text);
void WritePrinterValue(const std::wstring& printer, const std::wstring& name,
                       const std::wstring& text);
void WritePrinterNumber(const std::wstring& printer, const std::wstring& name, std::int32_t number);
void WritePrinterFlag(const std::wstring& printer, const std::wstring& name, bool flag);

void ApplyServerConfiguration(const ServerConfiguration& configuration);

// What a change of a queue's configuration (event types 1 to 4) asks the application to do:
// read the queue's settings again and monitor it anew. Set by the application while it runs.
void SetQueueConfigChangedHandler(std::function<void(const std::wstring& printer)> handler);

// The configuration-change call: 1 when handled, 0 when it failed (reported in the file log).
std::int16_t OnConfigChanged(std::int16_t type, const std::wstring& data);

// Resets the run's "Id" counter (a new run starts at 1); for tests.
void ResetPrinterIdCounterForTesting();

}  // namespace tollgate::config

// The printer factory: declines virtual printers (fax, PDF and document writers) and queues
// on unmonitored ports, and picks the model's Printer subclass from its driver name.
#pragma once

#include <memory>
#include <string>

#include "agent/spooler/printer.h"

namespace tollgate::spooler {

// The model's Printer (not yet checked against its port), or none for a virtual printer.
std::unique_ptr<Printer> MakeModelPrinter(const std::wstring& name, const std::wstring& driver,
                                          PrintMgr* manager);
// MakeModelPrinter, declining a queue whose port is not monitored.
std::unique_ptr<Printer> MakePrinter(const std::wstring& name, const std::wstring& driver,
                                     PrintMgr* manager);

// The fixed port of the one queue that always prints to its WSD device.
inline constexpr wchar_t kFixedWsdPrinter[] = L"0310272a-aaa2-4e68-9032-b621a0d16d6e";
inline constexpr wchar_t kFixedWsdPort[] = L"WSD-d9ccb6bc-ffa4-40e5-b7f8-a367d6b62ad3.003e";

}  // namespace tollgate::spooler

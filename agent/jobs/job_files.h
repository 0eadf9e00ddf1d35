// Where a job's spool data is: its spool file, and the copies of an EMF-spooled job read
// through the GDI spool-file interface.
#pragma once

#include <cstdint>
#include <string>

#include "platform/spooler.h"

namespace tollgate::spooler {
class Printer;
}

namespace tollgate::jobs {

// The queue's spool directory (read first when the printer has none yet), a backslash, the
// job id zero-padded to five digits and ".spl".
std::wstring SpoolFilePath(spooler::Printer& printer, std::uint32_t jobId);

// The copies of page 1's DEVMODE of an EMF job; false (copies unchanged) when they cannot be
// read. Failures are logged.
bool ReadEmfCopies(spooler::Printer& printer, const std::wstring& queueName,
                   const platform::JobInfo2& job, std::int16_t* copies);

}  // namespace tollgate::jobs

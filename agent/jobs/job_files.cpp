#include "agent/jobs/job_files.h"

#include <exception>
#include <memory>

#include "agent/spooler/printer.h"
#include "gatelib/printing/job_data.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"

namespace tollgate::jobs {

std::wstring SpoolFilePath(spooler::Printer& printer, std::uint32_t jobId) {
  std::wstring directory = printer.SpoolDirectory();
  if (directory.empty()) directory = printer.GetSpoolDirectory();
  return gatelib::printing::SpoolFileName(directory, jobId);
}

bool ReadEmfCopies(spooler::Printer& /*printer*/, const std::wstring& queueName,
                   const platform::JobInfo2& job, std::int16_t* copies) {
  try {
    std::wstring port = spooler::QueuePortName(queueName);
    std::wstring printerArgument = L"\\\\" + queueName + L"\\" + port + L", Port";
    std::wstring document = queueName + L", Job " + std::to_wstring(job.JobId);
    platform::GdiSpool& gdi = platform::gdiSpool();
    const platform::DevMode* devMode = job.pDevMode ? &*job.pDevMode : nullptr;
    platform::HANDLE spool = gdi.GdiGetSpoolFileHandle(printerArgument, devMode, document);
    if (spool == nullptr) return false;
    struct Release {
      platform::HANDLE spool;
      ~Release() { platform::gdiSpool().GdiDeleteSpoolFileHandle(spool); }
    } release{spool};
    platform::DevMode current;
    if (!gdi.GdiGetDevmodeForPage(spool, 1, &current, nullptr)) return false;
    if ((current.dmFields & platform::DM_COPIES) == 0 || current.dmCopies == 0) return false;
    *copies = current.dmCopies;
    return true;
  } catch (Error* error) {
    std::unique_ptr<Error> owned(error);
    Log(L"Error reading EMF attributes: " + owned->Message());
  } catch (const std::exception& exception) {
    std::string what = exception.what();
    if (what.empty()) {
      Log(L"Exception reading EMF attributes.");
    } else {
      Log(L"Exception reading EMF attributes: " +
          platform::system().MultiByteToWideChar(platform::CP_ACP, what));
    }
  }
  return false;
}

}  // namespace tollgate::jobs

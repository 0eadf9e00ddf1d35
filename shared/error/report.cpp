#include "shared/error/report.h"

#include <memory>
#include <stdexcept>
#include <string>

#include "platform/platform.h"
#include "shared/error/file_log.h"

namespace tollgate {

void ReportError(Error* error) {
  std::unique_ptr<Error> owned(error);
  if (owned) Log(owned->Message());
}

void ReportException(const std::exception& exception) {
  Log(platform::system().MultiByteToWideChar(platform::CP_ACP, exception.what()));
}

void TranslateStructuredException(unsigned code) {
  throw std::runtime_error("SEH exception: " + std::to_string(static_cast<int>(code)));
}

bool RunReported(const std::wstring& place, const std::function<void()>& body) {
  try {
    body();
    return true;
  } catch (Error* error) {
    ReportError(error);
  } catch (const std::exception& exception) {
    ReportException(exception);
  } catch (...) {
    ReportError(new UnknownError(place));
  }
  return false;
}

}  // namespace tollgate

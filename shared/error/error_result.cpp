#include "shared/error/error_result.h"

#include "platform/platform.h"

namespace tollgate {
namespace {

// FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK.
constexpr platform::DWORD kOneLine = 0x11FF;

}  // namespace

ErrorResultPtr WindowsErrorResult() {
  return WindowsErrorResult(platform::kernel().GetLastError());
}

ErrorResultPtr WindowsErrorResult(std::uint32_t code) {
  auto text = platform::kernel().FormatMessageW(kOneLine, code, platform::LANG_USER_DEFAULT);
  if (!text) {
    return MakeError(L"Windows error " + std::to_wstring(platform::kernel().GetLastError()) +
                     L" formatting message for code " + std::to_wstring(code));
  }
  return MakeError(L"Windows error " + std::to_wstring(code) + L": " + *text);
}

ErrorResultPtr SystemErrorAt(const std::wstring& place) {
  std::uint32_t code = platform::kernel().GetLastError();
  std::wstring head = L"System error " + std::to_wstring(code) + L" @" + place + L": ";
  auto text = platform::kernel().FormatMessageW(kOneLine, code, platform::LANG_USER_DEFAULT);
  if (!text) {
    return MakeError(head + L"(FormatMessage failed:" +
                     std::to_wstring(platform::kernel().GetLastError()) + L")");
  }
  return MakeError(head + *text);
}

ErrorResultPtr WrapError(ErrorResultPtr inner, const std::wstring& context) {
  return MakeError(context + L": " + (inner ? inner->Text() : std::wstring()));
}

}  // namespace tollgate

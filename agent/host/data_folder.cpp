#include "agent/host/data_folder.h"

#include <vector>

#include "platform/platform.h"

namespace tollgate {

ErrorResultPtr GetDataFolder(std::wstring* path) {
  std::wstring common;
  platform::HRESULT hr = platform::system().SHGetFolderPathW(
      platform::CSIDL_COMMON_APPDATA | platform::CSIDL_FLAG_CREATE, &common);
  if (platform::Failed(hr)) {
    return WrapError(WindowsErrorResult(static_cast<std::uint32_t>(hr) & 0xFFFF),
                     L"error getting common app data folder");
  }
  std::vector<std::wstring> levels;
  levels.push_back(common + L"/" + L"Tollgate");
  levels.push_back(levels.back() + L"/" + L"Client");
  for (const std::wstring& level : levels) {
    if (!platform::files().CreateDirectoryW(level) &&
        platform::kernel().GetLastError() != platform::ERROR_ALREADY_EXISTS) {
      return WrapError(WindowsErrorResult(), L"error creating folder");
    }
  }
  *path = levels.back();
  return nullptr;
}

}  // namespace tollgate

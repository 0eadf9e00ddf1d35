#include "agent/host/command_line.h"

#include <cwctype>

namespace tollgate {
namespace {

bool SameOption(const std::wstring& arg, const wchar_t* option) {
  std::size_t i = 0;
  for (; option[i] != L'\0'; ++i) {
    if (i >= arg.size() || std::towlower(arg[i]) != std::towlower(option[i])) return false;
  }
  return i == arg.size();
}

}  // namespace

CommandLine ParseCommandLine(const std::vector<std::wstring>& argv) {
  CommandLine result;
  for (std::size_t i = 1; i < argv.size(); ++i) {
    const std::wstring& arg = argv[i];
    bool hasNext = i + 1 < argv.size();
    if (SameOption(arg, L"/server") && hasNext) {
      result.server = argv[++i];
    } else if (SameOption(arg, L"/serviceinstall")) {
      result.serviceInstall = true;
    } else if (SameOption(arg, L"/serviceuninstall")) {
      result.serviceUninstall = true;
    } else if (SameOption(arg, L"/servicerun")) {
      result.serviceRun = true;
    } else if (SameOption(arg, L"/port") && hasNext) {
      result.port = argv[++i];
    }
  }
  return result;
}

}  // namespace tollgate

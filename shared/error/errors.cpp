#include "shared/error/errors.h"

#include <stdexcept>

#include "platform/platform.h"
#include "shared/error/catalogue.h"

namespace {

std::wstring Decimal(std::uint32_t v) {
  return std::to_wstring(v);
}

void ReplaceAll(std::wstring& text, const std::wstring& what, const std::wstring& with) {
  std::size_t at = 0;
  while ((at = text.find(what, at)) != std::wstring::npos) {
    text.replace(at, what.size(), with);
    at += with.size();
  }
}

}  // namespace

Error::Error(std::uint32_t id, std::vector<std::wstring> args, std::int32_t extra)
    : id_(id), extra_(extra), args_(std::move(args)) {}

std::wstring Error::JoinedArgs() const {
  std::wstring joined;
  for (std::size_t i = 0; i < args_.size(); ++i) {
    if (i > 0) joined += L',';
    joined += args_[i];
  }
  return joined;
}

std::wstring Error::Message() const {
  std::wstring text = tollgate::Catalogue().Text(Id());
  if (text.empty()) return Description();
  const auto& args = Args();
  for (std::size_t i = 0; i < args.size(); ++i) {
    ReplaceAll(text, L"%" + std::to_wstring(i + 1), args[i]);
  }
  return text;
}

std::wstring Error::Description() const {
  return L"Error Id: " + Decimal(Id()) + L" with args " + JoinedArgs();
}

std::wstring SystemError::SystemTextOf(std::uint32_t code) {
  auto text = platform::kernel().FormatMessageW(
      platform::FORMAT_MESSAGE_FROM_SYSTEM | platform::FORMAT_MESSAGE_ALLOCATE_BUFFER, code,
      platform::LANG_USER_DEFAULT);
  return text ? *text : std::wstring();
}

SystemError::SystemError(std::uint32_t id, std::uint32_t code, std::vector<std::wstring> args)
    : Error(id, std::move(args)), code_(code), systemText_(SystemTextOf(code)) {}

SystemError::SystemError(const std::wstring& context)
    : SystemError(context, platform::kernel().GetLastError()) {}

SystemError::SystemError(const std::wstring& context, std::uint32_t code)
    : SystemError(7, code, {}) {
  MutableArgs() = {context, Decimal(code_), systemText_};
}

SystemError::SystemError(const std::wstring& functionName, const std::wstring& caller)
    : SystemError(0, platform::kernel().GetLastError(), {}) {
  MutableArgs() = {functionName, caller, Decimal(code_), systemText_};
}

std::wstring SystemError::Description() const {
  return L"System error: " + JoinedArgs();
}

void SystemError::AddContextDetail(const std::wstring& detail) {
  if (MutableArgs().empty()) throw std::invalid_argument("error without arguments");
  MutableArgs().front() += L"(" + detail + L")";
}

std::wstring RPCError::StatusText(std::uint32_t status) {
  switch (status) {
    case 1722:
      return tollgate::Catalogue().Text(4);
    case 1745:
      return tollgate::Catalogue().Text(5);
    case 1753:
      return tollgate::Catalogue().Text(6);
    default:
      return SystemTextOf(status);
  }
}

RPCError::RPCError(const std::wstring& context, std::uint32_t status)
    : SystemError(3, status, {context, Decimal(status), StatusText(status)}) {}

RPCError::RPCError(const std::wstring& first, const std::wstring& second, std::uint32_t status)
    : RPCError(first + L"@" + second, status) {}

RPCError::RPCError(const std::wstring& context, const std::wstring& host,
                   const std::wstring& endpoint, std::uint32_t status)
    : RPCError(context + L" (host=" + host + L", endpoint=" + endpoint + L")", status) {}

UnknownError::UnknownError(const std::wstring& place) : Error(1, {place}) {}

namespace Tollgate::Error {

PassThrough::PassThrough(const std::wstring& text, std::int32_t extra)
    : ::Error(2, {text}, extra) {}

NotInitialized::NotInitialized(const std::wstring& name) : ::Error(19, {name}) {}

}  // namespace Tollgate::Error

#include "agent/spooler/ports.h"

#include <cwchar>
#include <cwctype>

#include "platform/platform.h"
#include "shared/error/errors.h"

namespace tollgate::spooler {

namespace {

std::wstring Lower(std::wstring text) {
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  return text;
}

bool IsDigit(wchar_t c) {
  return c >= L'0' && c <= L'9';
}

// A string value of an open key ("" when missing or not text).
std::wstring QueryText(platform::HKEY key, const std::wstring& name) {
  platform::DWORD type = 0, size = 0;
  if (platform::registry().RegQueryValueExW(key, name, &type, nullptr, &size) != 0) return {};
  if ((type != platform::REG_SZ && type != platform::REG_EXPAND_SZ) || size == 0) return {};
  std::vector<std::uint8_t> data(size);
  if (platform::registry().RegQueryValueExW(key, name, &type, data.data(), &size) != 0) return {};
  std::wstring text;
  for (std::size_t i = 0; i + 1 < size; i += 2) {
    wchar_t c = static_cast<wchar_t>(data[i] | (data[i + 1] << 8));
    if (c == 0) break;
    text.push_back(c);
  }
  return text;
}

std::wstring ReadKeyValue(const std::wstring& path, const std::wstring& name) {
  platform::HKEY key = nullptr;
  if (platform::registry().RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path, platform::KEY_READ,
                                         &key) != 0)
    return {};
  std::wstring text = QueryText(key, name);
  platform::registry().RegCloseKey(key);
  return text;
}

}  // namespace

Port::Port(const platform::PortInfo2& entry)
    : name_(entry.pPortName),
      network_((entry.fPortType & platform::PORT_TYPE_NET_ATTACHED) != 0),
      notMonitored_((entry.fPortType & platform::PORT_TYPE_REDIRECTED) != 0),
      unc_(name_.size() >= 2 && name_[0] == L'\\' && name_[1] == L'\\') {
  if (name_.size() >= 5 && name_[0] == L'T' && name_[1] == L'S' && IsDigit(name_[2]) &&
      IsDigit(name_[3]) && IsDigit(name_[4]))
    notMonitored_ = true;
}

std::wstring WsdPort::GetAddress() {
  const std::wstring base = L"SYSTEM\\CurrentControlSet\\Enum\\SWD\\";
  std::wstring container = ReadKeyValue(base + L"PRINTENUM\\" + Name(), L"ContainerID");
  std::wstring host;
  if (!container.empty()) {
    platform::HKEY devices = nullptr;
    if (platform::registry().RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, base + L"DAFWSDProvider",
                                           platform::KEY_READ, &devices) == 0) {
      std::wstring sub;
      for (platform::DWORD i = 0; platform::registry().RegEnumKeyExW(devices, i, &sub) == 0; ++i) {
        std::wstring path = base + L"DAFWSDProvider\\" + sub;
        if (Lower(ReadKeyValue(path, L"ContainerID")) != Lower(container)) continue;
        std::wstring url = ReadKeyValue(path, L"LocationInformation");
        if (url.empty()) continue;
        std::size_t open = url.find(L'[');
        if (open != std::wstring::npos) {
          std::size_t close = url.find(L']', open);
          host = url.substr(open + 1,
                            close == std::wstring::npos ? std::wstring::npos : close - open - 1);
          host = host.substr(0, host.find(L'%'));
        } else {
          std::size_t slashes = url.find(L"//");
          std::size_t start = slashes == std::wstring::npos ? 0 : slashes + 2;
          std::size_t colon = url.find(L':', start);
          std::size_t end = url.find(L'/', start);
          if (colon == std::wstring::npos || (end != std::wstring::npos && end < colon))
            colon = end;
          host =
              url.substr(start, colon == std::wstring::npos ? std::wstring::npos : colon - start);
        }
        break;
      }
      platform::registry().RegCloseKey(devices);
    }
  }
  return host.empty() ? Name() : host;
}

IPPort::IPPort(const platform::PortInfo2& entry, std::wstring monitor, std::wstring primaryValue,
               std::wstring secondaryValue)
    : Port(entry),
      monitor_(std::move(monitor)),
      primary_(std::move(primaryValue)),
      secondary_(std::move(secondaryValue)) {}

std::wstring IPPort::ReadValue(const std::wstring& valueName) {
  std::wstring path =
      L"SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\" + monitor_ + L"\\Ports\\" + Name();
  platform::HKEY key = nullptr;
  platform::LONG rc = platform::registry().RegOpenKeyExW(platform::HKEY_LOCAL_MACHINE, path,
                                                         platform::KEY_READ, &key);
  if (rc != 0) {
    platform::kernel().SetLastError(static_cast<platform::DWORD>(rc));
    throw new SystemError(L"k.open", L"IPPort::GetAddress");
  }
  platform::DWORD type = 0, size = 0;
  rc = platform::registry().RegQueryValueExW(key, valueName, &type, nullptr, &size);
  std::wstring text;
  if (rc == 0 && (type == platform::REG_SZ || type == platform::REG_EXPAND_SZ)) {
    text = QueryText(key, valueName);
    if (text.size() > 260) text.resize(260);
  }
  platform::registry().RegCloseKey(key);
  if (rc != 0 || (type != platform::REG_SZ && type != platform::REG_EXPAND_SZ)) {
    platform::kernel().SetLastError(rc != 0 ? static_cast<platform::DWORD>(rc)
                                            : platform::ERROR_INVALID_PARAMETER);
    throw new SystemError(L"k.QueryStringValue", L"IPPort::GetAddress");
  }
  return text;
}

std::wstring IPPort::GetAddress() {
  std::wstring value = ReadValue(primary_);
  if (!value.empty()) {
    lastValue_ = value;
    address_ = value;
    return address_;
  }
  std::wstring host = ReadValue(secondary_);
  if (!host.empty() && Lower(host) != Lower(lastValue_)) {
    lastValue_ = host;
    ResolveAddress(host);
  }
  return address_;
}

void IPPort::ResolveAddress(const std::wstring& value) {
  if (!value.empty() && IsDigit(value[0])) {
    address_ = value;
    return;
  }
  try {
    address_ = GetIP(value);
  } catch (Error* error) {
    delete error;
    address_ = value;
  }
}

LprPort::LprPort(const platform::PortInfo2& entry)
    : IPPort(entry, L"LPR Port", L"Server Name", L"") {
  ForceNetwork();
}

std::wstring LprPort::GetAddress() {
  std::wstring server = ReadValue(primary_);
  if (server != lastValue_) {
    lastValue_ = server;
    if (!server.empty() && IsDigit(server[0]))
      address_ = server;
    else if (!server.empty())
      ResolveAddress(server);
  } else if (server.empty()) {
    address_ = Name();
  }
  if (address_.empty()) address_ = Name();
  return address_;
}

std::wstring GetIP(const std::wstring& host) {
  platform::AddrInfoW hints;
  hints.ai_family = platform::AF_INET;
  std::vector<platform::AddrInfoW> found;
  if (!host.empty() && std::iswalpha(host[0]) &&
      platform::sockets().GetAddrInfoW(host, L"", &hints, &found) == 0 && !found.empty())
    return platform::sockets().AddressToString(found.front().ai_addr);
  throw new SystemError(L"gethostbyname(" + host + L")", L"SocketMgr::GetIP");
}

namespace {

// The rules both factories share once the monitor has not decided.
std::unique_ptr<Port> MakeByDescription(const platform::PortInfo2& entry) {
  std::wstring description = Lower(entry.pDescription);
  if (entry.pDescription.empty()) {
    auto lpr = std::make_unique<LprPort>(entry);
    try {
      lpr->GetAddress();
      return lpr;
    } catch (Error* error) {
      delete error;
      return std::make_unique<Port>(entry);
    }
  }
  if (description == L"hp standard tcp/ip port") return std::make_unique<HpTcpIpPort>(entry);
  if (entry.pDescription != L"LPR Port") return std::make_unique<Port>(entry);
  return std::make_unique<LprPort>(entry);
}

}  // namespace

std::unique_ptr<Port> MakeManagerPort(const platform::PortInfo2& entry) {
  std::wstring monitor = Lower(entry.pMonitorName);
  if (monitor == L"wsd port monitor") return std::make_unique<WsdPort>(entry);
  if (monitor == L"tcpmon.dll") return std::make_unique<TcpIpPort>(entry);
  return MakeByDescription(entry);
}

std::unique_ptr<Port> MakeCheckerPort(const std::wstring& portName) {
  std::vector<platform::PortInfo2> ports;
  // The spooler hands the whole table at once: the sizing and the fetch are one call.
  if (!platform::spooler().EnumPortsW(L"", &ports)) throw new SystemError(L"M277");
  for (const auto& entry : ports) {
    if (entry.pPortName != portName) continue;
    if (Lower(entry.pMonitorName) == L"tcpmon.dll") return std::make_unique<TcpIpPort>(entry);
    if (entry.pPortName.rfind(L"WSD-", 0) == 0) return std::make_unique<WsdPort>(entry);
    return MakeByDescription(entry);
  }
  return nullptr;
}

}  // namespace tollgate::spooler

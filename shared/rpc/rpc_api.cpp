#include "shared/rpc/rpc.h"

#include <algorithm>
#include <array>
#include <cwctype>

#include "platform/platform.h"
#include "shared/rpc/endpoint_mapper.h"
#include "shared/rpc/transport.h"

namespace rpc {
namespace {

// Backslash escapes the characters that separate the parts of a string binding.
std::wstring Escape(const wchar_t* text) {
  std::wstring out;
  for (const wchar_t* p = text; *p != 0; ++p) {
    if (*p == L'@' || *p == L':' || *p == L'[' || *p == L']' || *p == L',' || *p == L'\\')
      out += L'\\';
    out += *p;
  }
  return out;
}

// Splits `text` at the first unescaped `separator` at or after `from`; npos when none.
std::size_t FindUnescaped(const std::wstring& text, wchar_t separator, std::size_t from) {
  for (std::size_t i = from; i < text.size(); ++i) {
    if (text[i] == L'\\') {
      ++i;
      continue;
    }
    if (text[i] == separator) return i;
  }
  return std::wstring::npos;
}

std::wstring Unescape(const std::wstring& text) {
  std::wstring out;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == L'\\' && i + 1 < text.size()) ++i;
    out += text[i];
  }
  return out;
}

std::wstring Trim(const std::wstring& text) {
  std::size_t b = 0;
  std::size_t e = text.size();
  while (b < e && std::iswspace(text[b])) ++b;
  while (e > b && std::iswspace(text[e - 1])) --e;
  return text.substr(b, e - b);
}

}  // namespace

RPC_STATUS RpcStringBindingComposeW(const wchar_t* objectUuid, const wchar_t* protseq,
                                    const wchar_t* networkAddress, const wchar_t* endpoint,
                                    const wchar_t* options, std::wstring* stringBinding) {
  if (stringBinding == nullptr) return RPC_S_INVALID_ARG;
  std::wstring out;
  if (objectUuid != nullptr && *objectUuid != 0) out += Escape(objectUuid) + L"@";
  if (protseq != nullptr) out += Escape(protseq);
  out += L":";
  if (networkAddress != nullptr) out += Escape(networkAddress);
  bool hasEndpoint = endpoint != nullptr && *endpoint != 0;
  bool hasOptions = options != nullptr && *options != 0;
  if (hasEndpoint || hasOptions) {
    out += L"[";
    if (hasEndpoint) out += Escape(endpoint);
    if (hasOptions) out += std::wstring(L",") + options;
    out += L"]";
  }
  *stringBinding = std::move(out);
  return RPC_S_OK;
}

RPC_STATUS RpcStringBindingParseW(const std::wstring& stringBinding, std::wstring* objectUuid,
                                  std::wstring* protseq, std::wstring* networkAddress,
                                  std::wstring* endpoint, std::wstring* options) {
  std::wstring object;
  std::size_t start = 0;
  std::size_t at = FindUnescaped(stringBinding, L'@', 0);
  std::size_t colon = FindUnescaped(stringBinding, L':', 0);
  if (at != std::wstring::npos && (colon == std::wstring::npos || at < colon)) {
    object = Unescape(stringBinding.substr(0, at));
    start = at + 1;
    colon = FindUnescaped(stringBinding, L':', start);
  }
  if (colon == std::wstring::npos) return RPC_S_INVALID_STRING_BINDING;
  std::wstring sequence = Unescape(stringBinding.substr(start, colon - start));
  std::size_t open = FindUnescaped(stringBinding, L'[', colon + 1);
  std::wstring address;
  std::wstring endpointText;
  std::wstring optionText;
  if (open == std::wstring::npos) {
    if (FindUnescaped(stringBinding, L']', colon + 1) != std::wstring::npos)
      return RPC_S_INVALID_STRING_BINDING;
    address = Unescape(stringBinding.substr(colon + 1));
  } else {
    std::size_t close = FindUnescaped(stringBinding, L']', open + 1);
    if (close == std::wstring::npos || close + 1 != stringBinding.size())
      return RPC_S_INVALID_STRING_BINDING;
    address = Unescape(stringBinding.substr(colon + 1, open - colon - 1));
    std::wstring inside = stringBinding.substr(open + 1, close - open - 1);
    std::size_t comma = FindUnescaped(inside, L',', 0);
    std::wstring first = Trim(inside.substr(0, comma));
    if (comma != std::wstring::npos) optionText = inside.substr(comma + 1);
    if (first.rfind(L"endpoint=", 0) == 0) first = first.substr(9);
    endpointText = Unescape(first);
  }
  if (objectUuid) *objectUuid = object;
  if (protseq) *protseq = sequence;
  if (networkAddress) *networkAddress = address;
  if (endpoint) *endpoint = endpointText;
  if (options) *options = optionText;
  return RPC_S_OK;
}

RPC_STATUS RpcStringFreeW(std::wstring* text) {
  if (text != nullptr) text->clear();
  return RPC_S_OK;
}

RPC_STATUS RpcBindingFromStringBindingW(const std::wstring& stringBinding,
                                        RPC_BINDING_HANDLE* binding) {
  if (binding == nullptr) return RPC_S_INVALID_ARG;
  *binding = nullptr;
  std::wstring object, protseq, address, endpoint;
  RPC_STATUS status =
      RpcStringBindingParseW(stringBinding, &object, &protseq, &address, &endpoint, nullptr);
  if (status != RPC_S_OK) return status;
  std::wstring lower = protseq;
  for (auto& c : lower) c = static_cast<wchar_t>(std::towlower(c));
  if (lower.empty()) return RPC_S_INVALID_STRING_BINDING;
  if (lower != L"ncacn_ip_tcp") return RPC_S_PROTSEQ_NOT_SUPPORTED;
  if (!endpoint.empty()) {
    unsigned long port = 0;
    for (wchar_t c : endpoint) {
      if (c < L'0' || c > L'9' || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
      port = port * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (port == 0 || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
  }
  std::optional<Uuid> uuid;
  if (!object.empty()) {
    uuid = Uuid::Parse(std::wstring_view(object));
    if (!uuid) return RPC_S_INVALID_STRING_UUID;
  }
  auto handle = new Binding(address, endpoint);
  handle->SetObject(uuid);
  *binding = handle;
  return RPC_S_OK;
}

RPC_STATUS RpcMgmtSetComTimeout(RPC_BINDING_HANDLE binding, unsigned level) {
  if (binding == nullptr) return RPC_S_INVALID_BINDING;
  if (level > RPC_C_BINDING_INFINITE_TIMEOUT) return RPC_S_INVALID_TIMEOUT;
  binding->SetComTimeout(level);
  return RPC_S_OK;
}

RPC_STATUS RpcBindingSetOption(RPC_BINDING_HANDLE binding, unsigned long option,
                               std::uintptr_t value) {
  if (binding == nullptr) return RPC_S_INVALID_BINDING;
  if (option != RPC_C_OPT_CALL_TIMEOUT) return RPC_S_INVALID_ARG;
  binding->SetCallTimeout(static_cast<std::uint32_t>(value));
  return RPC_S_OK;
}

RPC_STATUS RpcBindingSetObject(RPC_BINDING_HANDLE binding, const Uuid* object) {
  if (binding == nullptr) return RPC_S_INVALID_BINDING;
  binding->SetObject(object ? std::optional<Uuid>(*object) : std::nullopt);
  return RPC_S_OK;
}

RPC_STATUS RpcBindingSetAuthInfoW(RPC_BINDING_HANDLE binding, const wchar_t*,
                                  unsigned long authnLevel, unsigned long authnService) {
  if (binding == nullptr) return RPC_S_INVALID_BINDING;
  if (authnService == RPC_C_AUTHN_NONE || authnLevel == RPC_C_AUTHN_LEVEL_NONE) return RPC_S_OK;
  return RPC_S_UNKNOWN_AUTHN_SERVICE;
}

RPC_STATUS RpcBindingFree(RPC_BINDING_HANDLE* binding) {
  if (binding == nullptr || *binding == nullptr) return RPC_S_INVALID_BINDING;
  delete *binding;
  *binding = nullptr;
  return RPC_S_OK;
}

std::vector<std::uint8_t> NdrClientCall(RPC_BINDING_HANDLE binding, const SyntaxId& interfaceId,
                                        std::uint16_t opnum, const ndr::Writer& in) {
  if (binding == nullptr) throw RpcException(RPC_S_INVALID_BINDING);
  return binding->Call(interfaceId, opnum, in.Data());
}

Server& ProcessServer() {
  static Server* server = new Server();  // lives as long as the process
  return *server;
}

RPC_STATUS RpcServerUseProtseqEpW(const std::wstring& protseq, unsigned maxCalls,
                                  const std::wstring& endpoint) {
  return ProcessServer().UseProtseqEp(protseq, maxCalls, endpoint);
}

RPC_STATUS RpcServerUseProtseqW(const std::wstring& protseq, unsigned maxCalls) {
  return ProcessServer().UseProtseq(protseq, maxCalls);
}

RPC_STATUS RpcServerInqBindings(RPC_BINDING_VECTOR* bindings) {
  if (bindings == nullptr) return RPC_S_INVALID_ARG;
  return ProcessServer().InqBindings(bindings);
}

namespace {

// The IPv4 address of a binding's host: the address itself, or the first the name resolves
// to; 0.0.0.0 when it has none.
std::array<std::uint8_t, 4> Ipv4Of(const std::wstring& host) {
  std::array<std::uint8_t, 4> address{};
  if (host.empty()) return address;
  transport::WinsockUse winsock;
  if (!winsock.Ok()) return address;
  platform::AddrInfoW hints;
  hints.ai_family = platform::AF_INET;
  hints.ai_socktype = platform::SOCK_STREAM;
  std::vector<platform::AddrInfoW> found;
  if (platform::sockets().GetAddrInfoW(host, L"", &hints, &found) != 0) return address;
  for (const auto& a : found) {
    if (a.ai_addr.family != platform::AF_INET) continue;
    std::copy(a.ai_addr.address.begin(), a.ai_addr.address.begin() + 4, address.begin());
    break;
  }
  return address;
}

// The mapper's entries of an interface: one per binding (its TCP port and host) and object
// (the nil object when there are none).
RPC_STATUS EntriesOf(const ServerInterface& definition, const RPC_BINDING_VECTOR& bindings,
                     const std::vector<Uuid>* objects, const wchar_t* annotation,
                     std::vector<EndpointEntry>* entries) {
  if (bindings.empty()) return RPC_S_NO_BINDINGS;
  std::vector<Uuid> registeredFor{Uuid()};
  if (objects != nullptr && !objects->empty()) registeredFor = *objects;
  std::string note;
  if (annotation != nullptr)
    note = platform::system().WideCharToMultiByte(platform::CP_ACP, annotation);
  if (note.size() >= kEptMaxAnnotation) note.resize(kEptMaxAnnotation - 1);
  for (const auto& binding : bindings) {
    std::wstring protseq, address, endpoint;
    RPC_STATUS status =
        RpcStringBindingParseW(binding, nullptr, &protseq, &address, &endpoint, nullptr);
    if (status != RPC_S_OK) return status;
    for (auto& c : protseq) c = static_cast<wchar_t>(std::towlower(c));
    if (protseq != L"ncacn_ip_tcp") return RPC_S_PROTSEQ_NOT_SUPPORTED;
    unsigned long port = 0;
    for (wchar_t c : endpoint) {
      if (c < L'0' || c > L'9' || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
      port = port * 10 + static_cast<unsigned long>(c - L'0');
    }
    if (port == 0 || port > 65535) return RPC_S_INVALID_ENDPOINT_FORMAT;
    auto tower = TcpTower(definition.id, static_cast<std::uint16_t>(port), Ipv4Of(address));
    for (const auto& object : registeredFor) entries->push_back({object, tower, note});
  }
  return RPC_S_OK;
}

}  // namespace

RPC_STATUS RpcEpRegisterW(const ServerInterface& definition, const RPC_BINDING_VECTOR& bindings,
                          const std::vector<Uuid>* objects, const wchar_t* annotation) {
  std::vector<EndpointEntry> entries;
  RPC_STATUS status = EntriesOf(definition, bindings, objects, annotation, &entries);
  if (status != RPC_S_OK) return status;
  return EptInsert(entries, true);
}

RPC_STATUS RpcEpUnregister(const ServerInterface& definition, const RPC_BINDING_VECTOR& bindings,
                           const std::vector<Uuid>* objects) {
  std::vector<EndpointEntry> entries;
  RPC_STATUS status = EntriesOf(definition, bindings, objects, nullptr, &entries);
  if (status != RPC_S_OK) return status;
  return EptDelete(entries);
}

RPC_STATUS RpcServerRegisterIfEx(const ServerInterface& definition, unsigned flags,
                                 unsigned maxCalls) {
  return ProcessServer().RegisterIf(definition, flags, maxCalls);
}

RPC_STATUS RpcServerUnregisterIf(const ServerInterface* definition, bool waitForCallsToComplete) {
  return ProcessServer().UnregisterIf(definition ? &definition->id : nullptr,
                                      waitForCallsToComplete);
}

RPC_STATUS RpcServerListen(unsigned minThreads, unsigned maxCalls, bool dontWait) {
  return ProcessServer().Listen(minThreads, maxCalls, dontWait);
}

RPC_STATUS RpcMgmtStopServerListening() {
  return ProcessServer().StopListening();
}

RPC_STATUS RpcMgmtWaitServerListen() {
  return ProcessServer().WaitListen();
}

}  // namespace rpc

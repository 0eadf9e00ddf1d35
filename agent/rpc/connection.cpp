#include "agent/rpc/connection.h"

#include <algorithm>

#include "agent/config/server_settings.h"
#include "platform/platform.h"

namespace tollgate::remote {

using namespace ::rpc;

RPC_STATUS RpcBinding::Bind(const std::wstring& protseq, const std::wstring& address,
                            const std::wstring& endpoint, unsigned timeoutLevel,
                            std::uint32_t callTimeout, bool authenticate,
                            const std::optional<std::array<std::uint8_t, 16>>& object) {
  if (handle_ != nullptr) Unbind();
  std::wstring text;
  RPC_STATUS status =
      RpcStringBindingComposeW(nullptr, protseq.c_str(), address.c_str(),
                               endpoint.empty() ? nullptr : endpoint.c_str(), nullptr, &text);
  if (status != RPC_S_OK) return status;
  while ((status = RpcBindingFromStringBindingW(text, &handle_)) == RPC_S_SERVER_TOO_BUSY)
    platform::kernel().Sleep(10);
  RpcStringFreeW(&text);
  if (status != RPC_S_OK) {
    handle_ = nullptr;
    return status;
  }
  status = RpcMgmtSetComTimeout(handle_, timeoutLevel);
  if (status == RPC_S_OK && callTimeout != 0)
    status = RpcBindingSetOption(handle_, RPC_C_OPT_CALL_TIMEOUT, callTimeout);
  if (status == RPC_S_OK && object) {
    Uuid uuid;
    std::copy(object->begin(), object->end(), uuid.bytes.begin());
    status = RpcBindingSetObject(handle_, &uuid);
  }
  if (status == RPC_S_OK && authenticate) {
    status = RpcBindingSetAuthInfoW(handle_, address.c_str(), RPC_C_AUTHN_LEVEL_CONNECT,
                                    RPC_C_AUTHN_WINNT);
  }
  if (status != RPC_S_OK) return status;
  bound_ = true;
  return RPC_S_OK;
}

void RpcBinding::Unbind() {
  if (handle_ != nullptr) RpcBindingFree(&handle_);
  handle_ = nullptr;
  bound_ = false;
}

std::vector<std::uint8_t> ServerConnection::Call(std::uint16_t opnum, const Writer& in) {
  if (!binding_.IsBound()) RpcRaiseException(RPC_S_INVALID_BINDING);
  return NdrClientCall(binding_.Handle(), CentralServerInterfaceId(), opnum, in);
}

void ServerConnection::ReportJob(const ReportJobIn& message, ReportJobOut* answer) {
  Writer w;
  message.Write(w);
  auto stub = Call(central::kReportJob, w);
  Reader r(stub);
  *answer = ReportJobOut::Read(r);
}

std::int16_t ServerConnection::CancelJob(std::int32_t serverJobId) {
  Writer w;
  CancelJobIn{serverJobId}.Write(w);
  auto stub = Call(central::kCancelJob, w);
  Reader r(stub);
  return ShortResult::Read(r).value;
}

void ServerConnection::RegisterAgent(const RegisterAgentIn& request, RegisterAgentOut* answer) {
  Writer w;
  request.Write(w);
  auto stub = Call(central::kRegisterAgent, w);
  Reader r(stub);
  *answer = RegisterAgentOut::Read(r);
}

std::int16_t ServerConnection::ReportHardwareCounters(const ReportHardwareCountersIn& report) {
  Writer w;
  report.Write(w);
  auto stub = Call(central::kReportHardwareCounters, w);
  Reader r(stub);
  return ShortResult::Read(r).value;
}

std::int16_t ServerConnection::UploadFile(std::int32_t serverJobId, std::istream& input) {
  std::int16_t worst = 0;
  UploadFileChunkIn chunk;
  chunk.serverJobId = serverJobId;
  while (input.good()) {
    chunk.data.resize(kFileChunk);
    input.read(reinterpret_cast<char*>(chunk.data.data()), kFileChunk);
    chunk.data.resize(static_cast<std::size_t>(std::max<std::streamsize>(0, input.gcount())));
    chunk.last = chunk.data.size() < kFileChunk ? 1 : 0;
    Writer w;
    chunk.Write(w);
    auto stub = Call(central::kUploadFileChunk, w);
    Reader r(stub);
    worst = std::max(worst, ShortResult::Read(r).value);
  }
  return worst;
}

RPC_STATUS ServerConnection::Bind(const std::wstring& address, const std::wstring& port) {
  if (address.empty()) return static_cast<RPC_STATUS>(platform::ERROR_INVALID_PARAMETER);
  return binding_.Bind(L"ncacn_ip_tcp", address, port, RPC_C_BINDING_DEFAULT_TIMEOUT, 0, false,
                       std::nullopt);
}

RPC_STATUS ServerConnection::Unbind() {
  binding_.Unbind();
  return RPC_S_OK;
}

RemoteCaller::RemoteCaller(ServerSettings& settings, std::unique_ptr<ServerConnection> connection)
    : settings_(settings), connection_(std::move(connection)) {}

ErrorResultPtr RemoteCaller::Call(const Operation& operation) {
  int retries = 1;
  std::wstring address = settings_.Host();
  std::wstring port = settings_.Port();
  if (address != address_ || port != port_) {
    connection_->Unbind();
    address_ = address;
    port_ = port;
  }
  if (connection_->IsBound()) {
    retries = 2;
  } else {
    RPC_STATUS status = connection_->Bind(address, port);
    if (status != RPC_S_OK) {
      return WrapError(WindowsErrorResult(static_cast<std::uint32_t>(status)),
                       L"error determining retries");
    }
  }
  RPC_STATUS code = RPC_S_OK;
  do {
    code = RpcTryExcept([&] { operation(*connection_); });
    --retries;
  } while ((code == EPT_S_NOT_REGISTERED || code == RPC_S_SERVER_UNAVAILABLE) && retries > 0);
  if ((static_cast<std::uint32_t>(code) & 0x20000000u) != 0)
    return MakeError(L"Internal server error.");
  if (code == RPC_S_OK) return nullptr;
  platform::kernel().SetLastError(static_cast<platform::DWORD>(code));
  return WindowsErrorResult();
}

RPC_STATUS CallWorkstation(const std::wstring& address, const std::wstring& endpoint,
                           const SyntaxId& interfaceId, std::uint16_t opnum, const Writer& in) {
  RpcBinding binding;
  std::array<std::uint8_t, 16> nil{};
  RPC_STATUS status =
      binding.Bind(L"ncacn_ip_tcp", address, endpoint, RPC_C_BINDING_MIN_TIMEOUT, 8000, false, nil);
  if (status == RPC_S_OK)
    status = RpcTryExcept([&] { NdrClientCall(binding.Handle(), interfaceId, opnum, in); });
  binding.Unbind();
  return status;
}

}  // namespace tollgate::remote

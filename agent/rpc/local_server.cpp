#include "agent/rpc/local_server.h"

#include <cwctype>

#include "agent/config/server_settings.h"
#include "agent/config/settings.h"
#include "agent/rpc/interfaces.h"
#include "platform/platform.h"
#include "platform/sockets.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/error/report.h"
#include "shared/rpc/rpc.h"

namespace tollgate::remote {

using platform::DWORD;
using ::rpc::CallContext;
using ::rpc::RPC_STATUS;

namespace {

constexpr unsigned kMaxCalls = 1234;
// The operations carry a job id, a command and two names of at most a few hundred
// characters: anything larger is refused before it is read.
constexpr std::size_t kMaxMessage = 8u << 10;
constexpr auto kResolveInterval = std::chrono::seconds(30);
constexpr auto kRefusalLogInterval = std::chrono::minutes(10);
constexpr std::size_t kMaxRefusalsKept = 1024;

// Runs an operation's work: an Error is reported and raised as the RPC exception of its code.
void RunOperation(const std::function<void()>& body) {
  try {
    body();
  } catch (Error* error) {
    auto code = static_cast<RPC_STATUS>(error->Code());
    ReportError(error);
    ::rpc::RpcRaiseException(code);
  } catch (const ::rpc::RpcException&) {
    throw;
  } catch (const std::exception& exception) {
    ReportException(exception);
    ::rpc::RpcRaiseException(::rpc::RPC_S_CALL_FAILED);
  }
}

::rpc::SecurityCallback CallersOf(std::shared_ptr<CallerPolicy> callers) {
  if (!callers) return nullptr;
  return [callers](const CallContext& call) { return callers->Check(call.clientAddress); };
}

std::vector<std::wstring> SplitNames(const std::wstring& text) {
  std::vector<std::wstring> names;
  std::wstring current;
  for (wchar_t c : text + L" ") {
    if (c == L' ' || c == L',' || c == L';' || c == L'\t' || c == L'\r' || c == L'\n') {
      if (!current.empty()) names.push_back(current);
      current.clear();
    } else {
      current += c;
    }
  }
  return names;
}

}  // namespace

std::wstring CanonicalAddress(const std::wstring& address) {
  std::wstring text = address;
  for (auto& c : text) c = static_cast<wchar_t>(std::towlower(c));
  const std::wstring mapped = L"::ffff:";
  if (text.rfind(mapped, 0) == 0 && text.find(L'.') != std::wstring::npos)
    text = text.substr(mapped.size());
  return text;
}

CallerPolicy::CallerPolicy(std::vector<std::wstring> names, std::function<std::wstring()> server)
    : names_(std::move(names)), server_(std::move(server)) {}

std::shared_ptr<CallerPolicy> CallerPolicy::FromSettings() {
  config::AgentSettings settings = config::ReadAgentSettings();
  std::vector<std::wstring> names = SplitNames(settings.allowedCallers);
  if (!settings.serverAddress.empty()) names.insert(names.begin(), settings.serverAddress);
  // The server the agent reports to, however it was given: the command line's "/server",
  // the registry, or a configuration change.
  return std::make_shared<CallerPolicy>(std::move(names),
                                        [] { return ServerSettings::Process().Host(); });
}

void CallerPolicy::ResolveLocked(const std::wstring& server) {
  allowed_ = {L"127.0.0.1", L"::1"};
  std::vector<std::wstring> names = names_;
  if (!server.empty()) names.insert(names.begin(), server);
  names.push_back(L"localhost");
  std::wstring computer;
  if (platform::system().GetComputerNameW(256, &computer)) names.push_back(computer);
  platform::AddrInfoW hints;
  hints.ai_family = platform::AF_UNSPEC;
  hints.ai_socktype = platform::SOCK_STREAM;
  for (const auto& name : names) {
    std::vector<platform::AddrInfoW> found;
    if (platform::sockets().GetAddrInfoW(name, L"", &hints, &found) != 0) continue;
    for (const auto& entry : found)
      allowed_.insert(CanonicalAddress(platform::sockets().AddressToString(entry.ai_addr)));
  }
  resolved_ = std::chrono::steady_clock::now();
  resolvedServer_ = server;
}

RPC_STATUS CallerPolicy::Check(const std::wstring& address) {
  std::wstring caller = CanonicalAddress(address);
  std::wstring server = server_ ? server_() : std::wstring();
  std::lock_guard<std::mutex> guard(lock_);
  // The first caller has the names resolved; another central server's addresses replace the
  // former one's at once.
  if (resolved_ == std::chrono::steady_clock::time_point{} || server != resolvedServer_)
    ResolveLocked(server);
  if (allowed_.count(caller) != 0) return ::rpc::RPC_S_OK;
  auto now = std::chrono::steady_clock::now();
  // Names may have moved: they are looked up again, though not on every refused call.
  if (now - resolved_ >= kResolveInterval) {
    ResolveLocked(server);
    if (allowed_.count(caller) != 0) return ::rpc::RPC_S_OK;
  }
  auto it = logged_.find(caller);
  if (it == logged_.end() || now - it->second >= kRefusalLogInterval) {
    if (logged_.size() >= kMaxRefusalsKept) logged_.clear();
    logged_[caller] = now;
    Log(L"Refused an RPC call from " + caller +
        L": only the central server, this machine and the AllowedCallers may command jobs");
  }
  return platform::ERROR_ACCESS_DENIED;
}

::rpc::ServerInterface AgentJobControl(std::shared_ptr<JobControlHandler> handler,
                                       std::shared_ptr<CallerPolicy> callers) {
  ::rpc::ServerInterface definition;
  definition.id = AgentJobControlId();
  definition.security = CallersOf(std::move(callers));
  definition.operations.resize(4);
  definition.operations[jobcontrol::kSetJobCommand] = [handler](CallContext&, Reader& in, Writer&) {
    SetJobCommandIn call = SetJobCommandIn::Read(in);
    RunOperation([&] {
      handler->SetJobCommand(static_cast<DWORD>(call.jobId), static_cast<DWORD>(call.command),
                             call.queueName);
    });
  };
  definition.operations[jobcontrol::kChangeJobOwner] = [handler](CallContext&, Reader& in,
                                                                 Writer&) {
    ChangeJobOwnerIn call = ChangeJobOwnerIn::Read(in);
    RunOperation([&] {
      handler->ChangeJobOwner(static_cast<DWORD>(call.jobId), call.userName, call.queueName);
    });
  };
  definition.operations[jobcontrol::kApplyJobDecision] = [handler](CallContext&, Reader& in,
                                                                   Writer&) {
    ApplyJobDecisionIn call = ApplyJobDecisionIn::Read(in);
    RunOperation([&] {
      handler->ApplyJobDecision(static_cast<DWORD>(call.jobId), static_cast<DWORD>(call.command),
                                call.queueName, call.released != 0, call.keepFirst != 0);
    });
  };
  definition.operations[jobcontrol::kReexamineJob] = [handler](CallContext&, Reader& in, Writer&) {
    ReexamineJobIn call = ReexamineJobIn::Read(in);
    RunOperation([&] { handler->ReexamineJob(call.queueName, static_cast<DWORD>(call.jobId)); });
  };
  return definition;
}

::rpc::ServerInterface AgentConfigNotify(std::shared_ptr<CallerPolicy> callers) {
  ::rpc::ServerInterface definition;
  definition.id = AgentConfigNotifyId();
  definition.security = CallersOf(std::move(callers));
  definition.operations.resize(1);
  definition.operations[jobcontrol::kConfigChanged] = [](CallContext&, Reader& in, Writer& out) {
    ConfigChangedIn call = ConfigChangedIn::Read(in);
    ShortResult{config::OnConfigChanged(call.type, call.data)}.Write(out);
  };
  return definition;
}

LocalServer::LocalServer(Options options, std::shared_ptr<JobControlHandler> handler,
                         std::shared_ptr<CallerPolicy> callers)
    : options_(std::move(options)) {
  interfaces_.push_back(AgentJobControl(std::move(handler), callers));
  if (options_.serverHostMode) interfaces_.push_back(AgentConfigNotify(callers));
  cancel_ = platform::kernel().CreateEventW(true, false);
}

LocalServer::~LocalServer() {
  if (cancel_ != nullptr) platform::kernel().CloseHandle(cancel_);
}

void LocalServer::Cancel() {
  if (cancel_ != nullptr) platform::kernel().SetEvent(cancel_);
}

ErrorResultPtr LocalServer::Start() {
  using namespace ::rpc;
  const std::wstring protseq = L"ncacn_ip_tcp";
  bool fixed = false;
  for (unsigned attempt = 1; attempt <= options_.attempts; ++attempt) {
    RPC_STATUS status = RpcServerUseProtseqEpW(protseq, kMaxCalls, options_.endpoint);
    if (status == RPC_S_OK) {
      fixed = true;
      break;
    }
    if (status != RPC_S_DUPLICATE_ENDPOINT)
      return WrapError(WindowsErrorResult(status), L"error using protocol and endpoint");
    if (attempt == options_.attempts) break;
    // Another program holds the endpoint: it may give it up soon.
    if (cancel_ != nullptr && platform::kernel().WaitForSingleObject(cancel_, options_.retryMs) ==
                                  platform::WAIT_OBJECT_0)
      return nullptr;
  }
  if (!fixed) {
    RPC_STATUS status = RpcServerUseProtseqW(protseq, kMaxCalls);
    if (status != RPC_S_OK) return WrapError(WindowsErrorResult(status), L"error using protocol");
  }
  std::vector<std::uint16_t> ports = ProcessServer().Ports();
  if (fixed) {
    port_ = static_cast<std::uint16_t>(std::stoul(options_.endpoint));
  } else if (!ports.empty()) {
    port_ = ports.back();
    Log(L"RPC endpoint " + options_.endpoint + L" is held by another program; listening on " +
        std::to_wstring(port_) + L", registered with the endpoint mapper");
  }
  RPC_BINDING_VECTOR bindings;
  if (RPC_STATUS status = RpcServerInqBindings(&bindings); status != RPC_S_OK)
    return WrapError(WindowsErrorResult(status), L"error inquiring binding vectors");
  for (const auto& definition : interfaces_) {
    if (RPC_STATUS status = RpcEpRegisterW(definition, bindings, nullptr, nullptr);
        status != RPC_S_OK) {
      ErrorResultPtr error = WrapError(WindowsErrorResult(status), L"error registering endpoint");
      // On the fixed endpoint the callers find the server without the mapper: a mapper that
      // is away or refuses does not keep the central server's commands out.
      if (!fixed) return error;
      Log(L"Error listening to RPC: " + error->Text());
    }
    if (RPC_STATUS status =
            RpcServerRegisterIfEx(definition, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, kMaxCalls);
        status != RPC_S_OK)
      return WrapError(WindowsErrorResult(status), L"error registering interface");
  }
  ProcessServer().SetMaxMessage(kMaxMessage);
  if (RPC_STATUS status = RpcServerListen(1, kMaxCalls, true); status != RPC_S_OK)
    return WrapError(WindowsErrorResult(status), L"error listening");
  listening_ = true;
  return nullptr;
}

ErrorResultPtr LocalServer::Stop() {
  using namespace ::rpc;
  if (!listening_) return nullptr;
  listening_ = false;
  if (RPC_STATUS status = RpcServerUnregisterIf(nullptr, false); status != RPC_S_OK)
    return WrapError(WindowsErrorResult(status), L"error unregistering");
  if (RPC_STATUS status = RpcMgmtStopServerListening(); status != RPC_S_OK)
    return WrapError(WindowsErrorResult(status), L"error stopping listening");
  if (RPC_STATUS status = RpcMgmtWaitServerListen(); status != RPC_S_OK)
    return WrapError(WindowsErrorResult(status), L"error waiting calls to complete");
  return nullptr;
}

}  // namespace tollgate::remote

// The agent's own RPC server: the central server calls it to act on the jobs the agent holds
// (release, pause or delete a job, give it a new owner, examine it again). It listens on TCP
// endpoint "7002", or on a dynamic endpoint registered with the endpoint mapper when another
// program holds that port.
//
// Only the central server (every address its name resolves to, the name the agent reports
// to however it was given: "/server", the registry's "ServerAddress" or a configuration
// change), this machine and the addresses listed in the agent key's "AllowedCallers" value
// may call it: whoever reaches the
// port could otherwise release any held job and print without paying. Others are refused
// with access denied and logged once per address every ten minutes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "platform/types.h"
#include "shared/error/error_result.h"
#include "shared/rpc/server.h"

namespace tollgate::remote {

// What the operations of AgentJobControl do to the jobs; a failure is thrown as an Error.
class JobControlHandler {
 public:
  virtual ~JobControlHandler() = default;
  virtual void SetJobCommand(platform::DWORD jobId, platform::DWORD command,
                             const std::wstring& queue) = 0;
  virtual void ChangeJobOwner(platform::DWORD jobId, const std::wstring& userName,
                              const std::wstring& queue) = 0;
  virtual void ApplyJobDecision(platform::DWORD jobId, platform::DWORD command,
                                const std::wstring& queue, bool released, bool keepFirst) = 0;
  virtual void ReexamineJob(const std::wstring& queue, platform::DWORD jobId) = 0;
};

// The agent key's value that lists more callers: addresses or names, separated by spaces,
// commas or semicolons.
inline constexpr wchar_t kAllowedCallersValue[] = L"AllowedCallers";

// Who may command the agent's jobs.
class CallerPolicy {
 public:
  // `names`: the listed callers (resolved when the first caller comes and again, at most
  // every 30 seconds, when an unknown caller comes). `server`: the central server's name as
  // it is now; a caller that finds it changed has it resolved at once.
  explicit CallerPolicy(std::vector<std::wstring> names,
                        std::function<std::wstring()> server = nullptr);
  // The policy of the agent's settings: the server of the process's ServerSettings, the
  // registry's "ServerAddress" and "AllowedCallers", and this machine.
  static std::shared_ptr<CallerPolicy> FromSettings();

  // RPC_S_OK, or ERROR_ACCESS_DENIED (logged, rate-limited) for a caller not allowed.
  ::rpc::RPC_STATUS Check(const std::wstring& address);

 private:
  void ResolveLocked(const std::wstring& server);

  std::mutex lock_;
  std::vector<std::wstring> names_;
  std::function<std::wstring()> server_;
  std::wstring resolvedServer_;
  std::set<std::wstring> allowed_;
  std::chrono::steady_clock::time_point resolved_{};
  std::map<std::wstring, std::chrono::steady_clock::time_point> logged_;
};

// A text form of an address that compares equal for one host: IPv4-mapped IPv6 addresses
// become IPv4, letters lower case.
std::wstring CanonicalAddress(const std::wstring& address);

// The interfaces as the server offers them. An operation's Error is reported and raised to
// the caller as an RPC exception whose status is the error's code.
::rpc::ServerInterface AgentJobControl(std::shared_ptr<JobControlHandler> handler,
                                       std::shared_ptr<CallerPolicy> callers);
::rpc::ServerInterface AgentConfigNotify(std::shared_ptr<CallerPolicy> callers);

class LocalServer {
 public:
  struct Options {
    std::wstring endpoint = L"7002";
    // Tries of the endpoint while another program holds it, a second apart.
    unsigned attempts = 60;
    platform::DWORD retryMs = 1000;
    bool serverHostMode = false;
  };
  LocalServer(Options options, std::shared_ptr<JobControlHandler> handler,
              std::shared_ptr<CallerPolicy> callers);
  ~LocalServer();
  LocalServer(const LocalServer&) = delete;
  LocalServer& operator=(const LocalServer&) = delete;

  // Takes the endpoint, registers the interfaces and starts listening. A Cancel from
  // another thread ends the waits for a held endpoint (the start then returns none, and
  // the server does not listen).
  ErrorResultPtr Start();
  // Ends a Start that waits for its endpoint.
  void Cancel();
  // Unregisters the interfaces, stops listening and waits for the calls under way.
  ErrorResultPtr Stop();

  bool Listening() const { return listening_; }
  // The TCP port the server took (0 before).
  std::uint16_t Port() const { return port_; }

 private:
  Options options_;
  std::vector<::rpc::ServerInterface> interfaces_;
  platform::HANDLE cancel_ = nullptr;
  bool listening_ = false;
  std::uint16_t port_ = 0;
};

}  // namespace tollgate::remote

// The agent's own RPC server on the simulated machine: its start on a held endpoint, the
// operations as a client calls them, errors raised to the caller, and who may call.
#include "agent/rpc/local_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "agent/rpc/interfaces.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "shared/error/file_log.h"
#include "shared/rpc/endpoint_mapper.h"
#include "shared/rpc/rpc.h"
#include "testing/machine_fixture.h"

namespace tollgate::remote {
namespace {

using platform::DWORD;

struct Recorder : JobControlHandler {
  std::mutex lock;
  std::vector<std::wstring> calls;
  bool fail = false;

  void Add(std::wstring call) {
    std::lock_guard<std::mutex> guard(lock);
    calls.push_back(std::move(call));
    if (fail) throw new SystemError(L"SetJob(" + call + L")", 87);
  }
  void SetJobCommand(DWORD job, DWORD command, const std::wstring& queue) override {
    Add(L"set " + std::to_wstring(job) + L" " + std::to_wstring(command) + L" " + queue);
  }
  void ChangeJobOwner(DWORD job, const std::wstring& user, const std::wstring& queue) override {
    Add(L"owner " + std::to_wstring(job) + L" " + user + L" " + queue);
  }
  void ApplyJobDecision(DWORD job, DWORD command, const std::wstring& queue, bool released,
                        bool keepFirst) override {
    Add(L"decision " + std::to_wstring(job) + L" " + std::to_wstring(command) + L" " + queue +
        L" " + std::to_wstring(released) + std::to_wstring(keepFirst));
  }
  void ReexamineJob(const std::wstring& queue, DWORD job) override {
    Add(L"reexamine " + queue + L" " + std::to_wstring(job));
  }
};

class LocalServerOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    platform::WsaData data;
    platform::sockets().WSAStartup(0x0202, &data);
    InstallFileLog(
        std::make_unique<FileLog>(tollgate::testing::Wide(Folder() / "events.log"), 10000000));
    // The machine's endpoint mapper, as its system process serves it.
    mapper_.UseProtseq(L"ncacn_ip_tcp", 10);
    mapper_.RegisterIf(::rpc::EndpointMapperInterface(map_), 0, 10);
    mapper_.Listen(1, 10, true);
    ::rpc::SetEndpointMapperPort(mapper_.Ports().at(0));
  }
  void TearDown() override {
    mapper_.StopListening();
    mapper_.WaitListen();
    ::rpc::SetEndpointMapperPort(0);
    InstallFileLog(nullptr);
    platform::sockets().WSACleanup();
  }
  std::string LogText() { return tollgate::testing::ReadBytes(Folder() / "events_0.log"); }
  // One call to the server's port; the RPC status it ends with.
  ::rpc::RPC_STATUS Call(std::uint16_t port, std::uint16_t opnum, const Writer& in) {
    ::rpc::Binding binding(L"127.0.0.1", std::to_wstring(port));
    return ::rpc::RpcTryExcept([&] { binding.Call(AgentJobControlId(), opnum, in.Data()); });
  }

  std::shared_ptr<::rpc::EndpointMap> map_ = std::make_shared<::rpc::EndpointMap>();
  ::rpc::Server mapper_;
};

TEST_F(LocalServerOnSim, AHeldEndpointIsTriedThenADynamicOneIsRegisteredWithTheMapper) {
  ::rpc::Server holder;  // another program on the endpoint
  ASSERT_EQ(holder.UseProtseq(L"ncacn_ip_tcp", 10), ::rpc::RPC_S_OK);
  std::uint16_t held = holder.Ports().at(0);
  auto jobs = std::make_shared<Recorder>();
  LocalServer::Options options;
  options.endpoint = std::to_wstring(held);
  options.attempts = 4;
  options.retryMs = 100;
  LocalServer server(options, jobs, nullptr);
  auto started = std::chrono::steady_clock::now();
  ASSERT_EQ(server.Start(), nullptr) << LogText();
  auto waited = std::chrono::steady_clock::now() - started;
  EXPECT_GE(waited, std::chrono::milliseconds(300));  // three waits between four tries
  ASSERT_TRUE(server.Listening());
  EXPECT_NE(server.Port(), held);
  EXPECT_NE(
      LogText().find("RPC endpoint " + std::to_string(held) +
                     " is held by another program; listening on " + std::to_string(server.Port())),
      std::string::npos)
      << LogText();
  std::uint16_t found = 0;
  ASSERT_EQ(::rpc::EptMap(L"127.0.0.1", AgentJobControlId(), std::chrono::seconds(3), &found),
            ::rpc::RPC_S_OK);
  EXPECT_EQ(found, server.Port());

  // Every operation reaches its handler with its parameters, in the interface's order.
  Writer set, owner, decision, reexamine;
  SetJobCommandIn{7, 5, L"Recepção"}.Write(set);
  ChangeJobOwnerIn{8, L"ana", L"Balcão"}.Write(owner);
  ApplyJobDecisionIn{9, 2, L"Recepção", 1, 0}.Write(decision);
  ReexamineJobIn{L"Balcão", 10}.Write(reexamine);
  EXPECT_EQ(Call(found, jobcontrol::kSetJobCommand, set), ::rpc::RPC_S_OK);
  EXPECT_EQ(Call(found, jobcontrol::kChangeJobOwner, owner), ::rpc::RPC_S_OK);
  EXPECT_EQ(Call(found, jobcontrol::kApplyJobDecision, decision), ::rpc::RPC_S_OK);
  EXPECT_EQ(Call(found, jobcontrol::kReexamineJob, reexamine), ::rpc::RPC_S_OK);
  EXPECT_EQ(jobs->calls,
            (std::vector<std::wstring>{L"set 7 5 Recepção", L"owner 8 ana Balcão",
                                       L"decision 9 2 Recepção 10", L"reexamine Balcão 10"}));
  // An operation's error is reported and reaches the caller with its code.
  jobs->fail = true;
  EXPECT_EQ(Call(found, jobcontrol::kSetJobCommand, set), 87u);
  EXPECT_NE(LogText().find("retornou um resultado inesperado"), std::string::npos) << LogText();
  // The configuration interface is not offered outside server-host mode.
  ::rpc::Binding binding(L"127.0.0.1", std::to_wstring(found));
  Writer config;
  ConfigChangedIn{5, L"host"}.Write(config);
  EXPECT_NE(::rpc::RpcTryExcept([&] { binding.Call(AgentConfigNotifyId(), 0, config.Data()); }),
            ::rpc::RPC_S_OK);

  EXPECT_EQ(server.Stop(), nullptr);
  EXPECT_FALSE(server.Listening());
  EXPECT_EQ(Call(found, jobcontrol::kSetJobCommand, set), ::rpc::RPC_S_SERVER_UNAVAILABLE);
}

TEST_F(LocalServerOnSim, AStopEndsTheWaitForAHeldEndpoint) {
  ::rpc::Server holder;
  ASSERT_EQ(holder.UseProtseq(L"ncacn_ip_tcp", 10), ::rpc::RPC_S_OK);
  LocalServer::Options options;
  options.endpoint = std::to_wstring(holder.Ports().at(0));
  LocalServer server(options, std::make_shared<Recorder>(), nullptr);
  server.Cancel();
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(server.Start(), nullptr);
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(5));
  EXPECT_FALSE(server.Listening());
  EXPECT_EQ(server.Stop(), nullptr);
}

TEST_F(LocalServerOnSim, AStopDuringTheTriesOfAHeldEndpointEndsThemAtOnce) {
  ::rpc::Server holder;
  ASSERT_EQ(holder.UseProtseq(L"ncacn_ip_tcp", 10), ::rpc::RPC_S_OK);
  LocalServer::Options options;  // the product's minute of tries, a second apart
  options.endpoint = std::to_wstring(holder.Ports().at(0));
  LocalServer server(options, std::make_shared<Recorder>(), nullptr);
  std::chrono::steady_clock::time_point ended;
  ErrorResultPtr result = MakeError(L"not ended");
  std::thread start([&] {
    result = server.Start();
    ended = std::chrono::steady_clock::now();
  });
  platform::kernel().Sleep(1500);  // in the second wait
  auto asked = std::chrono::steady_clock::now();
  server.Cancel();
  start.join();
  EXPECT_LT(ended - asked, std::chrono::milliseconds(500));
  EXPECT_EQ(result, nullptr);
  EXPECT_FALSE(server.Listening());
  EXPECT_EQ(server.Stop(), nullptr);
}

TEST_F(LocalServerOnSim, OnlyAllowedCallersMayCommandJobsAndEachRefusedOneIsLoggedOnce) {
  CallerPolicy callers({L"127.0.0.5", L"127.0.0.6"});
  EXPECT_EQ(callers.Check(L"127.0.0.1"), ::rpc::RPC_S_OK);         // this machine
  EXPECT_EQ(callers.Check(L"::ffff:127.0.0.5"), ::rpc::RPC_S_OK);  // the server, mapped
  for (int i = 0; i < 3; ++i) EXPECT_EQ(callers.Check(L"10.9.8.7"), platform::ERROR_ACCESS_DENIED);
  EXPECT_EQ(callers.Check(L"10.9.8.6"), platform::ERROR_ACCESS_DENIED);
  std::string log = LogText();
  const std::string refused = "Refused an RPC call from 10.9.8.7";
  EXPECT_EQ(log.find(refused), log.rfind(refused)) << log;
  EXPECT_NE(log.find("Refused an RPC call from 10.9.8.6"), std::string::npos) << log;

  struct {
    const wchar_t* address;
    const wchar_t* canonical;
  } cases[] = {{L"::FFFF:127.0.0.9", L"127.0.0.9"}, {L"::1", L"::1"}, {L"FE80::1", L"fe80::1"}};
  for (const auto& c : cases) EXPECT_EQ(CanonicalAddress(c.address), c.canonical);
}

// The central server is whatever the agent reports to: a name the machine resolves, given on
// the command line and changed later; its addresses are allowed from its first call on.
TEST_F(LocalServerOnSim, TheServerTheAgentReportsToMayCommandJobsWhicheverItIs) {
  std::filesystem::path etc = Folder() / "Windows" / "System32" / "drivers" / "etc";
  std::filesystem::create_directories(etc);
  tollgate::testing::WriteBytes(etc / "hosts", "127.0.0.31 acct-srv\r\n127.0.0.32 acct-new\r\n");
  std::mutex lock;
  std::wstring server = L"ACCT-SRV";
  CallerPolicy callers({L"127.0.0.78"}, [&] {
    std::lock_guard<std::mutex> guard(lock);
    return server;
  });
  const std::wstring from[] = {L"127.0.0.31", L"127.0.0.32", L"127.0.0.78", L"127.0.0.1",
                               L"127.0.0.77"};
  auto allowed = [&] {
    std::vector<bool> result;
    for (const auto& address : from) result.push_back(callers.Check(address) == ::rpc::RPC_S_OK);
    return result;
  };
  EXPECT_EQ(allowed(), (std::vector<bool>{true, false, true, true, false}));
  {
    std::lock_guard<std::mutex> guard(lock);
    server = L"127.0.0.32";  // a configuration change names another server
  }
  // At once, not after the wait between two look-ups of refused callers.
  EXPECT_EQ(allowed(), (std::vector<bool>{false, true, true, true, false}));
  {
    std::lock_guard<std::mutex> guard(lock);
    server = L"acct-new";
  }
  EXPECT_EQ(allowed(), (std::vector<bool>{false, true, true, true, false}));
}

}  // namespace
}  // namespace tollgate::remote

// The runtime's client against its server over the simulated machine's loopback. The
// independent peer (impacket) is in the Python tests beside this file.
#include <gtest/gtest.h>

#include "platform/platform.h"

#include <chrono>
#include <thread>

#include "shared/rpc/rpc.h"
#include "testing/machine_fixture.h"

namespace {

using namespace rpc;
using Clock = std::chrono::steady_clock;

const SyntaxId kTestInterface{Uuid::Of("0d6fa1e5-8f3b-4a53-9c1e-6a1b2c3d4e5f"), 1, 2};

// op 0: echoes a unique byte array as a server-allocated array (count, referent, count, bytes);
// op 1: raises the status it is given; op 2: sleeps the milliseconds it is given;
// op 3: throws a C++ exception; op 4: none.
ServerInterface TestInterface() {
  ServerInterface definition;
  definition.id = kTestInterface;
  definition.operations.resize(5);
  definition.operations[0] = [](CallContext&, ndr::Reader& in, ndr::Writer& out) {
    std::int32_t count = in.I32();
    std::vector<std::uint8_t> bytes;
    in.UniquePointer([&] {
      in.Conformance(1, static_cast<std::uint32_t>(count));
      auto view = in.View(static_cast<std::size_t>(count));
      bytes.assign(view.begin(), view.end());
    });
    out.I32(static_cast<std::int32_t>(bytes.size()));
    out.UniquePointer(!bytes.empty(), [&] { out.ConformantBytes(bytes); });
  };
  definition.operations[1] = [](CallContext&, ndr::Reader& in, ndr::Writer&) {
    RpcRaiseException(static_cast<RPC_STATUS>(in.U32()));
  };
  definition.operations[2] = [](CallContext&, ndr::Reader& in, ndr::Writer& out) {
    std::this_thread::sleep_for(std::chrono::milliseconds(in.U32()));
    out.U32(1);
  };
  definition.operations[3] = [](CallContext&, ndr::Reader&, ndr::Writer&) {
    throw std::runtime_error("manager failure");
  };
  return definition;
}

std::vector<std::uint8_t> Echo(Binding& b, const std::vector<std::uint8_t>& bytes) {
  ndr::Writer w;
  w.I32(static_cast<std::int32_t>(bytes.size()));
  w.UniquePointer(!bytes.empty(), [&] { w.ConformantBytes(bytes); });
  auto answer = b.Call(kTestInterface, 0, w.Data());
  ndr::Reader r(answer);
  std::int32_t n = r.I32();
  std::vector<std::uint8_t> back;
  r.UniquePointer([&] {
    r.Conformance(1, static_cast<std::uint32_t>(n));
    auto view = r.View(static_cast<std::size_t>(n));
    back.assign(view.begin(), view.end());
  });
  return back;
}

RPC_STATUS CallStatus(Binding& b, const SyntaxId& id, std::uint16_t opnum, std::uint32_t arg) {
  ndr::Writer w;
  w.U32(arg);
  return RpcTryExcept([&] { b.Call(id, opnum, w.Data()); });
}

class RpcTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    ASSERT_EQ(server_.UseProtseq(L"ncacn_ip_tcp", RPC_C_PROTSEQ_MAX_REQS_DEFAULT), RPC_S_OK);
    ASSERT_EQ(server_.RegisterIf(TestInterface(), RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 1234),
              RPC_S_OK);
    ASSERT_EQ(server_.Listen(1, 1234, true), RPC_S_OK);
    port_ = std::to_wstring(server_.Ports().at(0));
  }
  void TearDown() override {
    server_.StopListening();
    server_.WaitListen();
  }

  Server server_;
  std::wstring port_;
};

TEST_F(RpcTest, CallsReuseOneConnectionAndFragmentBothWays) {
  Binding b(L"127.0.0.1", port_);
  EXPECT_EQ(Echo(b, {1, 2, 3}), (std::vector<std::uint8_t>{1, 2, 3}));
  EXPECT_EQ(Echo(b, {}), std::vector<std::uint8_t>{});
  std::vector<std::uint8_t> big(3 << 20);
  for (std::size_t i = 0; i < big.size(); ++i)
    big[i] = static_cast<std::uint8_t>(i * 31 + (i >> 12));
  EXPECT_EQ(Echo(b, big), big);
  EXPECT_EQ(server_.Connections(), 1u);
}

TEST_F(RpcTest, FaultsCarryTheStatusTheCallerSees) {
  Binding b(L"localhost", port_);
  struct Case {
    const char* name;
    SyntaxId id;
    std::uint16_t opnum;
    std::uint32_t arg;
    RPC_STATUS expected;
  } cases[] = {
      {"application error", kTestInterface, 1, 0x20000005, 0x20000005},
      {"Windows code", kTestInterface, 1, 5, 5},
      {"bad stub data", kTestInterface, 1, RPC_X_BAD_STUB_DATA, RPC_X_BAD_STUB_DATA},
      {"opnum out of range", kTestInterface, 9, 0, RPC_S_PROCNUM_OUT_OF_RANGE},
      {"opnum without routine", kTestInterface, 4, 0, RPC_S_PROCNUM_OUT_OF_RANGE},
      {"C++ exception", kTestInterface, 3, 0, RPC_S_CALL_FAILED},
      {"short stub data", kTestInterface, 0, 0, RPC_X_BAD_STUB_DATA},
      {"unknown interface",
       {Uuid::Of("11111111-2222-3333-4444-555555555555"), 1, 0},
       0,
       0,
       RPC_S_UNKNOWN_IF},
      {"other major version", {kTestInterface.uuid, 2, 0}, 0, 0, RPC_S_UNKNOWN_IF},
      {"higher minor version", {kTestInterface.uuid, 1, 3}, 0, 0, RPC_S_UNKNOWN_IF},
      {"lower minor version", {kTestInterface.uuid, 1, 1}, 1, 7, 7},
  };
  for (const auto& c : cases) {
    ndr::Writer w;
    if (c.opnum != 0) w.U32(c.arg);
    EXPECT_EQ(RpcTryExcept([&] { b.Call(c.id, c.opnum, w.Data()); }), c.expected) << c.name;
  }
  // The connection survives every fault.
  EXPECT_EQ(Echo(b, {9}), std::vector<std::uint8_t>{9});
}

TEST_F(RpcTest, CallTimeOutCancelsAndTheNextCallReconnects) {
  Binding b(L"127.0.0.1", port_);
  b.SetCallTimeout(300);
  auto start = Clock::now();
  EXPECT_EQ(CallStatus(b, kTestInterface, 2, 1500), RPC_S_CALL_CANCELLED);
  auto took = Clock::now() - start;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(1500));
  EXPECT_EQ(CallStatus(b, kTestInterface, 2, 10), RPC_S_OK);
}

TEST_F(RpcTest, OversizedRequestGetsAFaultAndTheConnectionGoesOn) {
  server_.SetMaxMessage(1 << 20);
  // The limit applies to connections made from now on.
  Binding b(L"127.0.0.1", port_);
  EXPECT_EQ(RpcTryExcept([&] { Echo(b, std::vector<std::uint8_t>(2 << 20, 7)); }),
            RPC_S_SERVER_OUT_OF_MEMORY);
  EXPECT_EQ(Echo(b, {5, 6}), (std::vector<std::uint8_t>{5, 6}));

  // Within the message limit, but over what all connections together may hold.
  server_.SetMaxMessage(16 << 20);
  server_.SetMaxPending(1 << 20);
  Binding c(L"127.0.0.1", port_);
  EXPECT_EQ(RpcTryExcept([&] { Echo(c, std::vector<std::uint8_t>(2 << 20, 7)); }),
            RPC_S_SERVER_OUT_OF_MEMORY);
  EXPECT_EQ(Echo(c, std::vector<std::uint8_t>(900000, 3)), std::vector<std::uint8_t>(900000, 3));
}

TEST_F(RpcTest, ServerStoppedOrAbsentIsUnavailable) {
  Binding b(L"127.0.0.1", port_);
  b.SetComTimeout(RPC_C_BINDING_MIN_TIMEOUT);
  EXPECT_EQ(Echo(b, {1}), std::vector<std::uint8_t>{1});
  EXPECT_EQ(server_.StopListening(), RPC_S_OK);
  EXPECT_EQ(server_.WaitListen(), RPC_S_OK);
  EXPECT_EQ(server_.StopListening(), RPC_S_NOT_LISTENING);
  auto start = Clock::now();
  EXPECT_EQ(CallStatus(b, kTestInterface, 2, 0), RPC_S_SERVER_UNAVAILABLE);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(2));
  // Listening again opens the same port.
  ASSERT_EQ(server_.Listen(1, 10, true), RPC_S_OK);
  EXPECT_EQ(CallStatus(b, kTestInterface, 2, 0), RPC_S_OK);
  // Unregistered, the interface is unknown to new calls.
  EXPECT_EQ(server_.UnregisterIf(&kTestInterface, true), RPC_S_OK);
  EXPECT_EQ(CallStatus(b, kTestInterface, 2, 0), RPC_S_UNKNOWN_IF);
}

TEST_F(RpcTest, EndpointInUseAndBadEndpoints) {
  Server other;
  EXPECT_EQ(other.UseProtseqEp(L"ncacn_ip_tcp", 10, port_), RPC_S_DUPLICATE_ENDPOINT);
  EXPECT_EQ(other.UseProtseqEp(L"ncacn_ip_tcp", 10, L"70000"), RPC_S_INVALID_ENDPOINT_FORMAT);
  EXPECT_EQ(other.UseProtseqEp(L"ncacn_np", 10, L"\\pipe\\x"), RPC_S_PROTSEQ_NOT_SUPPORTED);
  EXPECT_EQ(other.Listen(1, 10, true), RPC_S_NO_PROTSEQS_REGISTERED);
  std::vector<std::wstring> bindings;
  EXPECT_EQ(other.InqBindings(&bindings), RPC_S_NO_BINDINGS);
  ASSERT_EQ(server_.InqBindings(&bindings), RPC_S_OK);
  ASSERT_EQ(bindings.size(), 1u);
  std::wstring computer;
  ASSERT_TRUE(platform::system().GetComputerNameW(16, &computer));
  EXPECT_EQ(bindings[0], L"ncacn_ip_tcp:" + computer + L"[" + port_ + L"]");
  EXPECT_EQ(server_.Listen(1, 10, true), RPC_S_ALREADY_LISTENING);
}

TEST_F(RpcTest, ManyConcurrentClients) {
  constexpr int kClients = 40;
  std::vector<std::thread> threads;
  std::atomic<int> good{0};
  for (int i = 0; i < kClients; ++i) {
    threads.emplace_back([&, i] {
      Binding b(L"127.0.0.1", port_);
      std::vector<std::uint8_t> bytes(100 + i, static_cast<std::uint8_t>(i));
      bool ok = true;
      for (int k = 0; k < 20; ++k) ok = ok && Echo(b, bytes) == bytes;
      if (ok) ++good;
    });
  }
  for (auto& t : threads) t.join();
  EXPECT_EQ(good, kClients);
}

// A server on one address of the machine only; a client that leaves from a chosen address is
// seen by the server as coming from it.
TEST_F(RpcTest, ListenAndSourceAddressesAreTheOnesGiven) {
  auto seen = std::make_shared<std::wstring>();
  ServerInterface definition;
  definition.id = kTestInterface;
  definition.operations.resize(1);
  definition.operations[0] = [seen](CallContext& call, ndr::Reader&, ndr::Writer&) {
    *seen = call.clientAddress;
  };
  Server one;
  one.SetListenAddress(L"127.0.0.41");
  ASSERT_EQ(one.UseProtseq(L"ncacn_ip_tcp", RPC_C_PROTSEQ_MAX_REQS_DEFAULT), RPC_S_OK);
  ASSERT_EQ(one.RegisterIf(definition, RPC_IF_ALLOW_CALLBACKS_WITH_NO_AUTH, 10), RPC_S_OK);
  ASSERT_EQ(one.Listen(1, 10, true), RPC_S_OK);
  std::wstring port = std::to_wstring(one.Ports().at(0));
  Binding elsewhere(L"127.0.0.1", port);
  EXPECT_EQ(CallStatus(elsewhere, kTestInterface, 0, 0), RPC_S_SERVER_UNAVAILABLE);
  Binding plain(L"127.0.0.41", port);
  EXPECT_EQ(CallStatus(plain, kTestInterface, 0, 0), RPC_S_OK);
  Binding from(L"127.0.0.41", port);
  from.SetSourceAddress(L"127.0.0.42");
  EXPECT_EQ(CallStatus(from, kTestInterface, 0, 0), RPC_S_OK);
  EXPECT_EQ(*seen, L"127.0.0.42");
  Binding nowhere(L"127.0.0.41", port);
  nowhere.SetSourceAddress(L"not an address");
  EXPECT_EQ(CallStatus(nowhere, kTestInterface, 0, 0), RPC_S_SERVER_UNAVAILABLE);
  one.StopListening();
  one.WaitListen();
}

TEST(StringBinding, ComposeParseAndHandles) {
  tollgate::testing::TempMachine machine;
  std::wstring text;
  ASSERT_EQ(RpcStringBindingComposeW(nullptr, L"ncacn_ip_tcp", L"ws042", L"7001", nullptr, &text),
            RPC_S_OK);
  EXPECT_EQ(text, L"ncacn_ip_tcp:ws042[7001]");
  ASSERT_EQ(RpcStringBindingComposeW(L"a6fc6445-3f19-4196-b293-cd8af088925a", L"ncacn_ip_tcp",
                                     L"10.0.0.1", nullptr, nullptr, &text),
            RPC_S_OK);
  EXPECT_EQ(text, L"a6fc6445-3f19-4196-b293-cd8af088925a@ncacn_ip_tcp:10.0.0.1");

  struct Case {
    const wchar_t* text;
    RPC_STATUS expected;
    const wchar_t* host;
    const wchar_t* endpoint;
  } cases[] = {
      {L"ncacn_ip_tcp:ws042[7001]", RPC_S_OK, L"ws042", L"7001"},
      {L"ncacn_ip_tcp:ws042[endpoint=7002]", RPC_S_OK, L"ws042", L"7002"},
      {L"ncacn_ip_tcp:ws042", RPC_S_OK, L"ws042", L""},
      {L"a6fc6445-3f19-4196-b293-cd8af088925a@ncacn_ip_tcp:h[1]", RPC_S_OK, L"h", L"1"},
      {L"ncacn_ip_tcp:ws042[7001", RPC_S_INVALID_STRING_BINDING, nullptr, nullptr},
      {L"ws042", RPC_S_INVALID_STRING_BINDING, nullptr, nullptr},
      {L"ncacn_np:ws042[\\pipe\\x]", RPC_S_PROTSEQ_NOT_SUPPORTED, nullptr, nullptr},
      {L"ncacn_ip_tcp:ws042[port]", RPC_S_INVALID_ENDPOINT_FORMAT, nullptr, nullptr},
      {L"ncacn_ip_tcp:ws042[65536]", RPC_S_INVALID_ENDPOINT_FORMAT, nullptr, nullptr},
      {L"not-a-uuid@ncacn_ip_tcp:h", RPC_S_INVALID_STRING_UUID, nullptr, nullptr},
  };
  for (const auto& c : cases) {
    RPC_BINDING_HANDLE h = nullptr;
    EXPECT_EQ(RpcBindingFromStringBindingW(c.text, &h), c.expected) << c.text;
    if (c.expected == RPC_S_OK) {
      ASSERT_NE(h, nullptr);
      EXPECT_EQ(h->Host(), c.host);
      EXPECT_EQ(h->Endpoint(), c.endpoint);
      EXPECT_EQ(RpcMgmtSetComTimeout(h, 0), RPC_S_OK);
      EXPECT_EQ(RpcMgmtSetComTimeout(h, 11), RPC_S_INVALID_TIMEOUT);
      EXPECT_EQ(RpcBindingSetOption(h, RPC_C_OPT_CALL_TIMEOUT, 8000), RPC_S_OK);
      Uuid zero;
      EXPECT_EQ(RpcBindingSetObject(h, &zero), RPC_S_OK);
      EXPECT_EQ(RpcBindingFree(&h), RPC_S_OK);
      EXPECT_EQ(h, nullptr);
    } else {
      EXPECT_EQ(h, nullptr);
    }
  }
}

TEST(EndpointMapper, NoMapperMeansUnavailable) {
  tollgate::testing::TempMachine machine;
  // Nothing listens on the mapper port chosen here.
  std::uint16_t unused;
  {
    Server probe;
    ASSERT_EQ(probe.UseProtseq(L"ncacn_ip_tcp", 10), RPC_S_OK);
    unused = probe.Ports().at(0);
  }
  SetEndpointMapperPort(unused);
  Binding b(L"127.0.0.1", L"");
  b.SetComTimeout(RPC_C_BINDING_MIN_TIMEOUT);
  EXPECT_EQ(CallStatus(b, kTestInterface, 2, 0), RPC_S_SERVER_UNAVAILABLE);
  SetEndpointMapperPort(0);  // the machine's own again
}

}  // namespace

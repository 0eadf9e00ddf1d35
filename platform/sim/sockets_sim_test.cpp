#include <gtest/gtest.h>

#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

class SocketsOnSim : public tollgate::testing::MachineTest {};

// The simulated machine's network is the host's loopback: its own name resolves there.
TEST_F(SocketsOnSim, OwnNameIsTheLoopback) {
  WsaData data;
  ASSERT_EQ(sockets().WSAStartup(WINSOCK_VERSION_2_2, &data), 0);
  machine().SetComputerName(L"WS042");
  AddrInfoW hints;
  hints.ai_family = AF_INET;
  std::vector<AddrInfoW> result;
  ASSERT_EQ(sockets().GetAddrInfoW(L"ws042", L"", &hints, &result), 0);
  ASSERT_FALSE(result.empty());
  EXPECT_EQ(sockets().AddressToString(result[0].ai_addr), L"127.0.0.1");
  sockets().WSACleanup();
}

// A wildcard bind listens on the machine's network, the loopback; an unknown socket polls
// as POLLNVAL at once.
TEST_F(SocketsOnSim, WildcardBindIsTheLoopbackAndUnknownSocketsPollInvalid) {
  WsaData data;
  ASSERT_EQ(sockets().WSAStartup(WINSOCK_VERSION_2_2, &data), 0);
  SOCKET listener = sockets().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(sockets().bind(listener, SockAddr::Ipv4Any(0)), 0);
  ASSERT_EQ(sockets().listen(listener, 5), 0);
  SockAddr local;
  ASSERT_EQ(sockets().getsockname(listener, &local), 0);
  EXPECT_EQ(sockets().AddressToString(local), L"127.0.0.1");
  WsaPollFd r[2] = {{listener, POLLIN, 0}, {0x999, POLLIN, 0}};
  EXPECT_EQ(sockets().WSAPoll(r, 2, 5000), 1);
  EXPECT_EQ(r[1].revents, POLLNVAL);
  sockets().closesocket(listener);
  sockets().WSACleanup();
}

}  // namespace

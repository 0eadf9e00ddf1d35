#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "platform/platform.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

class SocketsTest : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    WsaData data;
    ASSERT_EQ(sockets().WSAStartup(WINSOCK_VERSION_2_2, &data), 0);
    EXPECT_EQ(data.wVersion, WINSOCK_VERSION_2_2);
  }
  void TearDown() override { sockets().WSACleanup(); }

  Sockets& net() { return sockets(); }

  // A listener on a dynamic loopback port; its port in `port`.
  SOCKET Listener(std::uint16_t* port) {
    SOCKET s = net().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    EXPECT_NE(s, INVALID_SOCKET);
    EXPECT_EQ(net().bind(s, SockAddr::Ipv4Any(0)), 0);
    EXPECT_EQ(net().listen(s, 16), 0);
    SockAddr local;
    EXPECT_EQ(net().getsockname(s, &local), 0);
    *port = local.port;
    return s;
  }
};

TEST_F(SocketsTest, EchoOverLoopbackAndOrderlyClose) {
  std::uint16_t port;
  SOCKET listener = Listener(&port);
  SockAddr local;
  ASSERT_EQ(net().getsockname(listener, &local), 0);
  EXPECT_EQ(local.port, port);

  SOCKET client = net().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  ASSERT_EQ(net().connect(client, SockAddr::Ipv4Loopback(port)), 0);
  SockAddr peer;
  SOCKET server = net().accept(listener, &peer);
  ASSERT_NE(server, INVALID_SOCKET);
  EXPECT_EQ(peer.family, AF_INET);

  int on = 1;
  EXPECT_EQ(net().setsockopt(client, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on)), 0);
  ASSERT_EQ(net().send(client, "ping", 4, 0), 4);
  char buffer[16] = {};
  ASSERT_EQ(net().recv(server, buffer, sizeof(buffer), 0), 4);
  EXPECT_EQ(std::string(buffer, 4), "ping");
  EXPECT_EQ(net().shutdown(client, SD_SEND), 0);
  EXPECT_EQ(net().recv(server, buffer, sizeof(buffer), 0), 0);
  EXPECT_EQ(net().send(client, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAESHUTDOWN));
  EXPECT_EQ(net().closesocket(server), 0);
  EXPECT_EQ(net().closesocket(client), 0);
  EXPECT_EQ(net().closesocket(listener), 0);
  EXPECT_EQ(net().closesocket(listener), SOCKET_ERROR);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAENOTSOCK));
}

TEST_F(SocketsTest, WinsockErrorCodes) {
  std::uint16_t port;
  SOCKET listener = Listener(&port);

  // The port is taken.
  SOCKET second = net().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(net().bind(second, SockAddr::Ipv4Loopback(port)), SOCKET_ERROR);
  EXPECT_EQ(kernel().GetLastError(), WSAEADDRINUSE);
  net().closesocket(second);
  net().closesocket(listener);

  // Nobody listens there any more.
  SOCKET client = net().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  EXPECT_EQ(net().connect(client, SockAddr::Ipv4Loopback(port)), SOCKET_ERROR);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAECONNREFUSED));
  net().closesocket(client);

  EXPECT_EQ(net().send(0x12345, "x", 1, 0), SOCKET_ERROR);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAENOTSOCK));
  EXPECT_EQ(net().socket(99, SOCK_STREAM, 0), INVALID_SOCKET);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAEAFNOSUPPORT));
}

TEST_F(SocketsTest, NothingWorksBeforeStartup) {
  net().WSACleanup();
  EXPECT_EQ(net().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP), INVALID_SOCKET);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSANOTINITIALISED));
  EXPECT_EQ(net().WSACleanup(), SOCKET_ERROR);
  WsaData data;
  ASSERT_EQ(net().WSAStartup(WINSOCK_VERSION_2_2, &data), 0);
}

TEST_F(SocketsTest, ReceiveTimeOutAndNonBlockingConnect) {
  std::uint16_t port;
  SOCKET listener = Listener(&port);
  SOCKET client = net().socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  unsigned long on = 1;
  ASSERT_EQ(net().ioctlsocket(client, FIONBIO, &on), 0);
  int rc = net().connect(client, SockAddr::Ipv4Loopback(port));
  if (rc == SOCKET_ERROR) {
    EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAEWOULDBLOCK));
  }
  WsaPollFd p{client, POLLOUT, 0};
  ASSERT_EQ(net().WSAPoll(&p, 1, 2000), 1);
  EXPECT_TRUE(p.revents & POLLWRNORM);
  int error = -1;
  int length = sizeof(error);
  ASSERT_EQ(net().getsockopt(client, SOL_SOCKET, SO_ERROR, &error, &length), 0);
  EXPECT_EQ(error, 0);
  unsigned long off = 0;
  ASSERT_EQ(net().ioctlsocket(client, FIONBIO, &off), 0);

  DWORD ms = 150;
  ASSERT_EQ(net().setsockopt(client, SOL_SOCKET, SO_RCVTIMEO, &ms, sizeof(ms)), 0);
  char c;
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(net().recv(client, &c, 1, 0), SOCKET_ERROR);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAETIMEDOUT));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));

  // Nothing to read yet: the poll times out.
  WsaPollFd r{client, POLLIN, 0};
  EXPECT_EQ(net().WSAPoll(&r, 1, 50), 0);
  net().closesocket(client);
  net().closesocket(listener);
}

TEST_F(SocketsTest, CloseEndsABlockedCallInAnotherThread) {
  std::uint16_t port;
  SOCKET listener = Listener(&port);
  int acceptResult = 0;
  std::thread waiter([&] {
    SOCKET s = net().accept(listener, nullptr);
    acceptResult = s == INVALID_SOCKET ? SOCKET_ERROR : 0;
  });
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(net().closesocket(listener), 0);
  waiter.join();
  EXPECT_EQ(acceptResult, SOCKET_ERROR);
}

TEST_F(SocketsTest, NameResolution) {
  AddrInfoW hints;
  hints.ai_family = AF_INET;
  hints.ai_socktype = SOCK_STREAM;
  std::vector<AddrInfoW> result;
  ASSERT_EQ(net().GetAddrInfoW(L"127.0.0.1", L"7001", &hints, &result), 0);
  ASSERT_FALSE(result.empty());
  EXPECT_EQ(result[0].ai_addr.port, 7001);
  EXPECT_EQ(result[0].ai_socktype, SOCK_STREAM);

  hints.ai_flags = AI_NUMERICHOST;
  EXPECT_EQ(net().GetAddrInfoW(L"not-a-number", L"", &hints, &result),
            static_cast<int>(WSAHOST_NOT_FOUND));
  EXPECT_EQ(kernel().GetLastError(), WSAHOST_NOT_FOUND);
  EXPECT_TRUE(result.empty());
}

TEST_F(SocketsTest, Datagrams) {
  SOCKET a = net().socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  SOCKET b = net().socket(AF_INET, SOCK_DGRAM, IPPROTO_UDP);
  ASSERT_EQ(net().bind(b, SockAddr::Ipv4Loopback(0)), 0);
  SockAddr to;
  ASSERT_EQ(net().getsockname(b, &to), 0);
  ASSERT_EQ(net().sendto(a, "hello", 5, 0, to), 5);
  char buffer[3];
  SockAddr from;
  // A datagram larger than the buffer is cut, with WSAEMSGSIZE.
  EXPECT_EQ(net().recvfrom(b, buffer, sizeof(buffer), 0, &from), SOCKET_ERROR);
  EXPECT_EQ(net().WSAGetLastError(), static_cast<int>(WSAEMSGSIZE));
  EXPECT_EQ(std::string(buffer, 3), "hel");
  EXPECT_EQ(from.family, AF_INET);
  net().closesocket(a);
  net().closesocket(b);
}

}  // namespace

// Windows Sockets: name resolution, TCP and UDP, with Winsock names, semantics and error codes.
//
// Every operation reports its failure the Winsock way: SOCKET_ERROR (or INVALID_SOCKET) and the
// error code in the thread's last error (WSAGetLastError, the same slot as GetLastError).
// Addresses are owned structures (SockAddr) instead of the sockaddr byte layouts; the byte order
// conversions of raw Winsock are the implementation's business.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/types.h"

namespace platform {

using SOCKET = std::uintptr_t;
inline constexpr SOCKET INVALID_SOCKET = ~static_cast<SOCKET>(0);
inline constexpr int SOCKET_ERROR = -1;

// Address families, types and protocols (the Winsock values).
inline constexpr int AF_UNSPEC = 0;
inline constexpr int AF_INET = 2;
inline constexpr int AF_INET6 = 23;
inline constexpr int SOCK_STREAM = 1;
inline constexpr int SOCK_DGRAM = 2;
inline constexpr int IPPROTO_TCP = 6;
inline constexpr int IPPROTO_UDP = 17;

// getaddrinfo flags.
inline constexpr int AI_PASSIVE = 0x01;
inline constexpr int AI_CANONNAME = 0x02;
inline constexpr int AI_NUMERICHOST = 0x04;

// Socket options.
inline constexpr int SOL_SOCKET = 0xFFFF;
inline constexpr int SO_REUSEADDR = 0x0004;
inline constexpr int SO_KEEPALIVE = 0x0008;
inline constexpr int SO_BROADCAST = 0x0020;
inline constexpr int SO_LINGER = 0x0080;
inline constexpr int SO_SNDBUF = 0x1001;
inline constexpr int SO_RCVBUF = 0x1002;
inline constexpr int SO_SNDTIMEO = 0x1005;  // DWORD milliseconds, 0 = none
inline constexpr int SO_RCVTIMEO = 0x1006;  // DWORD milliseconds, 0 = none
inline constexpr int SO_ERROR = 0x1007;
inline constexpr int SO_EXCLUSIVEADDRUSE = ~SO_REUSEADDR;
inline constexpr int TCP_NODELAY = 0x0001;  // level IPPROTO_TCP

// ioctlsocket commands.
inline constexpr long FIONBIO = static_cast<long>(0x8004667E);
inline constexpr long FIONREAD = 0x4004667F;

// shutdown directions.
inline constexpr int SD_RECEIVE = 0;
inline constexpr int SD_SEND = 1;
inline constexpr int SD_BOTH = 2;

// send / recv flags.
inline constexpr int MSG_OOB = 0x1;
inline constexpr int MSG_PEEK = 0x2;
inline constexpr int MSG_WAITALL = 0x8;

// WSAPoll events.
inline constexpr short POLLRDNORM = 0x0100;
inline constexpr short POLLRDBAND = 0x0200;
inline constexpr short POLLIN = POLLRDNORM | POLLRDBAND;
inline constexpr short POLLPRI = 0x0400;
inline constexpr short POLLWRNORM = 0x0010;
inline constexpr short POLLOUT = POLLWRNORM;
inline constexpr short POLLWRBAND = 0x0020;
inline constexpr short POLLERR = 0x0001;
inline constexpr short POLLHUP = 0x0002;
inline constexpr short POLLNVAL = 0x0004;

// Winsock error codes.
inline constexpr DWORD WSA_NOT_ENOUGH_MEMORY = 8;
inline constexpr DWORD WSA_INVALID_PARAMETER = 87;
inline constexpr DWORD WSAEINTR = 10004;
inline constexpr DWORD WSAEBADF = 10009;
inline constexpr DWORD WSAEACCES = 10013;
inline constexpr DWORD WSAEFAULT = 10014;
inline constexpr DWORD WSAEINVAL = 10022;
inline constexpr DWORD WSAEMFILE = 10024;
inline constexpr DWORD WSAEWOULDBLOCK = 10035;
inline constexpr DWORD WSAEINPROGRESS = 10036;
inline constexpr DWORD WSAEALREADY = 10037;
inline constexpr DWORD WSAENOTSOCK = 10038;
inline constexpr DWORD WSAEDESTADDRREQ = 10039;
inline constexpr DWORD WSAEMSGSIZE = 10040;
inline constexpr DWORD WSAEPROTOTYPE = 10041;
inline constexpr DWORD WSAENOPROTOOPT = 10042;
inline constexpr DWORD WSAEPROTONOSUPPORT = 10043;
inline constexpr DWORD WSAESOCKTNOSUPPORT = 10044;
inline constexpr DWORD WSAEOPNOTSUPP = 10045;
inline constexpr DWORD WSAEAFNOSUPPORT = 10047;
inline constexpr DWORD WSAEADDRINUSE = 10048;
inline constexpr DWORD WSAEADDRNOTAVAIL = 10049;
inline constexpr DWORD WSAENETDOWN = 10050;
inline constexpr DWORD WSAENETUNREACH = 10051;
inline constexpr DWORD WSAENETRESET = 10052;
inline constexpr DWORD WSAECONNABORTED = 10053;
inline constexpr DWORD WSAECONNRESET = 10054;
inline constexpr DWORD WSAENOBUFS = 10055;
inline constexpr DWORD WSAEISCONN = 10056;
inline constexpr DWORD WSAENOTCONN = 10057;
inline constexpr DWORD WSAESHUTDOWN = 10058;
inline constexpr DWORD WSAETIMEDOUT = 10060;
inline constexpr DWORD WSAECONNREFUSED = 10061;
inline constexpr DWORD WSAEHOSTUNREACH = 10065;
inline constexpr DWORD WSASYSNOTREADY = 10091;
inline constexpr DWORD WSAVERNOTSUPPORTED = 10092;
inline constexpr DWORD WSANOTINITIALISED = 10093;
inline constexpr DWORD WSATYPE_NOT_FOUND = 10109;
inline constexpr DWORD WSAHOST_NOT_FOUND = 11001;
inline constexpr DWORD WSATRY_AGAIN = 11002;
inline constexpr DWORD WSANO_RECOVERY = 11003;
inline constexpr DWORD WSANO_DATA = 11004;

// MAKEWORD(2, 2), the version every caller asks for.
inline constexpr std::uint16_t WINSOCK_VERSION_2_2 = 0x0202;

struct WsaData {  // WSADATA
  std::uint16_t wVersion = 0;
  std::uint16_t wHighVersion = 0;
  std::string szDescription;
  std::string szSystemStatus;
};

// An IPv4 or IPv6 socket address (SOCKADDR_INET). The port is in host order; the address
// bytes are in network order (4 of them for AF_INET).
struct SockAddr {
  int family = AF_UNSPEC;
  std::uint16_t port = 0;
  std::array<std::uint8_t, 16> address{};
  std::uint32_t scopeId = 0;

  static SockAddr Ipv4(std::uint8_t a, std::uint8_t b, std::uint8_t c, std::uint8_t d,
                       std::uint16_t port) {
    SockAddr s;
    s.family = AF_INET;
    s.port = port;
    s.address[0] = a;
    s.address[1] = b;
    s.address[2] = c;
    s.address[3] = d;
    return s;
  }
  static SockAddr Ipv4Loopback(std::uint16_t port) { return Ipv4(127, 0, 0, 1, port); }
  static SockAddr Ipv4Any(std::uint16_t port) { return Ipv4(0, 0, 0, 0, port); }
  static SockAddr Ipv6Any(std::uint16_t port) {
    SockAddr s;
    s.family = AF_INET6;
    s.port = port;
    return s;
  }
};

struct AddrInfoW {  // ADDRINFOW; one entry of the result list
  int ai_flags = 0;
  int ai_family = AF_UNSPEC;
  int ai_socktype = 0;
  int ai_protocol = 0;
  std::wstring ai_canonname;
  SockAddr ai_addr;
};

struct WsaPollFd {  // WSAPOLLFD
  SOCKET fd = INVALID_SOCKET;
  short events = 0;
  short revents = 0;
};

class Sockets {
 public:
  virtual ~Sockets() = default;

  // WSAStartup returns 0 or the error code itself (it does not set the last error); every
  // other call fails with WSANOTINITIALISED until it has succeeded. Calls are counted: the
  // library stays loaded until as many WSACleanup calls as WSAStartup calls.
  virtual int WSAStartup(std::uint16_t versionRequested, WsaData* data) = 0;
  virtual int WSACleanup() = 0;
  virtual int WSAGetLastError() = 0;
  virtual void WSASetLastError(int error) = 0;

  // GetAddrInfoW: 0 and the addresses, or a Winsock error code (WSAHOST_NOT_FOUND, …), which
  // is also the last error. An empty node with AI_PASSIVE gives the wildcard addresses; an
  // empty node without it the loopback addresses. `hints` may be null.
  virtual int GetAddrInfoW(const std::wstring& nodeName, const std::wstring& serviceName,
                           const AddrInfoW* hints, std::vector<AddrInfoW>* result) = 0;
  // The text form of an address ("127.0.0.1", "::1"), as WSAAddressToStringW without the port.
  virtual std::wstring AddressToString(const SockAddr& address) = 0;

  virtual SOCKET socket(int af, int type, int protocol) = 0;
  virtual int bind(SOCKET s, const SockAddr& name) = 0;
  virtual int listen(SOCKET s, int backlog) = 0;
  virtual SOCKET accept(SOCKET s, SockAddr* peer) = 0;
  // connect: on a non-blocking socket (FIONBIO) a connection under way fails with
  // WSAEWOULDBLOCK; wait for POLLOUT (WSAPoll) and read SO_ERROR for its outcome.
  virtual int connect(SOCKET s, const SockAddr& name) = 0;
  virtual int send(SOCKET s, const void* data, int length, int flags) = 0;
  // recv: the bytes read, 0 when the peer has closed its side.
  virtual int recv(SOCKET s, void* buffer, int length, int flags) = 0;
  virtual int sendto(SOCKET s, const void* data, int length, int flags, const SockAddr& to) = 0;
  virtual int recvfrom(SOCKET s, void* buffer, int length, int flags, SockAddr* from) = 0;
  virtual int shutdown(SOCKET s, int how) = 0;
  // closesocket: a call blocked on the socket in another thread ends with an error.
  virtual int closesocket(SOCKET s) = 0;
  virtual int setsockopt(SOCKET s, int level, int optionName, const void* value, int length) = 0;
  virtual int getsockopt(SOCKET s, int level, int optionName, void* value, int* length) = 0;
  virtual int getsockname(SOCKET s, SockAddr* name) = 0;
  virtual int getpeername(SOCKET s, SockAddr* name) = 0;
  virtual int ioctlsocket(SOCKET s, long command, unsigned long* argument) = 0;
  // WSAPoll: the number of entries with events, 0 on time-out (-1 waits without limit).
  virtual int WSAPoll(WsaPollFd* fds, unsigned long count, int timeoutMs) = 0;
};

}  // namespace platform

// Windows Sockets of the simulated machine, on the host's real sockets.
//
// The simulated machine's network is the host's loopback: a wildcard bind (0.0.0.0, ::) listens
// on the loopback address of its family only, and the machine's own computer name resolves to
// the loopback addresses. Sockets are kept in a table of shared objects, so that a socket closed
// while another thread is blocked on it stays valid for that call (which then fails) and its
// descriptor is not reused under it.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstring>
#include <cwctype>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>

#include "platform/sim/areas.h"

// The Winsock values, taken before the host headers: these define macros of the same names.
namespace platform::sim::ws {
constexpr int kAfInet = platform::AF_INET;
constexpr int kAfInet6 = platform::AF_INET6;
constexpr int kAfUnspec = platform::AF_UNSPEC;
constexpr int kSockStream = platform::SOCK_STREAM;
constexpr int kSockDgram = platform::SOCK_DGRAM;
constexpr int kIpprotoTcp = platform::IPPROTO_TCP;
constexpr int kIpprotoUdp = platform::IPPROTO_UDP;
constexpr int kAiPassive = platform::AI_PASSIVE;
constexpr int kAiCanonName = platform::AI_CANONNAME;
constexpr int kAiNumericHost = platform::AI_NUMERICHOST;
constexpr int kSolSocket = platform::SOL_SOCKET;
constexpr int kSoReuseAddr = platform::SO_REUSEADDR;
constexpr int kSoExclusiveAddrUse = platform::SO_EXCLUSIVEADDRUSE;
constexpr int kSoKeepAlive = platform::SO_KEEPALIVE;
constexpr int kSoBroadcast = platform::SO_BROADCAST;
constexpr int kSoSndBuf = platform::SO_SNDBUF;
constexpr int kSoRcvBuf = platform::SO_RCVBUF;
constexpr int kSoSndTimeo = platform::SO_SNDTIMEO;
constexpr int kSoRcvTimeo = platform::SO_RCVTIMEO;
constexpr int kSoError = platform::SO_ERROR;
constexpr int kTcpNoDelay = platform::TCP_NODELAY;
constexpr long kFionbio = platform::FIONBIO;
constexpr long kFionread = platform::FIONREAD;
constexpr int kSdReceive = platform::SD_RECEIVE;
constexpr int kSdSend = platform::SD_SEND;
constexpr int kSdBoth = platform::SD_BOTH;
constexpr int kMsgOob = platform::MSG_OOB;
constexpr int kMsgPeek = platform::MSG_PEEK;
constexpr int kMsgWaitAll = platform::MSG_WAITALL;
constexpr short kPollRdNorm = platform::POLLRDNORM;
constexpr short kPollRdBand = platform::POLLRDBAND;
constexpr short kPollPri = platform::POLLPRI;
constexpr short kPollWrNorm = platform::POLLWRNORM;
constexpr short kPollWrBand = platform::POLLWRBAND;
constexpr short kPollErr = platform::POLLERR;
constexpr short kPollHup = platform::POLLHUP;
constexpr short kPollNval = platform::POLLNVAL;
}  // namespace platform::sim::ws

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace platform::sim {
namespace {

constexpr SOCKET kFirstSocket = 0x100;

DWORD WsaFromErrno(int e) {
  switch (e) {
    case 0:
      return 0;
    case EINTR:
      return WSAEINTR;
    case EBADF:
    case ENOTSOCK:
      return WSAENOTSOCK;
    case EACCES:
    case EPERM:
      return WSAEACCES;
    case EFAULT:
      return WSAEFAULT;
    case EINVAL:
      return WSAEINVAL;
    case EMFILE:
    case ENFILE:
      return WSAEMFILE;
    case EAGAIN:
    case EINPROGRESS:
      return WSAEWOULDBLOCK;
    case EALREADY:
      return WSAEALREADY;
    case EDESTADDRREQ:
      return WSAEDESTADDRREQ;
    case EMSGSIZE:
      return WSAEMSGSIZE;
    case EPROTOTYPE:
      return WSAEPROTOTYPE;
    case ENOPROTOOPT:
      return WSAENOPROTOOPT;
    case EPROTONOSUPPORT:
      return WSAEPROTONOSUPPORT;
    case ESOCKTNOSUPPORT:
      return WSAESOCKTNOSUPPORT;
    case EOPNOTSUPP:
      return WSAEOPNOTSUPP;
    case EAFNOSUPPORT:
      return WSAEAFNOSUPPORT;
    case EADDRINUSE:
      return WSAEADDRINUSE;
    case EADDRNOTAVAIL:
      return WSAEADDRNOTAVAIL;
    case ENETDOWN:
      return WSAENETDOWN;
    case ENETUNREACH:
      return WSAENETUNREACH;
    case ENETRESET:
      return WSAENETRESET;
    case ECONNABORTED:
      return WSAECONNABORTED;
    case ECONNRESET:
    case EPIPE:
      return WSAECONNRESET;
    case ENOBUFS:
    case ENOMEM:
      return WSAENOBUFS;
    case EISCONN:
      return WSAEISCONN;
    case ENOTCONN:
      return WSAENOTCONN;
    case ESHUTDOWN:
      return WSAESHUTDOWN;
    case ETIMEDOUT:
      return WSAETIMEDOUT;
    case ECONNREFUSED:
      return WSAECONNREFUSED;
    case EHOSTUNREACH:
    case EHOSTDOWN:
      return WSAEHOSTUNREACH;
    default:
      return WSAEINVAL;
  }
}

int HostFamily(int af) {
  if (af == ws::kAfInet) return AF_INET;
  if (af == ws::kAfInet6) return AF_INET6;
  if (af == ws::kAfUnspec) return AF_UNSPEC;
  return -1;
}

// A sockaddr of the host from a SockAddr; false for an unknown family.
bool ToHost(const SockAddr& in, sockaddr_storage* out, socklen_t* length) {
  std::memset(out, 0, sizeof(*out));
  if (in.family == ws::kAfInet) {
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_port = htons(in.port);
    std::memcpy(&a->sin_addr, in.address.data(), 4);
    *length = sizeof(sockaddr_in);
    return true;
  }
  if (in.family == ws::kAfInet6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(out);
    a->sin6_family = AF_INET6;
    a->sin6_port = htons(in.port);
    std::memcpy(&a->sin6_addr, in.address.data(), 16);
    a->sin6_scope_id = in.scopeId;
    *length = sizeof(sockaddr_in6);
    return true;
  }
  return false;
}

SockAddr FromHost(const sockaddr* in) {
  SockAddr out;
  if (in->sa_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(in);
    out.family = ws::kAfInet;
    out.port = ntohs(a->sin_port);
    std::memcpy(out.address.data(), &a->sin_addr, 4);
  } else if (in->sa_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(in);
    out.family = ws::kAfInet6;
    out.port = ntohs(a->sin6_port);
    std::memcpy(out.address.data(), &a->sin6_addr, 16);
    out.scopeId = a->sin6_scope_id;
  }
  return out;
}

bool IsWildcard(const SockAddr& a) {
  std::size_t n = a.family == ws::kAfInet ? 4 : 16;
  return std::all_of(a.address.begin(), a.address.begin() + static_cast<long>(n),
                     [](std::uint8_t b) { return b == 0; });
}

int HostFlags(int flags) {
  int host = MSG_NOSIGNAL;
  if (flags & ws::kMsgOob) host |= MSG_OOB;
  if (flags & ws::kMsgPeek) host |= MSG_PEEK;
  if (flags & ws::kMsgWaitAll) host |= MSG_WAITALL;
  return host;
}

short HostPollEvents(short events) {
  short host = 0;
  if (events & (ws::kPollRdNorm | ws::kPollRdBand)) host |= POLLIN;
  if (events & ws::kPollPri) host |= POLLPRI;
  if (events & (ws::kPollWrNorm | ws::kPollWrBand)) host |= POLLOUT;
  return host;
}

short WinsockPollEvents(short host, short requested) {
  short out = 0;
  if (host & POLLIN) out |= requested & (ws::kPollRdNorm | ws::kPollRdBand);
  if (host & POLLPRI) out |= requested & ws::kPollPri;
  if (host & POLLOUT) out |= requested & (ws::kPollWrNorm | ws::kPollWrBand);
  if (host & POLLERR) out |= ws::kPollErr;
  if (host & POLLHUP) out |= ws::kPollHup;
  if (host & POLLNVAL) out |= ws::kPollNval;
  return out;
}

timeval TimevalOf(DWORD ms) {
  timeval tv{};
  tv.tv_sec = static_cast<time_t>(ms / 1000);
  tv.tv_usec = static_cast<suseconds_t>((ms % 1000) * 1000);
  return tv;
}

}  // namespace

// One open socket: the host descriptor, closed with the last reference.
struct SimSockets::SocketObject {
  explicit SocketObject(int f, int t) : fd(f), type(t) {}
  ~SocketObject() { ::close(fd); }
  int fd;
  int type;
  std::atomic<bool> nonBlocking{false};
  std::atomic<bool> sendShut{false};
  std::atomic<DWORD> recvTimeout{0};
  std::atomic<DWORD> sendTimeout{0};
};

SimSockets::SimSockets(Machine& machine) : machine_(machine), next_(kFirstSocket) {}
SimSockets::~SimSockets() = default;

std::shared_ptr<SimSockets::SocketObject> SimSockets::Find(SOCKET s) {
  std::lock_guard<std::mutex> guard(lock_);
  if (started_ == 0) {
    ThreadLastError() = WSANOTINITIALISED;
    return nullptr;
  }
  auto it = table_.find(s);
  if (it == table_.end()) {
    ThreadLastError() = WSAENOTSOCK;
    return nullptr;
  }
  return it->second;
}

bool SimSockets::Started() {
  std::lock_guard<std::mutex> guard(lock_);
  if (started_ == 0) {
    ThreadLastError() = WSANOTINITIALISED;
    return false;
  }
  return true;
}

SOCKET SimSockets::Add(int fd, int type) {
  auto object = std::make_shared<SocketObject>(fd, type);
  std::lock_guard<std::mutex> guard(lock_);
  SOCKET s = next_;
  next_ += 4;
  table_.emplace(s, std::move(object));
  return s;
}

int SimSockets::WSAStartup(std::uint16_t versionRequested, WsaData* data) {
  if ((versionRequested & 0xFF) < 1) return static_cast<int>(WSAVERNOTSUPPORTED);
  if (data == nullptr) return static_cast<int>(WSAEFAULT);
  std::lock_guard<std::mutex> guard(lock_);
  ++started_;
  data->wVersion = std::min<std::uint16_t>(versionRequested, WINSOCK_VERSION_2_2);
  data->wHighVersion = WINSOCK_VERSION_2_2;
  data->szDescription = "WinSock 2.0";
  data->szSystemStatus = "Running";
  return 0;
}

int SimSockets::WSACleanup() {
  std::lock_guard<std::mutex> guard(lock_);
  if (started_ == 0) return Fail(WSANOTINITIALISED, SOCKET_ERROR);
  if (--started_ == 0) {
    for (auto& [s, object] : table_) ::shutdown(object->fd, SHUT_RDWR);
    table_.clear();
  }
  return 0;
}

int SimSockets::WSAGetLastError() {
  return static_cast<int>(ThreadLastError());
}

void SimSockets::WSASetLastError(int error) {
  ThreadLastError() = static_cast<DWORD>(error);
}

namespace {

// The address the machine's hosts file gives a name ("" when it lists none): lines of an
// address and its names, "#" starting a comment. Only the file's first megabyte is read.
std::string HostsAddress(const std::filesystem::path& machine, const std::string& name) {
  if (name.empty()) return {};
  std::ifstream file(machine / "Windows" / "System32" / "drivers" / "etc" / "hosts",
                     std::ios::binary);
  if (!file) return {};
  std::string text(1 << 20, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  auto lower = [](std::string s) {
    for (auto& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  std::string wanted = lower(name);
  std::istringstream lines(text);
  for (std::string line; std::getline(lines, line);) {
    line = line.substr(0, line.find('#'));
    std::istringstream words(line);
    std::string address, word;
    if (!(words >> address)) continue;
    while (words >> word)
      if (lower(word) == wanted) return address;
  }
  return {};
}

}  // namespace

int SimSockets::GetAddrInfoW(const std::wstring& nodeName, const std::wstring& serviceName,
                             const AddrInfoW* hints, std::vector<AddrInfoW>* result) {
  if (result == nullptr) return static_cast<int>(Fail(WSAEFAULT, WSAEFAULT));
  result->clear();
  if (!Started()) return static_cast<int>(WSANOTINITIALISED);
  addrinfo hostHints{};
  int flags = hints != nullptr ? hints->ai_flags : 0;
  if (hints != nullptr) {
    hostHints.ai_family = HostFamily(hints->ai_family);
    if (hostHints.ai_family < 0) return static_cast<int>(Fail(WSAEAFNOSUPPORT, WSAEAFNOSUPPORT));
    hostHints.ai_socktype = hints->ai_socktype == ws::kSockStream  ? SOCK_STREAM
                            : hints->ai_socktype == ws::kSockDgram ? SOCK_DGRAM
                                                                   : 0;
    hostHints.ai_protocol = hints->ai_protocol == ws::kIpprotoTcp   ? IPPROTO_TCP
                            : hints->ai_protocol == ws::kIpprotoUdp ? IPPROTO_UDP
                                                                    : 0;
  }
  if (flags & ws::kAiPassive) hostHints.ai_flags |= AI_PASSIVE;
  if (flags & ws::kAiCanonName) hostHints.ai_flags |= AI_CANONNAME;
  if (flags & ws::kAiNumericHost) hostHints.ai_flags |= AI_NUMERICHOST;

  std::string node = Utf8FromWide(nodeName);
  // The machine's own name is the loopback host.
  std::wstring upper = nodeName;
  for (auto& c : upper) c = static_cast<wchar_t>(std::towupper(c));
  std::wstring self = machine_.ComputerName();
  for (auto& c : self) c = static_cast<wchar_t>(std::towupper(c));
  if (!nodeName.empty() && upper == self) node = "localhost";
  // Then the machine's own names, as Windows reads them before asking the network.
  std::string listed = HostsAddress(machine_.Folder(), node);
  if (!listed.empty()) {
    node = listed;
    hostHints.ai_flags |= AI_NUMERICHOST;
  }
  std::string service = Utf8FromWide(serviceName);
  addrinfo* list = nullptr;
  int rc = ::getaddrinfo(node.empty() ? nullptr : node.c_str(),
                         service.empty() ? nullptr : service.c_str(), &hostHints, &list);
  if (rc != 0) {
    DWORD code;
    switch (rc) {
      case EAI_AGAIN:
        code = WSATRY_AGAIN;
        break;
      case EAI_FAIL:
        code = WSANO_RECOVERY;
        break;
      case EAI_FAMILY:
        code = WSAEAFNOSUPPORT;
        break;
      case EAI_MEMORY:
        code = WSA_NOT_ENOUGH_MEMORY;
        break;
      case EAI_SERVICE:
        code = WSATYPE_NOT_FOUND;
        break;
      case EAI_SOCKTYPE:
        code = WSAESOCKTNOSUPPORT;
        break;
      case EAI_BADFLAGS:
        code = WSAEINVAL;
        break;
#ifdef EAI_NODATA
      case EAI_NODATA:
        code = WSANO_DATA;
        break;
#endif
      default:
        code = WSAHOST_NOT_FOUND;
        break;
    }
    return static_cast<int>(Fail(code, code));
  }
  for (addrinfo* p = list; p != nullptr; p = p->ai_next) {
    if (p->ai_family != AF_INET && p->ai_family != AF_INET6) continue;
    AddrInfoW entry;
    entry.ai_flags = flags;
    entry.ai_family = p->ai_family == AF_INET ? ws::kAfInet : ws::kAfInet6;
    entry.ai_socktype = p->ai_socktype == SOCK_STREAM  ? ws::kSockStream
                        : p->ai_socktype == SOCK_DGRAM ? ws::kSockDgram
                                                       : 0;
    entry.ai_protocol = p->ai_protocol == IPPROTO_TCP   ? ws::kIpprotoTcp
                        : p->ai_protocol == IPPROTO_UDP ? ws::kIpprotoUdp
                                                        : 0;
    if (p->ai_canonname != nullptr) entry.ai_canonname = WideFromUtf8(p->ai_canonname);
    entry.ai_addr = FromHost(p->ai_addr);
    result->push_back(std::move(entry));
  }
  ::freeaddrinfo(list);
  if (result->empty()) return static_cast<int>(Fail(WSAHOST_NOT_FOUND, WSAHOST_NOT_FOUND));
  return 0;
}

std::wstring SimSockets::AddressToString(const SockAddr& address) {
  char text[INET6_ADDRSTRLEN] = {};
  int family = address.family == ws::kAfInet6 ? AF_INET6 : AF_INET;
  if (::inet_ntop(family, address.address.data(), text, sizeof(text)) == nullptr)
    return std::wstring();
  return WideFromUtf8(text);
}

SOCKET SimSockets::socket(int af, int type, int protocol) {
  if (!Started()) return INVALID_SOCKET;
  int family = HostFamily(af);
  if (family <= 0) return Fail(WSAEAFNOSUPPORT, INVALID_SOCKET);
  int hostType;
  if (type == ws::kSockStream)
    hostType = SOCK_STREAM;
  else if (type == ws::kSockDgram)
    hostType = SOCK_DGRAM;
  else
    return Fail(WSAESOCKTNOSUPPORT, INVALID_SOCKET);
  int hostProtocol = 0;
  if (protocol == ws::kIpprotoTcp)
    hostProtocol = IPPROTO_TCP;
  else if (protocol == ws::kIpprotoUdp)
    hostProtocol = IPPROTO_UDP;
  else if (protocol != 0)
    return Fail(WSAEPROTONOSUPPORT, INVALID_SOCKET);
  int fd = ::socket(family, hostType | SOCK_CLOEXEC, hostProtocol);
  if (fd < 0) return Fail(WsaFromErrno(errno), INVALID_SOCKET);
  if (family == AF_INET6) {
    int on = 1;  // one family per socket, as on Windows
    ::setsockopt(fd, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on));
  }
  return Add(fd, hostType);
}

int SimSockets::bind(SOCKET s, const SockAddr& name) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  SockAddr local = name;
  if (IsWildcard(local)) {
    // The machine's network is the host's loopback.
    local.address = {};
    if (local.family == ws::kAfInet) {
      local.address[0] = 127;
      local.address[3] = 1;
    } else {
      local.address[15] = 1;
    }
  }
  sockaddr_storage address;
  socklen_t length;
  if (!ToHost(local, &address, &length)) return Fail(WSAEAFNOSUPPORT, SOCKET_ERROR);
  if (object->type == SOCK_STREAM) {
    // A Windows listener may take a port whose old connections linger in TIME_WAIT.
    int on = 1;
    ::setsockopt(object->fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on));
  }
  if (::bind(object->fd, reinterpret_cast<sockaddr*>(&address), length) != 0)
    return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  return 0;
}

int SimSockets::listen(SOCKET s, int backlog) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (::listen(object->fd, backlog) != 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  return 0;
}

SOCKET SimSockets::accept(SOCKET s, SockAddr* peer) {
  auto object = Find(s);
  if (!object) return INVALID_SOCKET;
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  int fd;
  do {
    fd = ::accept4(object->fd, reinterpret_cast<sockaddr*>(&address), &length, SOCK_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    int e = errno;
    // A listener shut down by closesocket in another thread.
    return Fail(e == EINVAL ? WSAEINTR : WsaFromErrno(e), INVALID_SOCKET);
  }
  if (peer != nullptr) *peer = FromHost(reinterpret_cast<sockaddr*>(&address));
  return Add(fd, SOCK_STREAM);
}

int SimSockets::connect(SOCKET s, const SockAddr& name) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  sockaddr_storage address;
  socklen_t length;
  if (!ToHost(name, &address, &length)) return Fail(WSAEAFNOSUPPORT, SOCKET_ERROR);
  if (::connect(object->fd, reinterpret_cast<sockaddr*>(&address), length) == 0) return 0;
  int e = errno;
  if (e == EINTR && !object->nonBlocking) {
    // The connection goes on; wait for its outcome as a blocking connect would.
    pollfd p{object->fd, POLLOUT, 0};
    while (::poll(&p, 1, -1) < 0 && errno == EINTR) {
    }
    int error = 0;
    socklen_t len = sizeof(error);
    ::getsockopt(object->fd, SOL_SOCKET, SO_ERROR, &error, &len);
    if (error == 0) return 0;
    e = error;
  }
  return Fail(WsaFromErrno(e), SOCKET_ERROR);
}

int SimSockets::send(SOCKET s, const void* data, int length, int flags) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (length < 0) return Fail(WSAEINVAL, SOCKET_ERROR);
  ssize_t n;
  do {
    n = ::send(object->fd, data, static_cast<std::size_t>(length), HostFlags(flags));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int e = errno;
    if (e == EPIPE && object->sendShut) return Fail(WSAESHUTDOWN, SOCKET_ERROR);
    if ((e == EAGAIN || e == EWOULDBLOCK) && !object->nonBlocking)
      return Fail(WSAETIMEDOUT, SOCKET_ERROR);
    return Fail(WsaFromErrno(e), SOCKET_ERROR);
  }
  return static_cast<int>(n);
}

int SimSockets::recv(SOCKET s, void* buffer, int length, int flags) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (length < 0) return Fail(WSAEINVAL, SOCKET_ERROR);
  ssize_t n;
  do {
    n = ::recv(object->fd, buffer, static_cast<std::size_t>(length), HostFlags(flags));
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int e = errno;
    if ((e == EAGAIN || e == EWOULDBLOCK) && !object->nonBlocking)
      return Fail(WSAETIMEDOUT, SOCKET_ERROR);
    return Fail(WsaFromErrno(e), SOCKET_ERROR);
  }
  return static_cast<int>(n);
}

int SimSockets::sendto(SOCKET s, const void* data, int length, int flags, const SockAddr& to) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (length < 0) return Fail(WSAEINVAL, SOCKET_ERROR);
  sockaddr_storage address;
  socklen_t addressLength;
  if (!ToHost(to, &address, &addressLength)) return Fail(WSAEAFNOSUPPORT, SOCKET_ERROR);
  ssize_t n;
  do {
    n = ::sendto(object->fd, data, static_cast<std::size_t>(length), HostFlags(flags),
                 reinterpret_cast<sockaddr*>(&address), addressLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  return static_cast<int>(n);
}

int SimSockets::recvfrom(SOCKET s, void* buffer, int length, int flags, SockAddr* from) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (length < 0) return Fail(WSAEINVAL, SOCKET_ERROR);
  sockaddr_storage address{};
  socklen_t addressLength = sizeof(address);
  ssize_t n;
  do {
    n = ::recvfrom(object->fd, buffer, static_cast<std::size_t>(length),
                   HostFlags(flags) | MSG_TRUNC, reinterpret_cast<sockaddr*>(&address),
                   &addressLength);
  } while (n < 0 && errno == EINTR);
  if (n < 0) {
    int e = errno;
    if ((e == EAGAIN || e == EWOULDBLOCK) && !object->nonBlocking)
      return Fail(WSAETIMEDOUT, SOCKET_ERROR);
    return Fail(WsaFromErrno(e), SOCKET_ERROR);
  }
  if (from != nullptr) *from = FromHost(reinterpret_cast<sockaddr*>(&address));
  if (object->type == SOCK_DGRAM && n > length)
    return Fail(WSAEMSGSIZE, SOCKET_ERROR);  // the datagram was cut to the buffer
  return static_cast<int>(n);
}

int SimSockets::shutdown(SOCKET s, int how) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  int hostHow;
  if (how == ws::kSdReceive)
    hostHow = SHUT_RD;
  else if (how == ws::kSdSend)
    hostHow = SHUT_WR;
  else if (how == ws::kSdBoth)
    hostHow = SHUT_RDWR;
  else
    return Fail(WSAEINVAL, SOCKET_ERROR);
  if (::shutdown(object->fd, hostHow) != 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  if (how != ws::kSdReceive) object->sendShut = true;
  return 0;
}

int SimSockets::closesocket(SOCKET s) {
  std::shared_ptr<SocketObject> object;
  {
    std::lock_guard<std::mutex> guard(lock_);
    if (started_ == 0) return Fail(WSANOTINITIALISED, SOCKET_ERROR);
    auto it = table_.find(s);
    if (it == table_.end()) return Fail(WSAENOTSOCK, SOCKET_ERROR);
    object = std::move(it->second);
    table_.erase(it);
  }
  if (object.use_count() > 1) {
    // Another thread is in a call on the socket: end that call as Windows does.
    ::shutdown(object->fd, SHUT_RDWR);
  }
  return 0;
}

int SimSockets::setsockopt(SOCKET s, int level, int optionName, const void* value, int length) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (value == nullptr || length < 1) return Fail(WSAEFAULT, SOCKET_ERROR);
  auto intValue = [&]() -> int {
    if (length >= static_cast<int>(sizeof(int))) {
      int v;
      std::memcpy(&v, value, sizeof(v));
      return v;
    }
    return *static_cast<const unsigned char*>(value);  // a BOOL given as one byte
  };
  int rc = 0;
  if (level == ws::kSolSocket) {
    if (optionName == ws::kSoReuseAddr || optionName == ws::kSoExclusiveAddrUse) {
      // Ports are not shared between live sockets on this machine; the options are accepted.
      return 0;
    }
    if (optionName == ws::kSoRcvTimeo || optionName == ws::kSoSndTimeo) {
      if (length < static_cast<int>(sizeof(DWORD))) return Fail(WSAEFAULT, SOCKET_ERROR);
      DWORD ms;
      std::memcpy(&ms, value, sizeof(ms));
      timeval tv = TimevalOf(ms);
      bool receive = optionName == ws::kSoRcvTimeo;
      rc = ::setsockopt(object->fd, SOL_SOCKET, receive ? SO_RCVTIMEO : SO_SNDTIMEO, &tv,
                        sizeof(tv));
      if (rc == 0) (receive ? object->recvTimeout : object->sendTimeout) = ms;
    } else {
      int hostName;
      if (optionName == ws::kSoKeepAlive)
        hostName = SO_KEEPALIVE;
      else if (optionName == ws::kSoBroadcast)
        hostName = SO_BROADCAST;
      else if (optionName == ws::kSoSndBuf)
        hostName = SO_SNDBUF;
      else if (optionName == ws::kSoRcvBuf)
        hostName = SO_RCVBUF;
      else
        return Fail(WSAENOPROTOOPT, SOCKET_ERROR);
      int v = intValue();
      rc = ::setsockopt(object->fd, SOL_SOCKET, hostName, &v, sizeof(v));
    }
  } else if (level == ws::kIpprotoTcp && optionName == ws::kTcpNoDelay) {
    int v = intValue() != 0 ? 1 : 0;
    rc = ::setsockopt(object->fd, IPPROTO_TCP, TCP_NODELAY, &v, sizeof(v));
  } else {
    return Fail(WSAENOPROTOOPT, SOCKET_ERROR);
  }
  if (rc != 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  return 0;
}

int SimSockets::getsockopt(SOCKET s, int level, int optionName, void* value, int* length) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (value == nullptr || length == nullptr || *length < static_cast<int>(sizeof(int)))
    return Fail(WSAEFAULT, SOCKET_ERROR);
  int v = 0;
  socklen_t len = sizeof(v);
  int rc = 0;
  if (level == ws::kSolSocket && optionName == ws::kSoError) {
    rc = ::getsockopt(object->fd, SOL_SOCKET, SO_ERROR, &v, &len);
    v = static_cast<int>(WsaFromErrno(v));
  } else if (level == ws::kSolSocket &&
             (optionName == ws::kSoRcvTimeo || optionName == ws::kSoSndTimeo)) {
    v = static_cast<int>(optionName == ws::kSoRcvTimeo ? object->recvTimeout.load()
                                                       : object->sendTimeout.load());
  } else if (level == ws::kSolSocket && optionName == ws::kSoKeepAlive) {
    rc = ::getsockopt(object->fd, SOL_SOCKET, SO_KEEPALIVE, &v, &len);
  } else if (level == ws::kSolSocket && optionName == ws::kSoSndBuf) {
    rc = ::getsockopt(object->fd, SOL_SOCKET, SO_SNDBUF, &v, &len);
  } else if (level == ws::kSolSocket && optionName == ws::kSoRcvBuf) {
    rc = ::getsockopt(object->fd, SOL_SOCKET, SO_RCVBUF, &v, &len);
  } else if (level == ws::kIpprotoTcp && optionName == ws::kTcpNoDelay) {
    rc = ::getsockopt(object->fd, IPPROTO_TCP, TCP_NODELAY, &v, &len);
  } else {
    return Fail(WSAENOPROTOOPT, SOCKET_ERROR);
  }
  if (rc != 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  std::memcpy(value, &v, sizeof(v));
  *length = sizeof(v);
  return 0;
}

int SimSockets::getsockname(SOCKET s, SockAddr* name) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (name == nullptr) return Fail(WSAEFAULT, SOCKET_ERROR);
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getsockname(object->fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  *name = FromHost(reinterpret_cast<sockaddr*>(&address));
  if (name->family == ws::kAfUnspec) return Fail(WSAEINVAL, SOCKET_ERROR);  // not bound
  return 0;
}

int SimSockets::getpeername(SOCKET s, SockAddr* name) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (name == nullptr) return Fail(WSAEFAULT, SOCKET_ERROR);
  sockaddr_storage address{};
  socklen_t length = sizeof(address);
  if (::getpeername(object->fd, reinterpret_cast<sockaddr*>(&address), &length) != 0)
    return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  *name = FromHost(reinterpret_cast<sockaddr*>(&address));
  return 0;
}

int SimSockets::ioctlsocket(SOCKET s, long command, unsigned long* argument) {
  auto object = Find(s);
  if (!object) return SOCKET_ERROR;
  if (argument == nullptr) return Fail(WSAEFAULT, SOCKET_ERROR);
  if (command == ws::kFionbio) {
    int flags = ::fcntl(object->fd, F_GETFL);
    if (flags < 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
    bool on = *argument != 0;
    flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    if (::fcntl(object->fd, F_SETFL, flags) != 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
    object->nonBlocking = on;
    return 0;
  }
  if (command == ws::kFionread) {
    int available = 0;
    if (::ioctl(object->fd, FIONREAD, &available) != 0)
      return Fail(WsaFromErrno(errno), SOCKET_ERROR);
    *argument = static_cast<unsigned long>(available);
    return 0;
  }
  return Fail(WSAEINVAL, SOCKET_ERROR);
}

int SimSockets::WSAPoll(WsaPollFd* fds, unsigned long count, int timeoutMs) {
  if (!Started()) return SOCKET_ERROR;
  if (fds == nullptr || count == 0) return Fail(WSAEINVAL, SOCKET_ERROR);
  std::vector<std::shared_ptr<SocketObject>> objects(count);
  std::vector<pollfd> host(count);
  int invalid = 0;
  {
    std::lock_guard<std::mutex> guard(lock_);
    for (unsigned long i = 0; i < count; ++i) {
      auto it = table_.find(fds[i].fd);
      host[i].revents = 0;
      if (it == table_.end()) {
        host[i].fd = -1;  // ignored by poll; reported as POLLNVAL
        ++invalid;
        continue;
      }
      objects[i] = it->second;
      host[i].fd = it->second->fd;
      host[i].events = HostPollEvents(fds[i].events);
    }
  }
  int n = 0;
  if (invalid > 0) {
    timeoutMs = 0;  // answer at once, as the invalid entries are events themselves
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    n = ::poll(host.data(), count, timeoutMs);
    if (n >= 0 || errno != EINTR) break;
    if (timeoutMs >= 0) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      timeoutMs = static_cast<int>(std::max<long long>(0, left.count()));
    }
  }
  if (n < 0) return Fail(WsaFromErrno(errno), SOCKET_ERROR);
  int ready = 0;
  for (unsigned long i = 0; i < count; ++i) {
    if (!objects[i]) {
      fds[i].revents = ws::kPollNval;
    } else {
      fds[i].revents = WinsockPollEvents(host[i].revents, fds[i].events);
    }
    if (fds[i].revents != 0) ++ready;
  }
  return ready;
}

}  // namespace platform::sim

#include "shared/rpc/transport.h"

#include <algorithm>
#include <cstring>

#include "platform/platform.h"

namespace rpc::transport {

using namespace platform;

namespace {

constexpr std::size_t kBufferSize = 64 * 1024;
constexpr int kStopSliceMs = 200;  // how often a blocked read looks at its stop flag

}  // namespace

int Deadline::PollTimeout(int slice) const {
  if (!at_) return slice;
  auto left =
      std::chrono::duration_cast<std::chrono::milliseconds>(*at_ - Clock::now()).count() + 1;
  if (left < 0) left = 0;
  if (slice >= 0 && left > slice) return slice;
  return static_cast<int>(std::min<long long>(left, 0x7FFFFFFF));
}

Deadline Deadline::Min(const Deadline& other) const {
  if (!at_) return other;
  if (!other.at_) return *this;
  return *at_ <= *other.at_ ? *this : other;
}

WinsockUse::WinsockUse() {
  WsaData data;
  ok_ = sockets().WSAStartup(WINSOCK_VERSION_2_2, &data) == 0;
}

WinsockUse::~WinsockUse() {
  if (ok_) sockets().WSACleanup();
}

Stream::Stream(SOCKET socket) : socket_(socket), buffer_(kBufferSize) {
  unsigned long on = 1;
  sockets().ioctlsocket(socket_, FIONBIO, &on);
  int noDelay = 1;
  sockets().setsockopt(socket_, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof(noDelay));
}

Stream::~Stream() {
  sockets().closesocket(socket_);
}

RPC_STATUS Stream::Connect(const std::wstring& host, std::uint16_t port,
                           std::chrono::milliseconds timeout, std::unique_ptr<Stream>* out,
                           const std::wstring& source) {
  WinsockUse winsock;
  if (!winsock.Ok()) return RPC_S_OUT_OF_RESOURCES;
  Deadline deadline = Deadline::After(timeout);
  AddrInfoW hints;
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_protocol = IPPROTO_TCP;
  std::vector<AddrInfoW> addresses;
  if (sockets().GetAddrInfoW(host.empty() ? L"localhost" : host, std::to_wstring(port), &hints,
                             &addresses) != 0) {
    return RPC_S_SERVER_UNAVAILABLE;
  }
  std::vector<AddrInfoW> sources;
  if (!source.empty()) {
    hints.ai_flags = AI_NUMERICHOST;
    if (sockets().GetAddrInfoW(source, L"0", &hints, &sources) != 0)
      return RPC_S_SERVER_UNAVAILABLE;
  }
  for (const auto& a : addresses) {
    if (deadline.Passed()) break;
    const AddrInfoW* from = nullptr;
    for (const auto& candidate : sources) {
      if (candidate.ai_family == a.ai_family) from = &candidate;
    }
    if (!source.empty() && from == nullptr) continue;
    SOCKET s = sockets().socket(a.ai_family, SOCK_STREAM, IPPROTO_TCP);
    if (s == INVALID_SOCKET) continue;
    if (from != nullptr && sockets().bind(s, from->ai_addr) != 0) {
      sockets().closesocket(s);
      continue;
    }
    unsigned long on = 1;
    sockets().ioctlsocket(s, FIONBIO, &on);
    bool connected = sockets().connect(s, a.ai_addr) == 0;
    if (!connected && static_cast<DWORD>(sockets().WSAGetLastError()) == WSAEWOULDBLOCK) {
      WsaPollFd p{s, POLLOUT, 0};
      int ready = sockets().WSAPoll(&p, 1, deadline.PollTimeout(-1));
      if (ready == 1) {
        int error = 0;
        int length = sizeof(error);
        connected =
            sockets().getsockopt(s, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
      }
    }
    if (connected) {
      int keepAlive = 1;
      sockets().setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, &keepAlive, sizeof(keepAlive));
      *out = std::make_unique<Stream>(s);
      return RPC_S_OK;
    }
    sockets().closesocket(s);
  }
  return RPC_S_SERVER_UNAVAILABLE;
}

Io Stream::Wait(short events, const Deadline& deadline, const std::atomic<bool>* stop) {
  for (;;) {
    if (stop != nullptr && stop->load()) return Io::kStopped;
    if (deadline.Passed()) return Io::kTimeout;
    WsaPollFd p{socket_, events, 0};
    int ready = sockets().WSAPoll(&p, 1, deadline.PollTimeout(stop != nullptr ? kStopSliceMs : -1));
    if (ready < 0) return Io::kClosed;
    if (ready > 0) {
      if (p.revents & POLLNVAL) return Io::kClosed;
      return Io::kOk;  // readable, writable, or an error that the next call reports
    }
  }
}

Io Stream::Send(std::span<const std::uint8_t> bytes, const Deadline& deadline,
                const std::atomic<bool>* stop) {
  std::size_t sent = 0;
  while (sent < bytes.size()) {
    std::size_t chunk = std::min<std::size_t>(bytes.size() - sent, 1 << 20);
    int n = sockets().send(socket_, bytes.data() + sent, static_cast<int>(chunk), 0);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && static_cast<DWORD>(sockets().WSAGetLastError()) == WSAEWOULDBLOCK) {
      Io waited = Wait(POLLOUT, deadline, stop);
      if (waited != Io::kOk) return waited;
      continue;
    }
    return Io::kClosed;
  }
  return Io::kOk;
}

Io Stream::Fill(const Deadline& deadline, const std::atomic<bool>* stop) {
  if (begin_ > 0 && begin_ == end_) {
    begin_ = end_ = 0;
  }
  if (end_ == buffer_.size()) {
    std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
    end_ -= begin_;
    begin_ = 0;
  }
  for (;;) {
    int n =
        sockets().recv(socket_, buffer_.data() + end_, static_cast<int>(buffer_.size() - end_), 0);
    if (n > 0) {
      end_ += static_cast<std::size_t>(n);
      return Io::kOk;
    }
    if (n == 0) return Io::kClosed;
    if (static_cast<DWORD>(sockets().WSAGetLastError()) != WSAEWOULDBLOCK) return Io::kClosed;
    Io waited = Wait(POLLIN, deadline, stop);
    if (waited != Io::kOk) return waited;
  }
}

Io Stream::ReadFragment(std::vector<std::uint8_t>& fragment, std::size_t maxFragment,
                        const Deadline& deadline, const std::atomic<bool>* stop,
                        std::optional<std::chrono::milliseconds> partialTime) {
  Deadline until = deadline;
  bool started = false;
  auto start = [&] {
    if (!started && end_ > begin_ && partialTime)
      until = deadline.Min(Deadline::After(*partialTime));
    started = started || end_ > begin_;
  };
  start();
  while (end_ - begin_ < pdu::kHeaderSize) {
    Io io = Fill(until, stop);
    if (io != Io::kOk) return io;
    start();
  }
  pdu::Header h = pdu::ParseHeader(std::span(buffer_.data() + begin_, pdu::kHeaderSize));
  std::size_t length = h.fragLength;
  if (length < pdu::kHeaderSize || length > maxFragment) {
    fragment.assign(buffer_.begin() + static_cast<long>(begin_),
                    buffer_.begin() + static_cast<long>(begin_ + pdu::kHeaderSize));
    return Io::kMalformed;
  }
  fragment.resize(length);
  std::size_t have = 0;
  while (have < length) {
    if (begin_ == end_) {
      Io io = Fill(until, stop);
      if (io != Io::kOk) return io;
    }
    std::size_t n = std::min(length - have, end_ - begin_);
    std::memcpy(fragment.data() + have, buffer_.data() + begin_, n);
    begin_ += n;
    have += n;
  }
  return Io::kOk;
}

bool Stream::Stale() {
  if (end_ > begin_) return true;  // bytes that no call asked for
  WsaPollFd p{socket_, POLLIN, 0};
  int ready = sockets().WSAPoll(&p, 1, 0);
  return ready != 0;  // readable while idle: closed, reset, or unasked data
}

void Stream::Abort() {
  sockets().shutdown(socket_, SD_BOTH);
}

std::wstring Stream::PeerAddress() {
  SockAddr peer;
  if (sockets().getpeername(socket_, &peer) != 0) return std::wstring();
  return sockets().AddressToString(peer);
}

}  // namespace rpc::transport

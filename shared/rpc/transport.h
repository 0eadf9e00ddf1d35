// The TCP byte stream under the protocol: connecting with a time-out, sending, and reading
// whole fragments with a bound on their size, a deadline and a stop flag. Everything goes
// through the platform's sockets.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "platform/sockets.h"
#include "shared/rpc/pdu.h"
#include "shared/rpc/status.h"

namespace rpc::transport {

using Clock = std::chrono::steady_clock;

class Deadline {
 public:
  static Deadline Never() { return Deadline(); }
  static Deadline After(std::chrono::milliseconds ms) { return Deadline(Clock::now() + ms); }
  static Deadline At(Clock::time_point at) { return Deadline(at); }
  bool Passed() const { return at_ && Clock::now() >= *at_; }
  // The poll time-out until the deadline, at most `slice` ms when slice >= 0 (-1: none).
  int PollTimeout(int slice) const;
  // The earlier of the two.
  Deadline Min(const Deadline& other) const;

 private:
  Deadline() = default;
  explicit Deadline(Clock::time_point at) : at_(at) {}
  std::optional<Clock::time_point> at_;
};

// Holds one WSAStartup of the installed platform for its lifetime.
class WinsockUse {
 public:
  WinsockUse();
  ~WinsockUse();
  WinsockUse(const WinsockUse&) = delete;
  WinsockUse& operator=(const WinsockUse&) = delete;
  bool Ok() const { return ok_; }

 private:
  bool ok_;
};

enum class Io {
  kOk,
  kClosed,     // the peer closed the connection (or reset it)
  kTimeout,    // the deadline passed
  kStopped,    // the stop flag was raised
  kMalformed,  // a fragment length below the header or above the bound
};

class Stream {
 public:
  // Takes a connected socket.
  explicit Stream(platform::SOCKET socket);
  ~Stream();
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Connects to host:port within `timeout`: RPC_S_OK, or RPC_S_SERVER_UNAVAILABLE when the
  // name does not resolve, nobody listens or the time runs out. The connection has TCP
  // keep-alive, so that a call on a host that vanished ends instead of waiting for ever.
  // With a `source` address the connection leaves from it (RPC_S_SERVER_UNAVAILABLE when
  // this machine has no such address).
  static RPC_STATUS Connect(const std::wstring& host, std::uint16_t port,
                            std::chrono::milliseconds timeout, std::unique_ptr<Stream>* out,
                            const std::wstring& source = std::wstring());

  Io Send(std::span<const std::uint8_t> bytes, const Deadline& deadline,
          const std::atomic<bool>* stop = nullptr);
  // One whole fragment (header and body) into `fragment`. kMalformed leaves the header's 16
  // bytes in `fragment`. With `partialTime`, a fragment whose first byte has come must be
  // whole within that time as well (kTimeout otherwise).
  Io ReadFragment(std::vector<std::uint8_t>& fragment, std::size_t maxFragment,
                  const Deadline& deadline, const std::atomic<bool>* stop = nullptr,
                  std::optional<std::chrono::milliseconds> partialTime = std::nullopt);
  // True when the peer has closed or reset the connection while it sat unused, or sent
  // something no call asked for.
  bool Stale();
  // Ends the connection in both directions (a blocked call on it returns).
  void Abort();
  std::wstring PeerAddress();

 private:
  Io Fill(const Deadline& deadline, const std::atomic<bool>* stop);
  Io Wait(short events, const Deadline& deadline, const std::atomic<bool>* stop);

  WinsockUse winsock_;
  platform::SOCKET socket_;
  std::vector<std::uint8_t> buffer_;
  std::size_t begin_ = 0;
  std::size_t end_ = 0;
};

}  // namespace rpc::transport

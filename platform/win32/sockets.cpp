// Winsock. The platform's headers come before <winsock2.h>, whose macros share their names.
#include "platform/sockets.h"
#include "platform/platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>

#include <cstring>

#include "platform/win32/win32.h"

namespace platform::win32 {
namespace {

bool ToNative(const SockAddr& in, sockaddr_storage* out, int* length) {
  std::memset(out, 0, sizeof *out);
  if (in.family == AF_INET) {
    auto* a = reinterpret_cast<sockaddr_in*>(out);
    a->sin_family = AF_INET;
    a->sin_port = htons(in.port);
    std::memcpy(&a->sin_addr, in.address.data(), 4);
    *length = sizeof(sockaddr_in);
    return true;
  }
  if (in.family == AF_INET6) {
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

SockAddr FromNative(const sockaddr* in) {
  SockAddr out;
  if (in->sa_family == AF_INET) {
    auto* a = reinterpret_cast<const sockaddr_in*>(in);
    out.family = AF_INET;
    out.port = ntohs(a->sin_port);
    std::memcpy(out.address.data(), &a->sin_addr, 4);
  } else if (in->sa_family == AF_INET6) {
    auto* a = reinterpret_cast<const sockaddr_in6*>(in);
    out.family = AF_INET6;
    out.port = ntohs(a->sin6_port);
    std::memcpy(out.address.data(), &a->sin6_addr, 16);
    out.scopeId = a->sin6_scope_id;
  }
  return out;
}

::SOCKET Native(platform::SOCKET s) {
  return static_cast<::SOCKET>(s);
}

}  // namespace

int Win32Sockets::WSAStartup(std::uint16_t versionRequested, WsaData* data) {
  ::WSADATA native{};
  int rc = ::WSAStartup(versionRequested, &native);
  if (rc == 0 && data != nullptr) {
    data->wVersion = native.wVersion;
    data->wHighVersion = native.wHighVersion;
    data->szDescription = native.szDescription;
    data->szSystemStatus = native.szSystemStatus;
  }
  return rc;
}

int Win32Sockets::WSACleanup() {
  return ::WSACleanup();
}
int Win32Sockets::WSAGetLastError() {
  return ::WSAGetLastError();
}
void Win32Sockets::WSASetLastError(int error) {
  ::WSASetLastError(error);
}

int Win32Sockets::GetAddrInfoW(const std::wstring& nodeName, const std::wstring& serviceName,
                               const AddrInfoW* hints, std::vector<AddrInfoW>* result) {
  ::ADDRINFOW h{};
  if (hints != nullptr) {
    h.ai_flags = hints->ai_flags;
    h.ai_family = hints->ai_family;
    h.ai_socktype = hints->ai_socktype;
    h.ai_protocol = hints->ai_protocol;
  }
  if (result != nullptr) result->clear();
  ::ADDRINFOW* list = nullptr;
  int rc = ::GetAddrInfoW(nodeName.empty() ? nullptr : nodeName.c_str(),
                          serviceName.empty() ? nullptr : serviceName.c_str(),
                          hints != nullptr ? &h : nullptr, &list);
  if (rc != 0) {
    ::WSASetLastError(rc);
    return rc;
  }
  if (result != nullptr) {
    result->clear();
    for (::ADDRINFOW* p = list; p != nullptr; p = p->ai_next) {
      if (p->ai_addr == nullptr) continue;
      AddrInfoW entry;
      entry.ai_flags = p->ai_flags;
      entry.ai_family = p->ai_family;
      entry.ai_socktype = p->ai_socktype;
      entry.ai_protocol = p->ai_protocol;
      if (p->ai_canonname != nullptr) entry.ai_canonname = p->ai_canonname;
      entry.ai_addr = FromNative(p->ai_addr);
      result->push_back(entry);
    }
  }
  ::FreeAddrInfoW(list);
  return 0;
}

std::wstring Win32Sockets::AddressToString(const SockAddr& address) {
  wchar_t text[INET6_ADDRSTRLEN] = {};
  if (address.family == AF_INET) {
    ::InetNtopW(AF_INET, address.address.data(), text, INET6_ADDRSTRLEN);
  } else if (address.family == AF_INET6) {
    ::InetNtopW(AF_INET6, address.address.data(), text, INET6_ADDRSTRLEN);
  }
  return text;
}

platform::SOCKET Win32Sockets::socket(int af, int type, int protocol) {
  return static_cast<platform::SOCKET>(::socket(af, type, protocol));
}

int Win32Sockets::bind(platform::SOCKET s, const SockAddr& name) {
  sockaddr_storage a;
  int length = 0;
  if (!ToNative(name, &a, &length)) {
    ::WSASetLastError(WSAEAFNOSUPPORT);
    return SOCKET_ERROR;
  }
  return ::bind(Native(s), reinterpret_cast<sockaddr*>(&a), length);
}

int Win32Sockets::listen(platform::SOCKET s, int backlog) {
  return ::listen(Native(s), backlog);
}

platform::SOCKET Win32Sockets::accept(platform::SOCKET s, SockAddr* peer) {
  sockaddr_storage a{};
  int length = sizeof a;
  ::SOCKET accepted = ::accept(Native(s), reinterpret_cast<sockaddr*>(&a), &length);
  if (accepted != INVALID_SOCKET && peer != nullptr) {
    *peer = FromNative(reinterpret_cast<sockaddr*>(&a));
  }
  return static_cast<platform::SOCKET>(accepted);
}

int Win32Sockets::connect(platform::SOCKET s, const SockAddr& name) {
  sockaddr_storage a;
  int length = 0;
  if (!ToNative(name, &a, &length)) {
    ::WSASetLastError(WSAEAFNOSUPPORT);
    return SOCKET_ERROR;
  }
  return ::connect(Native(s), reinterpret_cast<sockaddr*>(&a), length);
}

int Win32Sockets::send(platform::SOCKET s, const void* data, int length, int flags) {
  return ::send(Native(s), static_cast<const char*>(data), length, flags);
}

int Win32Sockets::recv(platform::SOCKET s, void* buffer, int length, int flags) {
  return ::recv(Native(s), static_cast<char*>(buffer), length, flags);
}

int Win32Sockets::sendto(platform::SOCKET s, const void* data, int length, int flags,
                         const SockAddr& to) {
  sockaddr_storage a;
  int size = 0;
  if (!ToNative(to, &a, &size)) {
    ::WSASetLastError(WSAEAFNOSUPPORT);
    return SOCKET_ERROR;
  }
  return ::sendto(Native(s), static_cast<const char*>(data), length, flags,
                  reinterpret_cast<sockaddr*>(&a), size);
}

int Win32Sockets::recvfrom(platform::SOCKET s, void* buffer, int length, int flags,
                           SockAddr* from) {
  sockaddr_storage a{};
  int size = sizeof a;
  int n = ::recvfrom(Native(s), static_cast<char*>(buffer), length, flags,
                     reinterpret_cast<sockaddr*>(&a), &size);
  // A datagram cut to the buffer (WSAEMSGSIZE) still tells where it came from.
  if ((n >= 0 || ::WSAGetLastError() == WSAEMSGSIZE) && from != nullptr) {
    *from = FromNative(reinterpret_cast<sockaddr*>(&a));
  }
  return n;
}

int Win32Sockets::shutdown(platform::SOCKET s, int how) {
  return ::shutdown(Native(s), how);
}
int Win32Sockets::closesocket(platform::SOCKET s) {
  return ::closesocket(Native(s));
}

int Win32Sockets::setsockopt(platform::SOCKET s, int level, int optionName, const void* value,
                             int length) {
  return ::setsockopt(Native(s), level, optionName, static_cast<const char*>(value), length);
}

int Win32Sockets::getsockopt(platform::SOCKET s, int level, int optionName, void* value,
                             int* length) {
  return ::getsockopt(Native(s), level, optionName, static_cast<char*>(value), length);
}

int Win32Sockets::getsockname(platform::SOCKET s, SockAddr* name) {
  sockaddr_storage a{};
  int length = sizeof a;
  int rc = ::getsockname(Native(s), reinterpret_cast<sockaddr*>(&a), &length);
  if (rc == 0 && name != nullptr) *name = FromNative(reinterpret_cast<sockaddr*>(&a));
  return rc;
}

int Win32Sockets::getpeername(platform::SOCKET s, SockAddr* name) {
  sockaddr_storage a{};
  int length = sizeof a;
  int rc = ::getpeername(Native(s), reinterpret_cast<sockaddr*>(&a), &length);
  if (rc == 0 && name != nullptr) *name = FromNative(reinterpret_cast<sockaddr*>(&a));
  return rc;
}

int Win32Sockets::ioctlsocket(platform::SOCKET s, long command, unsigned long* argument) {
  u_long value = argument != nullptr ? *argument : 0;
  int rc = ::ioctlsocket(Native(s), command, &value);
  if (argument != nullptr) *argument = value;
  return rc;
}

int Win32Sockets::WSAPoll(WsaPollFd* fds, unsigned long count, int timeoutMs) {
  std::vector<::WSAPOLLFD> native(count);
  for (unsigned long i = 0; i < count; ++i) {
    native[i].fd = Native(fds[i].fd);
    native[i].events = fds[i].events;
    native[i].revents = 0;
  }
  int rc = ::WSAPoll(native.data(), count, timeoutMs);
  for (unsigned long i = 0; i < count; ++i) fds[i].revents = native[i].revents;
  return rc;
}

}  // namespace platform::win32

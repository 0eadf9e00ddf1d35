// The port objects built from the spooler's port table: their flags and the address of the
// device behind them.
#pragma once

#include <memory>
#include <string>

#include "platform/spooler.h"

namespace tollgate::spooler {

class Port {
 public:
  explicit Port(const platform::PortInfo2& entry);
  virtual ~Port() = default;
  Port(const Port&) = delete;
  Port& operator=(const Port&) = delete;

  virtual bool IsNetwork() const { return network_; }
  // The address to report and to audit; the port name for a plain port.
  virtual std::wstring GetAddress() { return name_; }

  const std::wstring& Name() const { return name_; }
  // Redirected ports and the "TS" ports of remote sessions: their queues are never watched.
  bool IsNotMonitored() const { return notMonitored_; }
  bool IsUnc() const { return unc_; }

 protected:
  void ForceNetwork() { network_ = true; }

 private:
  std::wstring name_;
  bool network_ = false;
  bool notMonitored_ = false;
  bool unc_ = false;
};

// A port of a device found through web services for devices: its host comes from the
// device's "LocationInformation" URL.
class WsdPort : public Port {
 public:
  using Port::Port;
  std::wstring GetAddress() override;
};

// Ports whose device address is kept in the port monitor's registry key.
class IPPort : public Port {
 public:
  IPPort(const platform::PortInfo2& entry, std::wstring monitor, std::wstring primaryValue,
         std::wstring secondaryValue);
  std::wstring GetAddress() override;
  // A value beginning with a digit as it stands, else the name resolved; the raw value when
  // resolving fails.
  virtual void ResolveAddress(const std::wstring& value);

 protected:
  std::wstring ReadValue(const std::wstring& valueName);

  std::wstring monitor_;
  std::wstring primary_;
  std::wstring secondary_;
  std::wstring lastValue_;
  std::wstring address_;
};

class TcpIpPort : public IPPort {
 public:
  explicit TcpIpPort(const platform::PortInfo2& entry,
                     std::wstring monitor = L"Standard TCP/IP Port")
      : IPPort(entry, std::move(monitor), L"IPAddress", L"HostName") {}
};

class HpTcpIpPort : public TcpIpPort {
 public:
  explicit HpTcpIpPort(const platform::PortInfo2& entry)
      : TcpIpPort(entry, L"HP Standard TCP/IP Port") {}
};

class LprPort : public IPPort {
 public:
  explicit LprPort(const platform::PortInfo2& entry);
  std::wstring GetAddress() override;
};

// The first address of a host name in dotted form; SystemError "gethostbyname(%s)" at
// "SocketMgr::GetIP" when it has none.
std::wstring GetIP(const std::wstring& host);

// The print manager's port factory for one entry of the port table.
std::unique_ptr<Port> MakeManagerPort(const platform::PortInfo2& entry);

// The job checker's port factory: the port of that name in the local port table (none when
// the table has no such port); SystemError "M277" when the table cannot be read.
std::unique_ptr<Port> MakeCheckerPort(const std::wstring& portName);

}  // namespace tollgate::spooler

#include <gtest/gtest.h>

#include <initializer_list>
#include <tuple>

#include "agent/spooler/ports.h"
#include "agent/spooler/printer.h"
#include "agent/spooler/printer_factory.h"
#include "platform/platform.h"
#include "shared/error/errors.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;
using namespace tollgate::spooler;
using tollgate::testing::WriteBytes;

const char kPorts[] =
    "REGEDIT4\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_nome]\r\n\"IPAddress\"=\"\"\r\n\"HostName\"=\"impressora01\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_digitos]\r\n\"IPAddress\"=\"\"\r\n\"HostName\"=\"192.168.0.9\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_ninguem]\r\n\"IPAddress\"=\"\"\r\n\"HostName\"=\"naoexiste.invalid\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\Standard TCP/IP "
    "Port\\Ports\\IP_10.0.0.5]\r\n\"IPAddress\"=\"10.0.0.5\"\r\n\"HostName\"=\"outro\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\HP Standard TCP/IP "
    "Port\\Ports\\HP_1]\r\n\"IPAddress\"=\"10.0.0.7\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR "
    "Port\\Ports\\lpr1]\r\n\"Server Name\"=\"Impressora01\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR "
    "Port\\Ports\\lpr2]\r\n\"Server Name\"=\"10.9.9.9\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\LPR "
    "Port\\Ports\\lpr3]\r\n\"Server Name\"=\"\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\WSD "
    "Port\\Ports\\WSD-v6]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\WSD "
    "Port\\Ports\\WSD-v4]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Monitors\\WSD "
    "Port\\Ports\\WSD-sem]\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SWD\\PRINTENUM\\WSD-v6]\r\n"
    "\"ContainerID\"=\"{c1}\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SWD\\PRINTENUM\\WSD-v4]\r\n"
    "\"ContainerID\"=\"{c2}\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider\\a]\r\n"
    "\"ContainerID\"=\"{c2}\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider\\b]\r\n"
    "\"ContainerID\"=\"{c1}\"\r\n"
    "\"LocationInformation\"=\"http://[fe80::1c2a:3bff:fe4d:5e6f%12]:5357/b1c2\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\SWD\\DAFWSDProvider\\c]\r\n"
    "\"ContainerID\"=\"{c2}\"\r\n"
    "\"LocationInformation\"=\"http://192.168.1.20:80/WSD/DEVICE\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\Print\\Printers\\Kyo]\r\n"
    "\"Port\"=\"LPT1:\"\r\n\"Printer Driver\"=\"Kyocera TASKalfa 3551ci KX\"\r\n\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\Microsoft\\Windows NT\\CurrentVersion\\Ports]\r\n"
    "\"LPT1:\"=\"\"\r\n\"TS001\"=\"\"\r\n";

class PortsOnSim : public tollgate::testing::MachineTest {
 protected:
  void SetUp() override {
    WriteBytes(Folder() / "registry.reg", kPorts);
    WriteBytes(Folder() / "Windows/System32/drivers/etc/hosts",
               "# the print room\r\n127.0.0.1 localhost\r\n10.1.2.3   impressora01 imp01\r\n");
    WsaData data;
    ASSERT_EQ(sockets().WSAStartup(0x0202, &data), 0);
  }
  void TearDown() override { sockets().WSACleanup(); }

  // The port the print manager builds for a port of the machine's table.
  std::unique_ptr<Port> ManagerPort(const std::wstring& name) {
    return manager_.GetPort(name, false);
  }
  PrintMgr manager_{L""};
};

TEST_F(PortsOnSim, PortFlagsComeFromTheTypeAndTheName) {
  struct Case {
    const wchar_t* name;
    DWORD type;
    bool network, notMonitored, unc;
  } cases[] = {
      {L"TS001", 0, false, true, false},
      {L"TS0012", 0, false, true, false},
      {L"TS01", 0, false, false, false},
      {L"TSx01", 0, false, false, false},
      {L"ts001", 0, false, false, false},
      {L"LPT1:", PORT_TYPE_REDIRECTED, false, true, false},
      {L"IP_1", PORT_TYPE_NET_ATTACHED | PORT_TYPE_WRITE, true, false, false},
      {L"\\\\srv\\fila", 0, false, false, true},
      {L"", 0, false, false, false},
  };
  for (const auto& c : cases) {
    PortInfo2 entry;
    entry.pPortName = c.name;
    entry.fPortType = c.type;
    Port port(entry);
    EXPECT_EQ(port.IsNetwork(), c.network) << port.Name();
    EXPECT_EQ(port.IsNotMonitored(), c.notMonitored) << port.Name();
    EXPECT_EQ(port.IsUnc(), c.unc) << port.Name();
    EXPECT_EQ(port.GetAddress(), c.name);
  }
}

TEST_F(PortsOnSim, EachPortKindFindsItsDevicesAddress) {
  struct Case {
    const wchar_t* port;
    const wchar_t* address;
    bool network;
  } cases[] = {
      {L"IP_10.0.0.5", L"10.0.0.5", true},
      {L"IP_nome", L"10.1.2.3", true},              // the name resolved
      {L"IP_digitos", L"192.168.0.9", true},        // taken as it stands
      {L"IP_ninguem", L"naoexiste.invalid", true},  // the raw value when resolving fails
      {L"HP_1", L"10.0.0.7", true},
      {L"lpr1", L"10.1.2.3", true},
      {L"lpr2", L"10.9.9.9", true},
      {L"lpr3", L"lpr3", true},
      {L"WSD-v6", L"fe80::1c2a:3bff:fe4d:5e6f", true},
      {L"WSD-v4", L"192.168.1.20", true},
      {L"WSD-sem", L"WSD-sem", true},
      {L"LPT1:", L"LPT1:", false},
  };
  for (const auto& c : cases) {
    std::unique_ptr<Port> port = ManagerPort(c.port);
    ASSERT_NE(port, nullptr) << c.port;
    EXPECT_EQ(port->GetAddress(), c.address) << c.port;
    EXPECT_EQ(port->GetAddress(), c.address) << c.port << " (again)";
    EXPECT_EQ(port->IsNetwork(), c.network) << c.port;
  }
  EXPECT_EQ(ManagerPort(L"nenhuma"), nullptr);
}

TEST_F(PortsOnSim, APortWithoutMonitorOrDescriptionIsLprWhenItsKeyExists) {
  PortInfo2 entry;
  entry.pPortName = L"lpr2";
  std::unique_ptr<Port> lpr = MakeManagerPort(entry);
  EXPECT_NE(dynamic_cast<LprPort*>(lpr.get()), nullptr);
  EXPECT_TRUE(lpr->IsNetwork());
  entry.pPortName = L"semchave";
  std::unique_ptr<Port> plain = MakeManagerPort(entry);
  EXPECT_EQ(dynamic_cast<IPPort*>(plain.get()), nullptr);
  EXPECT_EQ(plain->GetAddress(), L"semchave");
  EXPECT_FALSE(plain->IsNetwork());
}

TEST_F(PortsOnSim, TheJobCheckersPortsFollowTheirOwnOrder) {
  EXPECT_NE(dynamic_cast<TcpIpPort*>(MakeCheckerPort(L"IP_nome").get()), nullptr);
  std::unique_ptr<Port> wsd = MakeCheckerPort(L"WSD-v4");
  ASSERT_NE(dynamic_cast<WsdPort*>(wsd.get()), nullptr);
  EXPECT_EQ(wsd->GetAddress(), L"192.168.1.20");
  EXPECT_NE(dynamic_cast<LprPort*>(MakeCheckerPort(L"lpr2").get()), nullptr);
  std::unique_ptr<Port> local = MakeCheckerPort(L"LPT1:");
  ASSERT_NE(local, nullptr);
  EXPECT_EQ(dynamic_cast<IPPort*>(local.get()), nullptr);
  EXPECT_EQ(MakeCheckerPort(L"nenhuma"), nullptr);
}

TEST_F(PortsOnSim, RegistryAndNameFailuresCarryTheirTexts) {
  PortInfo2 entry;
  entry.pPortName = L"semchave";
  TcpIpPort tcp(entry);
  try {
    tcp.GetAddress();
    FAIL() << "no error";
  } catch (Error* error) {
    EXPECT_EQ(error->Args().at(0), L"k.open");
    EXPECT_EQ(error->Args().at(1), L"IPPort::GetAddress");
    delete error;
  }
  try {
    GetIP(L"naoexiste.invalid");
    FAIL() << "no error";
  } catch (Error* error) {
    EXPECT_EQ(error->Args().at(0), L"gethostbyname(naoexiste.invalid)");
    EXPECT_EQ(error->Args().at(1), L"SocketMgr::GetIP");
    delete error;
  }
  EXPECT_EQ(GetIP(L"IMP01"), L"10.1.2.3");
}

TEST_F(PortsOnSim, ThePrinterFactoryDeclinesVirtualPrinters) {
  struct Case {
    const wchar_t* driver;
    bool made;
  } cases[] = {
      {L"Microsoft Shared Fax Driver", false},
      {L"NITRO Printer", false},
      {L"Faxomatic 3000", true},
      {L"Nitrogen Laser", true},
      {L"Adobe PDF Converter", false},
      {L"SuperPDFWriter", false},
      {L"Nuance Image Printer Driver", false},
      {L"Microsoft XPS Document Writer v4", false},
      {L"HP Universal Printing PCL 6", true},
  };
  for (const auto& c : cases)
    EXPECT_EQ(MakeModelPrinter(L"Kyo", c.driver, &manager_) != nullptr, c.made) << c.driver;
}

TEST_F(PortsOnSim, ModelsHaveTheirOwnColourAndPaperRules) {
  auto colourJob = [](const wchar_t* datatype, std::int16_t colour, std::size_t extra,
                      std::size_t at = 0, std::uint8_t value = 0) {
    JobInfo2 job;
    job.pDatatype = datatype;
    DevMode dm;
    dm.dmColor = colour;
    dm.driverExtra.assign(extra, 0xFF);
    if (at < extra) dm.driverExtra[at] = value;
    job.pDevMode = dm;
    return job;
  };
  auto kyocera = MakeModelPrinter(L"Kyo", L"Kyocera TASKalfa 3551ci KX", &manager_);
  const std::initializer_list<std::tuple<int, int, bool>> codes = {
      {108, 9, true}, {106, 1, true}, {110, 8, true}, {9, 9, false}};
  for (auto [in, out, mapped] : codes) {
    std::uint16_t code = static_cast<std::uint16_t>(in);
    EXPECT_EQ(kyocera->TranslatePaperCode(&code), mapped) << in;
    EXPECT_EQ(code, out);
  }
  auto plain = MakeModelPrinter(L"P", L"HP LaserJet 4", &manager_);
  std::uint16_t code = 108;
  EXPECT_FALSE(plain->TranslatePaperCode(&code));
  EXPECT_TRUE(plain->IsColor(colourJob(L"RAW", 2, 0)));
  EXPECT_FALSE(plain->IsColor(colourJob(L"RAW", 1, 0)));
  EXPECT_FALSE(plain->IsColor(JobInfo2{}));

  auto xerox = MakeModelPrinter(L"X", L"Xerox WorkCentre 7220", &manager_);
  EXPECT_FALSE(xerox->IsColor(colourJob(L"RAW", 2, 0)));
  auto konica = MakeModelPrinter(L"K", L"KONICA MINOLTA C250/C250P VPS", &manager_);
  EXPECT_TRUE(konica->IsColor(colourJob(L"RAW", 2, 100)));
  EXPECT_TRUE(konica->IsColor(colourJob(L"RAW", 1, 3127, 0, 0)));
  EXPECT_FALSE(konica->IsColor(colourJob(L"RAW", 2, 3127, 0, 1)));
  auto officejet = MakeModelPrinter(L"O", L"HP Officejet 7610 series", &manager_);
  EXPECT_TRUE(officejet->IsColor(colourJob(L"nt emf", 1, 63, 62, 0)));
  EXPECT_FALSE(officejet->IsColor(colourJob(L"NT EMF", 2, 63, 62, 1)));
  EXPECT_TRUE(officejet->IsColor(colourJob(L"NT EMF", 2, 62)));
  // A versioned EMF data type does not end with "NT EMF": the DEVMODE's colour decides.
  EXPECT_FALSE(officejet->IsColor(colourJob(L"NT EMF 1.008", 1, 63, 62, 0)));
  auto brother = MakeModelPrinter(L"B", L"Brother HL-4150CDN series", &manager_);
  EXPECT_TRUE(brother->IsColor(colourJob(L"NT EMF 1.008", 1, 311, 310, 1)));
  EXPECT_FALSE(brother->IsColor(colourJob(L"NT EMF 1.008", 2, 311, 310, 0)));
  EXPECT_TRUE(brother->IsColor(colourJob(L"NT EMF 1.008", 2, 310)));

  auto fixed =
      MakeModelPrinter(L"Sala 0310272a-aaa2-4e68-9032-b621a0d16d6e", L"HP LaserJet 4", &manager_);
  Port* port = fixed->GetPort();
  ASSERT_NE(port, nullptr);
  EXPECT_EQ(port->Name(), kFixedWsdPort);
  EXPECT_TRUE(port->IsNetwork());
}

}  // namespace

#include <gtest/gtest.h>

#include <atomic>

#include "platform/platform.h"
#include "platform/sim/machine.h"
#include "testing/machine_fixture.h"

namespace {

using namespace platform;

class ServicesOnSim : public tollgate::testing::MachineTest {};

TEST_F(ServicesOnSim, DispatcherOutsideTheControlManagerCannotConnect) {
  std::vector<ServiceTableEntry> table{{L"", [](const std::vector<std::wstring>&) {}}};
  EXPECT_FALSE(services().StartServiceCtrlDispatcherW(table));
  EXPECT_EQ(kernel().GetLastError(), ERROR_FAILED_SERVICE_CONTROLLER_CONNECT);
  EXPECT_EQ(services().RegisterServiceCtrlHandlerW(L"", [](DWORD) {}), nullptr);
}

TEST_F(ServicesOnSim, StartRunsTheProcessAndStopReachesItsHandler) {
  std::vector<std::wstring> seenArgv;
  machine().CreateService(
      L"Demo",
      ServiceConfig{SERVICE_WIN32_OWN_PROCESS, SERVICE_AUTO_START, L"demo.exe /x", L"Demo"},
      [&](const std::vector<std::wstring>& argv) {
        seenArgv = argv;
        HANDLE stop = kernel().CreateEventW(true, false);
        SERVICE_STATUS_HANDLE h = nullptr;
        std::vector<ServiceTableEntry> table{{L"", [&](const std::vector<std::wstring>&) {
                                                h = services().RegisterServiceCtrlHandlerW(
                                                    L"", [&](DWORD control) {
                                                      if (control == SERVICE_CONTROL_STOP)
                                                        kernel().SetEvent(stop);
                                                    });
                                                ServiceStatus s;
                                                s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
                                                s.dwCurrentState = SERVICE_RUNNING;
                                                s.dwControlsAccepted = SERVICE_ACCEPT_STOP;
                                                services().SetServiceStatus(h, s);
                                                kernel().WaitForSingleObject(stop, INFINITE);
                                                s.dwCurrentState = SERVICE_STOPPED;
                                                services().SetServiceStatus(h, s);
                                              }}};
        bool ok = services().StartServiceCtrlDispatcherW(table);
        kernel().CloseHandle(stop);
        return ok ? 0 : 1;
      });
  SC_HANDLE scm = services().OpenSCManagerW(SC_MANAGER_ALL_ACCESS);
  EXPECT_EQ(services().OpenServiceW(scm, L"Other", SERVICE_ALL_ACCESS), nullptr);
  EXPECT_EQ(kernel().GetLastError(), ERROR_SERVICE_DOES_NOT_EXIST);
  SC_HANDLE svc = services().OpenServiceW(scm, L"demo", SERVICE_ALL_ACCESS);
  ASSERT_NE(svc, nullptr);
  ServiceStatus status;
  EXPECT_FALSE(services().ControlService(svc, SERVICE_CONTROL_STOP, &status));
  EXPECT_EQ(kernel().GetLastError(), ERROR_SERVICE_NOT_ACTIVE);
  ASSERT_TRUE(services().StartServiceW(svc, {}));
  EXPECT_FALSE(services().StartServiceW(svc, {}));
  EXPECT_EQ(kernel().GetLastError(), ERROR_SERVICE_ALREADY_RUNNING);
  for (int i = 0; i < 500; ++i) {
    services().QueryServiceStatus(svc, &status);
    if (status.dwCurrentState == SERVICE_RUNNING) break;
    kernel().Sleep(10);
  }
  ASSERT_EQ(status.dwCurrentState, SERVICE_RUNNING);
  ASSERT_TRUE(services().ControlService(svc, SERVICE_CONTROL_STOP, &status));
  for (int i = 0; i < 500; ++i) {
    services().QueryServiceStatus(svc, &status);
    if (status.dwCurrentState == SERVICE_STOPPED) break;
    kernel().Sleep(10);
  }
  EXPECT_EQ(status.dwCurrentState, SERVICE_STOPPED);
  EXPECT_EQ(seenArgv, (std::vector<std::wstring>{L"demo.exe", L"/x"}));
  services().CloseServiceHandle(svc);
  services().CloseServiceHandle(scm);
}

}  // namespace

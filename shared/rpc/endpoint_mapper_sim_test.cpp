// Where a program of the simulated machine finds the machine's endpoint mapper: the port its
// system process wrote to the registry, read at every lookup.
#include <gtest/gtest.h>

#include "platform/platform.h"

#include "shared/rpc/endpoint_mapper.h"
#include "shared/rpc/rpc.h"
#include "testing/machine_fixture.h"

namespace {

using namespace rpc;
using namespace platform;

class EndpointMapperPortOnSim : public tollgate::testing::MachineTest {
 protected:
  void Set(DWORD type, const std::vector<std::uint8_t>& data) {
    HKEY key = nullptr;
    ASSERT_EQ(registry().RegCreateKeyExW(HKEY_LOCAL_MACHINE, kEndpointMapperKey, KEY_ALL_ACCESS,
                                         &key, nullptr),
              ERROR_SUCCESS);
    ASSERT_EQ(registry().RegSetValueExW(key, kEndpointMapperPortValue, type, data.data(),
                                        static_cast<DWORD>(data.size())),
              ERROR_SUCCESS);
    registry().RegCloseKey(key);
  }
  void SetUp() override { SetEndpointMapperPort(0); }
  void TearDown() override { SetEndpointMapperPort(0); }
};

TEST_F(EndpointMapperPortOnSim, TheRegistryValueUnlessAPortWasSet) {
  EXPECT_EQ(EndpointMapperPort(), 135);
  struct Case {
    DWORD type;
    std::vector<std::uint8_t> data;
    std::uint16_t port;
  };
  const Case cases[] = {
      {REG_DWORD, {0xC7, 0x9C, 0, 0}, 40135},  // a machine whose mapper could not have 135
      {REG_DWORD, {135, 0, 0, 0}, 135},
      {REG_DWORD, {0xFF, 0xFF, 0, 0}, 65535},
      {REG_DWORD, {0, 0, 0, 0}, 135},  // not a port
      {REG_DWORD, {0, 0, 1, 0}, 135},  // 65536
      {REG_DWORD, {0x10, 0x27}, 135},  // too short for a DWORD
      {REG_QWORD, {0x10, 0x27, 0, 0, 0, 0, 0, 0}, 135},
      {REG_SZ, {'4', 0, '0', 0, 0, 0}, 135},
      {REG_DWORD, {0x10, 0x27, 0, 0}, 10000},  // a restarted machine's new port is followed
  };
  for (const auto& c : cases) {
    Set(c.type, c.data);
    EXPECT_EQ(EndpointMapperPort(), c.port) << c.type << " " << c.data.size();
  }
  SetEndpointMapperPort(555);
  EXPECT_EQ(EndpointMapperPort(), 555);
  SetEndpointMapperPort(0);
  EXPECT_EQ(EndpointMapperPort(), 10000);
}

}  // namespace

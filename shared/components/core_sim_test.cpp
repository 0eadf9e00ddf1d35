#include <gtest/gtest.h>

#include "shared/components/core.h"
#include "testing/machine_fixture.h"

namespace {

class RunnerOnSim : public tollgate::testing::MachineTest {};

TEST_F(RunnerOnSim, GivesTheExitCodeOrTheError) {
  tollgate::ProcessRunner runner;
  std::uint32_t code = 99;
  EXPECT_EQ(runner.Run(L"/bin/sh -c \"exit 4\"", L"", 10000, &code), nullptr);
  EXPECT_EQ(code, 4u);
  auto error = runner.Run(L"/no/such/tollzip.exe a b", L"", 10000, &code);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(),
            L"error creating process /no/such/tollzip.exe a b: Windows error 2: "
            L"The system cannot find the file specified. ");
  error = runner.Run(L"/bin/sh -c \"exec sleep 5\"", L"", 50, &code);
  ASSERT_NE(error, nullptr);
  EXPECT_EQ(error->Text(), L"timeout waiting for process /bin/sh -c \"exec sleep 5\"");
}

}  // namespace

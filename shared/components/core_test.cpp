#include <gtest/gtest.h>

#include <ctime>

#include "shared/components/core.h"
#include "testing/machine_fixture.h"

namespace {

class CoreComponentsTest : public tollgate::testing::MachineTest {};

TEST_F(CoreComponentsTest, ClockTellsTheCurrentTime) {
  std::int64_t before = static_cast<std::int64_t>(std::time(nullptr));
  std::int64_t now = tollgate::SystemClock().Now();
  EXPECT_GE(now, before);
  EXPECT_LE(now, before + 2);
}

}  // namespace

#include <gtest/gtest.h>

#include "agent/config/registry_components.h"
#include "agent/host/composition.h"
#include "shared/components/core.h"
#include "shared/error/report.h"
#include "testing/machine_fixture.h"

namespace {

class CompositionTest : public tollgate::testing::MachineTest {};

TEST_F(CompositionTest, CoreComponentsAnswerThroughTheirInterfaces) {
  tollgate::Injector injector;
  tollgate::RegisterCoreComponents(L"7001", injector);
  EXPECT_NE(injector.GetAs<tollgate::ErrorHandler>("error-handler"), nullptr);
  EXPECT_NE(injector.GetAs<tollgate::Clock>("clock"), nullptr);
  EXPECT_NE(injector.GetAs<tollgate::Runner>("runner"), nullptr);
  EXPECT_NE(injector.GetAs<tollgate::config::RegistryReaderMaker>("registry-reader-maker"),
            nullptr);
  EXPECT_NE(injector.GetAs<tollgate::config::RegistryEnumerator>("registry-enumerator"), nullptr);
  // Server-host mode is off: its group is never present.
  EXPECT_FALSE(tollgate::kServerHostMode);
  EXPECT_EQ(injector.Get("waiter-factory"), nullptr);
  EXPECT_EQ(injector.Get("konica-copies-fetcher"), nullptr);
}

}  // namespace

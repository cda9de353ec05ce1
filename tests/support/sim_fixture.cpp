#include "support/sim_fixture.h"

void SimulatedServiceTest::SetUp() { SimReset(); }

void SimulatedServiceTest::TearDown()
{
    EXPECT_EQ(SimOpenContexts(), 0u) << "PC/SC contexts left open";
    EXPECT_EQ(SimOpenCardHandles(), 0u) << "card connections left open";
    EXPECT_EQ(SimUnfreedBuffers(), 0u) << "service buffers not freed with SCardFreeMemory";
}

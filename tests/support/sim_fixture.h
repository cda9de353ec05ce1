// Base fixture for every test that talks to the simulated PC/SC service: a
// clean service before the test, and no leaked context, card handle or
// service buffer after it. Open contexts in the test body or in a SetUp that
// first calls this SetUp (the reset forgets anything opened before), and close
// them before this TearDown runs.
#pragma once

#include <gtest/gtest.h>

#include "scardsim/scardsim.h"

class SimulatedServiceTest : public ::testing::Test {
protected:
    void SetUp() override;
    void TearDown() override;
};

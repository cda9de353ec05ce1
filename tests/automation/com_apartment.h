// Every test here runs in a single-threaded apartment, as the plug-in's
// hosts do.
#pragma once

#include <objbase.h>

#include <gtest/gtest.h>

namespace quorvex::test {

class ApartmentTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(SUCCEEDED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))); }
    void TearDown() override { ::CoUninitialize(); }
};

}  // namespace quorvex::test

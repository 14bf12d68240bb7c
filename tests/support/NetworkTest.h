#pragma once

#include "tests/support/TestNetwork.h"

#include <gtest/gtest.h>

// A test on the throwaway network; skipped where it cannot be made.
class NetworkTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string why;
        network = TestNetwork::Create(why);
        if (!network)
            GTEST_SKIP() << why;
    }

    std::unique_ptr<TestNetwork> network;
};

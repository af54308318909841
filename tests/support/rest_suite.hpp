// Base of the test suites that run the REST library against the emulator:
// one emulator for the suite, the library pointed at it and the emulator's
// faults and log cleared before every test, and a check after every test
// that no error result was left held.
#pragma once

#include "emulator_fixture.hpp"
#include "orvel_dsi_rest.h"

#include <gtest/gtest.h>

namespace orvel::test {

class RestSuite : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        ASSERT_EQ(orvel_module_activate(&orvel_i_dsi_rest_module), 0);
        emulator = new Emulator();
    }
    static void TearDownTestSuite()
    {
        delete emulator;
        emulator = nullptr;
        orvel_module_deactivate(&orvel_i_dsi_rest_module);
    }
    void SetUp() override
    {
        // Again for every test: a test may point the library elsewhere.
        emulator->use_for_rest();
        emulator->clear_faults();
        emulator->clear_log();
    }
    void TearDown() override
    {
        // Every error result a test saw was taken or discarded.
        EXPECT_EQ(orvel_error_held_count(), 0u);
    }
    inline static Emulator *emulator = nullptr;
};

} // namespace orvel::test

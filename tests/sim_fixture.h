// A test that calls the simulated SDK in-process: each test gets a scratch
// folder for the SDK's trace and stats, and the SDK starts afresh with the
// scenario the test gives.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "harness.h"
#include "vantra_sim.h"

class SimTest : public ::testing::Test {
  protected:
    // The scenario as JSON text; "" keeps the defaults.
    void use(const std::string& scenario) {
        unsetenv("VANTRA_SIM_SCENARIO");
        for (const auto& e : dir.sim_env(scenario)) setenv(e.first.c_str(), e.second.c_str(), 1);
        sim::reset();
    }
    void TearDown() override {
        unsetenv("VANTRA_SIM_SCENARIO");
        unsetenv("VANTRA_SIM_TRACE");
        unsetenv("VANTRA_SIM_STATS");
        sim::reset();
    }

    harness::Scratch dir;
    vt_error* error = nullptr;
};

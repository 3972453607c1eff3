// The simulator's own checks, run by --self-test.
#pragma once

namespace lumagate::keyserver {

// Runs the checks, naming each failure on standard error; returns the exit
// code (0 when all pass).
int run_self_test();

}  // namespace lumagate::keyserver

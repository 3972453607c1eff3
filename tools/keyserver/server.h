// The listening loop of the Key-server simulator.
#pragma once

#include "options.h"

namespace lumagate::keyserver {

// Serves clients until SIGINT, SIGTERM or the time limit; returns the exit
// code (0, or 1 when it cannot listen).
int run_server(const KeyserverOptions& options);

}  // namespace lumagate::keyserver

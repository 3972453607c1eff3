// lumagate-keyserver: the server side of the Key-server protocol, for trying
// out the client and for its end-to-end tests.
#include <cstdio>
#include <string>
#include <vector>

#include "options.h"
#include "self_test.h"
#include "server.h"

int main(int argc, char** argv) {
  using namespace lumagate::keyserver;
  // Whoever reads the log through a pipe sees each event as it happens.
  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  const std::vector<std::string> args(argv + 1, argv + argc);
  KeyserverOptions options;
  std::string error;
  switch (parse_options(args, &options, &error)) {
    case ParseOutcome::kHelp:
      std::fputs(usage_text(), stdout);
      return 0;
    case ParseOutcome::kSelfTest:
      return run_self_test();
    case ParseOutcome::kError:
      std::fprintf(stderr, "lumagate-keyserver: %s\n\n%s", error.c_str(), usage_text());
      return 2;
    case ParseOutcome::kRun:
      break;
  }
  return run_server(options);
}

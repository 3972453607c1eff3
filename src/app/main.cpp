// lumagatec: keeps a workstation's network access open.
#include "config/options.h"
#include "platform/platform.h"
#include "runtime/lifecycle.h"
#include "runtime/settings.h"
#include "runtime/text.h"
#include "session/session.h"

using namespace lumagate;

namespace {

int client_main(int argc, char** argv) {
  // Before any socket or file is made, or console text would go into it.
  if (!platform::secure_standard_streams()) return 1;
  platform::prepare_standard_output();
  seed_random(platform::tick_count());

  // Kept for the whole run, also once -m has put a copy of its own in its
  // place.
  static char* access_mode = nullptr;
  access_mode = static_cast<char*>(alloc_or_exit(6));
  copy_bounded(access_mode, 6, "WORLD");
  settings.access_mode = access_mode;

  platform::install_terminate_handler(on_terminate_signal);
  platform::prepare_console();
  platform::set_console_title("LumagateC " LUMAGATE_VERSION);

  // Kept for the whole run, whichever road ends it.
  static char* server_address = nullptr;
  server_address = static_cast<char*>(alloc_or_exit(kServerAddressSize));
  server_address[0] = '\0';
  static char* digest = nullptr;
  digest = static_cast<char*>(alloc_or_exit(kDigestSize));
  digest[0] = '\0';

  if (parse_command_line(argc, argv, server_address, kServerAddressSize, digest, kDigestSize) !=
      0) {
    return 1;
  }
  run_session(server_address, digest);
}

}  // namespace

int main(int argc, char** argv) { platform::run_program(argc, argv, client_main); }

// torvi-cli: administers one KORVAN-4 lighting controller per run.
#include "cli/cli.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
  torvi::platform_prepare_console();
  return torvi::cli_run(argc, argv, torvi::platform_sleep_ms);
}

#pragma once
// torvi-site: one command for every controller of a site.

#include <atomic>
#include <functional>

#include "site/inventory.h"
#include "site/options.h"
#include "site/runner.h"

namespace torvi::site {

// What an in-process run may be handed besides its options.
struct site_hooks {
  const std::atomic<bool>* interrupt = nullptr;  // set: no controller starts, those at work stop
  std::function<void(const site_controller&, bool started)> observe;
};

// Reads the inventory, runs the command over the controllers it selects
// and prints the summary. The exit status: 0 every controller ok or
// skipped, 1 any not, 2 an inventory or usage error (nothing contacted).
int site_execute(const site_options& options, const site_io& io, const site_hooks& hooks = {});

// The program: options, the terminal, the interrupt, the run.
int site_main(int argc, char** argv);

}  // namespace torvi::site

// torvi-site: runs torvi-cli's work on every controller of a site.
#include "site/site.h"

int main(int argc, char** argv) {
  return torvi::site::site_main(argc, argv);
}

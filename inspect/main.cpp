#include "inspect/inspect.h"

int main(int argc, char** argv) {
  return torvi::inspect::inspect_main(argc, argv);
}

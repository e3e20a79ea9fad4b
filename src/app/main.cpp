#include <cstdio>
#include <cstring>

#include "app/version.h"

int main(int argc, char** argv) {
  if (argc > 1 && std::strcmp(argv[1], "--version") == 0) {
    std::printf("vorel %s\n", vorel::kVersionText);
    return 0;
  }
  return 0;
}

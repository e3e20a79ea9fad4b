#include "app/close_password.h"

#include <random>

namespace vorel {

std::string ClosePasswordFromRandom(int r) { return std::to_string(r + 10000); }

std::string MakeClosePassword(std::uint32_t seed) {
  std::mt19937 generator(seed);
  std::uniform_int_distribution<int> below89999(0, 89998);
  return ClosePasswordFromRandom(below89999(generator));
}

}  // namespace vorel

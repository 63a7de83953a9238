#include "AERandom.h"

namespace {

// Generator thread only; see the header.
std::uint32_t GRandomState = 0;

std::uint32_t NextState(std::uint32_t state) {
  return state * 134775813u + 1u;  // unsigned: wraps mod 2^32 by definition
}

std::uint32_t Step() {
  GRandomState = NextState(GRandomState);
  return GRandomState;
}

}  // namespace

void RandomSeed(std::uint32_t seed) { GRandomState = seed; }

std::uint32_t RandomState() { return GRandomState; }

double RandomFloat() {
  // Both factors are exact in double, so the product is exactly state / 2^32.
  return static_cast<double>(Step()) * 0x1p-32;
}

std::uint32_t RandomBelow(std::uint32_t range) {
  const std::uint64_t state = Step();
  return static_cast<std::uint32_t>((state * range) >> 32);
}

void RandomFloats(std::span<double> out) {
  std::uint32_t state = GRandomState;  // a local copy stays in a register
  for (double& u : out) {
    state = NextState(state);
    u = static_cast<double>(state) * 0x1p-32;
  }
  GRandomState = state;
}

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
  // Four interleaved chains, each jumping four steps at once (state * a^4 + c (a^3 + a^2
  // + a + 1), all mod 2^32): the same states in the same order, without waiting on one
  // multiply after another.
  constexpr std::uint32_t a = 134775813u;
  constexpr std::uint32_t a4 = a * a * a * a;
  constexpr std::uint32_t c4 = a * a * a + a * a + a + 1u;
  std::uint32_t state = GRandomState;
  std::size_t i = 0;
  if (out.size() >= 4) {
    std::uint32_t s0 = NextState(state);
    std::uint32_t s1 = NextState(s0);
    std::uint32_t s2 = NextState(s1);
    std::uint32_t s3 = NextState(s2);
    for (; i + 4 <= out.size(); i += 4) {
      out[i] = static_cast<double>(s0) * 0x1p-32;
      out[i + 1] = static_cast<double>(s1) * 0x1p-32;
      out[i + 2] = static_cast<double>(s2) * 0x1p-32;
      out[i + 3] = static_cast<double>(s3) * 0x1p-32;
      state = s3;
      s0 = s0 * a4 + c4;
      s1 = s1 * a4 + c4;
      s2 = s2 * a4 + c4;
      s3 = s3 * a4 + c4;
    }
  }
  for (; i < out.size(); ++i) {
    state = NextState(state);
    out[i] = static_cast<double>(state) * 0x1p-32;
  }
  GRandomState = state;
}

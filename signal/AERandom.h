// The process-wide pseudo-random generator: seeded once by the agent's start, drawn by
// the simulation and the synthesiser, on the generator thread only (not locked: a draw
// from any other thread is a data race).
//
// Algorithm: the classic 32-bit linear congruential step
//   state = state * 134775813 + 1 (mod 2^32),
// and every draw below takes exactly one step and uses the new state.
#pragma once

#include <cstdint>
#include <span>

// Sets the generator's 32-bit state.
void RandomSeed(std::uint32_t seed);

// Current state, so a test can replay a sequence.
std::uint32_t RandomState();

// One step; a uniform value in [0, 1), a multiple of 2^-32 (0 may occur, 1 never):
// the new state times 2^-32.
double RandomFloat();

// One step; uniform in 0 .. range-1 for range >= 1, and 0 for range 0:
// (new state * range) >> 32.
std::uint32_t RandomBelow(std::uint32_t range);

// out.size() steps: out[i] is what the i-th RandomFloat() would return. For loops that
// need thousands of draws at once (the synthesiser's noise).
void RandomFloats(std::span<double> out);

// Instruction sets that the hot loops have code for, chosen once per process.
//
// Decoding, sample times and the resampler's rows each have code for the x86-64 baseline
// (SSE2, or the plain build on other processors), for AVX2 and, in the resampler, for
// AVX-512. The best one that the processor (and operating system) supports runs, capped
// by the build (the CMake option TILTGRAM_MAX_ISA) and at run time by the environment
// variable TILTGRAM_MAX_ISA=sse2|avx2|avx512, read once, at the first choice: one build
// can then run and measure every path on one machine. Every path gives the same bits.
#pragma once

#include <optional>

namespace tiltgram {

enum class IsaLevel { kBaseline = 0, kAvx2 = 1, kAvx512 = 2 };

// The highest level this build may use: the CMake option's cap.
#ifndef TILTGRAM_MAX_ISA_LEVEL
#define TILTGRAM_MAX_ISA_LEVEL 2
#endif
inline constexpr IsaLevel kMaxIsaLevel = static_cast<IsaLevel>(TILTGRAM_MAX_ISA_LEVEL);

// The cap that a value of TILTGRAM_MAX_ISA sets: "sse2", "avx2" or "avx512" (any case);
// none for an unset or empty variable. Any other value caps at the baseline, which every
// processor runs: a misspelt cap must not measure or test a path it did not name.
std::optional<IsaLevel> isa_cap_from(const char* value) noexcept;

// Whether the processor (and its operating system) has the instructions of `level`.
bool isa_supported(IsaLevel level) noexcept;

// The level whose code runs: the highest supported one within the build's and the
// environment's caps, found once.
IsaLevel best_isa() noexcept;

// Whether the code for `level` may run here: supported, and within both caps.
bool isa_available(IsaLevel level) noexcept;

// "sse2", "avx2" or "avx512" (the baseline is named after x86-64's).
const char* isa_name(IsaLevel level) noexcept;

}  // namespace tiltgram

// Instruction sets that the hot loops have code for, chosen at run time.
//
// Decoding, sample times and the resampler's rows each have code for the x86-64 baseline
// (SSE2, or plain C++ on other processors), for AVX2 and, in the resampler, for AVX-512.
// The best one that the processor (and operating system) supports runs. A build may cap
// the choice with the CMake option TILTGRAM_MAX_ISA (sse2, avx2 or avx512, the default),
// so that every path can be run and measured on one machine. Every path gives the same bits.
#pragma once

namespace tiltgram {

enum class IsaLevel { kBaseline = 0, kAvx2 = 1, kAvx512 = 2 };

// The highest level this build may use: the TILTGRAM_MAX_ISA cap.
#ifndef TILTGRAM_MAX_ISA_LEVEL
#define TILTGRAM_MAX_ISA_LEVEL 2
#endif
inline constexpr IsaLevel kMaxIsaLevel = static_cast<IsaLevel>(TILTGRAM_MAX_ISA_LEVEL);

// Whether the code for `level` may run here: the processor has it and the build allows it.
bool isa_available(IsaLevel level) noexcept;

// The highest available level, found once.
IsaLevel best_isa() noexcept;

// "sse2", "avx2" or "avx512" (the baseline is named after x86-64's).
const char* isa_name(IsaLevel level) noexcept;

}  // namespace tiltgram

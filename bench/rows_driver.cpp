// Streams a synthetic 100 Hz recording through the resampler, a block at a time as the
// resampled read does, for instruction counts of its row code (bench/rows_callgrind.py).
//   rows_driver HZ [BLOCKS] [AXES]
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <vector>

#include "package/resample/resample.hpp"

using tiltgram::StreamingResampler;

int main(int argc, char** argv) {
  const double hz = argc > 1 ? std::atof(argv[1]) : 30.0;
  const int blocks = argc > 2 ? std::atoi(argv[2]) : 3000;
  const bool gyro = argc > 3 && std::atoi(argv[3]) == 6;
  constexpr std::size_t kPerBlock = 120;
  std::mt19937 rng(7);
  StreamingResampler r(std::nullopt, std::nullopt, hz, true, false, false);
  std::vector<double> times(kPerBlock);
  double start = 1'700'000'000.0;
  for (int b = 0; b < blocks; ++b) {
    // A device clock a little off 100 Hz, as the block timestamps give it.
    const double span = 1.2 + 1e-5 * static_cast<double>(rng() % 7);
    for (std::size_t i = 0; i < kPerBlock; ++i) {
      const double us = std::floor((start + span * static_cast<double>(i) / kPerBlock) * 1e6);
      times[i] = us / 1e6;
    }
    start += span;
    const tiltgram::SampleColumns c =
        r.push_space(times.data(), kPerBlock, gyro, false, 21.5f, 0.0f, 0.0f);
    for (std::size_t i = 0; i < kPerBlock; ++i) {
      for (int a = 0; a < 3; ++a) c.acc[a][i] = static_cast<float>(static_cast<int>(rng() % 512) - 256) / 256.0f;
      if (gyro)
        for (int a = 0; a < 3; ++a) c.gyro[a][i] = static_cast<float>(static_cast<int>(rng() % 4096) - 2048) / 16.384f;
    }
    r.emit_ready(false);
  }
  r.emit_ready(true);
  std::printf("%zu rows\n", r.rows());
  return 0;
}

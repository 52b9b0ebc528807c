// Grid rows several at a time, in vector registers: eight with AVX-512, four with AVX2,
// chosen at run time. Every lane rounds exactly as the one-row code does, so the rows are
// the same to the bit.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tiltgram::resample_vector {

enum class Isa { kAvx2, kAvx512 };

// Whether this processor (and its operating system) runs the code for `isa`.
bool available(Isa isa) noexcept;

// Rows in a batch, and how far past the batch's first node its last bracket may lie (the
// nodes of a batch lie in a run of 2 * batch_rows consecutive samples).
constexpr std::size_t batch_rows(Isa isa) noexcept { return isa == Isa::kAvx512 ? 8 : 4; }
constexpr std::size_t batch_reach(Isa isa) noexcept { return 2 * batch_rows(isa) - 3; }

// Up to batch_rows rows whose four nodes lie in one run of 2 * batch_rows consecutive
// queued samples. Row r has its bracket at run position o (its nodes at o - 1 .. o + 2;
// see rows()), and the cubic may use its four nodes when bit r of `nodes` is set (a
// sample before the bracket and one after it exist).
struct RowBatch {
  const double* times;        // the run's times: 16 readable
  const float* values[6];     // the run of each always-computed channel, or null when absent
  float* out[6];              // where row 0 of each channel goes (null when absent); room
                              // for batch_rows rows
  std::int64_t* time_out;     // where row 0's timestamp goes; room for batch_rows rows
  const double* grid;         // the rows' grid times: 8 readable, 64-byte aligned
  std::uint32_t rows;         // 1..batch_rows
  std::uint32_t nodes;        // bit r: row r has a node before and after its bracket

  // Gyroscope and magnetometer, when `sensors` is set: the runs of the six channels (NaN
  // where absent) and of the presence bits (bit k: channel k present). A row on a sample's
  // time copies that sample's values and presence; otherwise a channel is present when
  // either bracket sample has any of the six and the interpolated value is a number.
  bool sensors;
  const float* sensor_values[6];
  const std::uint32_t* present;
  // Results: row r of channel k (NaN when absent) and bit r set when present.
  alignas(32) float sensor_rows[6][8];
  std::uint32_t sensor_present[6];
};

// The code for each instruction set, behind the functions below.
namespace avx512 {
void grid_times(double origin_ms, double origin_s, double step_ms, std::uint64_t n0,
                double* out) noexcept;
void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept;
void rows(RowBatch& batch, std::uint64_t offsets) noexcept;
}  // namespace avx512
namespace sse2 {
void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept;
}  // namespace sse2
namespace avx2 {
void grid_times(double origin_ms, double origin_s, double step_ms, std::uint64_t n0,
                double* out) noexcept;
void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept;
void rows(RowBatch& batch, std::uint64_t offsets) noexcept;
}  // namespace avx2

// out[r] = grid time of point n0 + r in seconds, r < batch_rows(isa):
// (origin_ms + (n0 + r) * step_ms) / 1000.0, and origin_s for point 0. `out` is 64-byte
// aligned.
inline void grid_times(Isa isa, double origin_ms, double origin_s, double step_ms,
                       std::uint64_t n0, double* out) noexcept {
  if (isa == Isa::kAvx512) {
    avx512::grid_times(origin_ms, origin_s, step_ms, n0, out);
  } else {
    avx2::grid_times(origin_ms, origin_s, step_ms, n0, out);
  }
}

// out[i] = us[i] (as a double) / 1,000,000.0 for i < n: sample times in seconds.
inline void seconds(Isa isa, const std::int64_t* us, std::size_t n, double* out) noexcept {
  if (isa == Isa::kAvx512) {
    avx512::seconds(us, n, out);
  } else {
    avx2::seconds(us, n, out);
  }
}

// Writes the batch's timestamps and channel values (and its sensor results). Byte r of
// `offsets` is the bracket position of row r in the run (1..batch_reach; 1 for the bytes
// from `rows` on). The offsets come in a register: eight small stores read back as one
// vector would stall the load.
inline void rows(Isa isa, RowBatch& batch, std::uint64_t offsets) noexcept {
  if (isa == Isa::kAvx512) {
    avx512::rows(batch, offsets);
  } else {
    avx2::rows(batch, offsets);
  }
}

}  // namespace tiltgram::resample_vector

// Grid rows several at a time, in vector lanes: eight doubles with AVX-512, four with
// AVX2, two with SSE2 (or the plain build on other processors), chosen at run time. The
// arithmetic is written once (resample_kernel.inc) and compiled for each instruction set;
// every lane rounds exactly as the one-row code does, so the rows are the same to the bit.
#pragma once

#include <cstddef>
#include <cstdint>

#include "package/decode/isa.hpp"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define TG_X86_KERNELS 1
#endif

namespace tiltgram::resample_vector {

// Rows in a batch. Each row's four nodes are gathered on their own, so the rows of a batch
// may lie any distance apart (a queue holds far fewer than 2^31 samples).
constexpr std::size_t kBatchRows = 8;

// Up to kBatchRows rows whose four nodes lie at or after a run's start (one sample before
// it is readable too). Row r has its bracket at run position o (its nodes at o - 1 .. o + 2;
// its nodes at o - 1 .. o + 2), and the cubic may use its four nodes when bit r of `nodes`
// is set (a sample before the bracket and one after it exist).
struct RowBatch {
  const double* times;        // the run's times: from one before, to 2 past the last node
  const float* values[6];     // the run of each always-computed channel, or null when absent
  float* out[6];              // where row 0 of each channel goes (null when absent); room
                              // for kBatchRows rows
  std::int64_t* time_out;     // where row 0's timestamp goes; room for kBatchRows rows
  const double* grid;         // the rows' grid times: 8 readable, 64-byte aligned
  std::uint32_t rows;         // 1..kBatchRows
  std::uint32_t nodes;        // bit r: row r has a node before and after its bracket
  std::int32_t at[8];         // the bracket positions o of rows 0..7 (a row from `rows` on
                              // repeats row 0's)

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

// Rows at consecutive grid points from n (at least 1) on, while each row can be emitted
// with all four nodes: its bracket (found from `cursor` as the one-row code finds it), the
// sample before it and the sample after it queued, its time below `end`. The
// always-computed channels, and the gyroscope and magnetometer channels that every queued
// sample from one before the cursor on has (all present in every row, each value a copy on
// a sample's time and interpolated between samples; a NaN result ends the run).
struct Run {
  const double* times;     // the queued times, from the queue's front
  std::size_t len;         // samples queued
  std::size_t cursor;      // in: where the bracket search starts; out: the last row's bracket
  std::uint64_t n;         // in: the first row's grid index; out: the next row's
  double origin_ms, step_ms;
  double end;              // the end bound, or infinity
  const float* values[6];  // the queued values of each always-computed channel, or null
  float* out[6];           // where the next row of each channel goes (null when absent)
  std::int64_t* time_out;  // where the next row's timestamp goes
  std::size_t room;        // rows that fit behind out and time_out
  bool numbers;            // no queued value of these channels is NaN
  // The queued samples' reading groups (see below), read when a reading channel
  // (temperature, light, battery) is among the always-computed ones.
  const std::uint32_t* groups;
  // The runs of the gyroscope and magnetometer channels the samples have (null for the
  // others; none unless `numbers`; three or six of them), and where their rows go.
  const float* sensor_values[6];
  float* sensor_out[6];
  // Out: the run stopped at a row whose bracket has no sample after it queued yet, so
  // the one-row code waits there too; `cursor` is then that row's bracket.
  bool waits;
};

// Reading groups. The block readings (temperature, light, battery) are the same on every
// sample of a block, so a row's four nodes mostly carry one value y of each: samples of
// one group (Run::groups) carry the same finite, non-zero values, and group numbers never
// decrease along the queue, so nodes from lo to hi are all of one group when the first
// and the last are. The cubic of such a row, ((l0 y + l1 y) + l2 y) + l3 y rounded to
// float, is then y itself whenever |l0| + |l1| + |l2| + |l3| <= 1024, and the runs store
// y without computing it. Why: the Lagrange weights of exact node times at an exact grid
// time sum to 1; the computed ones carry at most 11 roundings each (three differences and
// two products over and under the division, and the division), so their sum is within
// 12u S of 1 (u = 2^-53, S the sum of their sizes); the four products and three sums add
// at most 4u S |y|. The double result is within 16u S |y| <= 2^-39 |y| of y, far inside
// the half float step around y (at least 2^-25 |y|), so it rounds to y. (Weights or
// products that leave the normal doubles add absolute errors below 2^-900, far below
// the smallest float step; y is non-zero, so no sign of zero is at stake.)
constexpr double kFlatWeights = 1024.0;

// A run's channels in one list: the always-computed ones present, then the gyroscope and
// magnetometer ones its samples have.
struct RunChannels {
  const float* in[12];
  float* out[12];
  int always = 0, sensors = 0;
  explicit RunChannels(const Run& r) noexcept {
    for (int ch = 0; ch < 6; ++ch) {
      if (r.values[ch] == nullptr) continue;
      in[always] = r.values[ch];
      out[always++] = r.out[ch];
    }
    for (int k = 0; k < 6; ++k) {
      if (r.sensor_values[k] == nullptr) continue;
      in[always + sensors] = r.sensor_values[k];
      out[always + sensors++] = r.sensor_out[k];
    }
  }
};

// The code for each instruction set, behind the functions below (the same in each
// namespace; the AVX2 and AVX-512 ones exist on x86-64 only).
#define TG_ROW_KERNEL_ENTRY_POINTS                                                       \
  void grid_times(double origin_ms, double origin_s, double step_ms, std::uint64_t n0,  \
                  double* out) noexcept;                                                 \
  void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept;            \
  void rows(RowBatch& batch) noexcept;                                                   \
  std::size_t run(Run& run) noexcept;
namespace sse2 {
TG_ROW_KERNEL_ENTRY_POINTS
}  // namespace sse2
#if defined(TG_X86_KERNELS)
namespace avx2 {
TG_ROW_KERNEL_ENTRY_POINTS
}  // namespace avx2
namespace avx512 {
TG_ROW_KERNEL_ENTRY_POINTS
}  // namespace avx512
#define TG_ROW_KERNEL(isa, call)                        \
  ((isa) == IsaLevel::kAvx512 ? avx512::call            \
   : (isa) == IsaLevel::kAvx2 ? avx2::call : sse2::call)
#else
#define TG_ROW_KERNEL(isa, call) ((void)(isa), sse2::call)
#endif
#undef TG_ROW_KERNEL_ENTRY_POINTS

// out[r] = grid time of point n0 + r in seconds, r < kBatchRows:
// (origin_ms + (n0 + r) * step_ms) / 1000.0, and origin_s for point 0. `out` is 64-byte
// aligned.
inline void grid_times(IsaLevel isa, double origin_ms, double origin_s, double step_ms,
                       std::uint64_t n0, double* out) noexcept {
  TG_ROW_KERNEL(isa, grid_times(origin_ms, origin_s, step_ms, n0, out));
}

// out[i] = us[i] (as a double) / 1,000,000.0 for i < n: sample times in seconds.
inline void seconds(IsaLevel isa, const std::int64_t* us, std::size_t n, double* out) noexcept {
  TG_ROW_KERNEL(isa, seconds(us, n, out));
}

// Writes the batch's timestamps and channel values (and its sensor results). The caller
// leaves room for kBatchRows rows behind each output.
inline void rows(IsaLevel isa, RowBatch& batch) noexcept { TG_ROW_KERNEL(isa, rows(batch)); }

// Rows of a run in a stretch: their grid times are computed first (the search's branches
// then wait on no division), then their brackets are found and their values computed a
// few at a time. Where the grid is about as fine as the data, each row's bracket is one
// sample on from the last one's, which one vector comparison confirms for a group of rows
// (see steps_of_one in the codes); other rows are searched one by one (search_rows).
constexpr std::size_t kStretch = 64;

// How many of the `rows` grid times of a stretch lie before the run's end bound: a time at
// or after it (or NaN) ends the read, which is left to the caller. Grid times never
// decrease, so only a stretch whose last time is not before it has rows past it.
inline std::size_t rows_before_end(const Run& r, const double* grid, std::size_t rows) noexcept {
  if (grid[rows - 1] < r.end) return rows;
  std::size_t before_end = 0;
  while (before_end < rows && grid[before_end] < r.end) ++before_end;
  return before_end;
}

// The brackets of the n grid times from g, searched one by one from bracket k as the
// one-row code searches them, into at[]; k is left at the last one found. Returns how many
// can be emitted in a run: fewer than n when a row's bracket has no sample after it queued
// yet (`waits` set, k then that row's bracket, where the one-row code leaves its cursor).
// The search moves past samples before each grid time and grid times never decrease, so
// a row's left bracket sample is before its time; and every row follows one whose bracket
// had a sample after it queued (k + 2 < len), so the first two steps need no bound check.
// (The right bracket sample is then not before the time: the search stopped at it, not at
// the end of the queue.)
inline std::size_t search_rows(const double* times, std::size_t len, const double* g,
                               std::size_t n, std::size_t& k, std::int32_t* at,
                               bool& waits) noexcept {
  const std::size_t last = len - 2;  // a bracket from here has no sample after it queued
  for (std::size_t i = 0; i < n; ++i) {
    const double ti = g[i];
    if (times[k + 1] < ti) {
      ++k;
      if (times[k + 1] < ti) {
        ++k;
        while (k + 1 < len && times[k + 1] < ti) ++k;
      }
    }
    if (k >= last) {
      waits = true;
      return i;
    }
    at[i] = static_cast<std::int32_t>(k);
  }
  return n;
}

// How many grid points from r.n the next stretch of a run takes, `done` rows in: a multiple
// of `group` (a power of two up to 8) that fits the room behind the outputs and stays below 2^52 (where n
// converts to a double exactly), and about as many as lie before the last queued sample
// but one, and four more (an estimate: a stretch that ends without a stop is followed by
// another), so that rows waiting for the next block cost no divisions. 0: none.
inline std::size_t run_stretch(const Run& r, std::size_t done, std::size_t group) noexcept {
  constexpr std::uint64_t kExact = std::uint64_t{1} << 52;
  const std::size_t mask = ~(group - 1);
  std::size_t rows = r.room - done < kStretch ? (r.room - done) & mask : kStretch;
  if (r.n + rows > kExact) rows = static_cast<std::size_t>(kExact - r.n) & mask;
  if (rows == 0) return 0;
  const double reach = (r.times[r.len - 2] * 1000.0 - r.origin_ms) / r.step_ms -
                       static_cast<double>(r.n) + 4.0;
  if (!(reach < static_cast<double>(rows))) return rows;
  const std::size_t unit = group > 4 ? group : 4;
  const std::size_t some =
      reach > static_cast<double>(unit) ? static_cast<std::size_t>(reach) & ~(unit - 1) : unit;
  return some < rows ? some : rows;
}

// Whether any of the n values is NaN.
bool any_nan(const float* values, std::size_t n) noexcept;

// Emits a run of rows (see Run) a few at a time, and returns how many; stops early, leaving
// the rest to the batches, at the first group of rows that cannot all be emitted.
inline std::size_t run(IsaLevel isa, Run& r) noexcept { return TG_ROW_KERNEL(isa, run(r)); }

// The gyroscope and magnetometer results of row r for channel k, as the one-row code has
// them: a row on its left (on1) or right (on2) bracket sample copies that sample's value
// and presence bit k (p1, p2); between them the interpolated value counts when either
// bracket sample has any sensor channel and it is a number. Returns whether it is present
// and sets `out` (NaN when absent).
inline bool sensor_row(bool on1, bool on2, std::uint32_t p1, std::uint32_t p2, float copy1,
                       float copy2, float interpolated, int k, float& out) noexcept {
  bool on;
  float v = interpolated;
  if (on1) {
    on = ((p1 >> k) & 1) != 0;
    v = copy1;
  } else if (on2) {
    on = ((p2 >> k) & 1) != 0;
    v = copy2;
  } else {
    on = (p1 | p2) != 0 && v == v;
  }
  out = on ? v : __builtin_bit_cast(float, std::uint32_t{0x7FC00000});
  return on;
}

}  // namespace tiltgram::resample_vector

// Eight grid rows at a time with AVX2, as two sets of four lanes, for processors without
// AVX-512.
//
// The same operations as the AVX-512 code and the one-row code, lane by lane. Each row's
// four nodes are consecutive samples, loaded on their own and transposed into lanes, so the
// rows of a batch may lie any distance apart (at 30 Hz on 100 Hz data, 13 samples).

#include "header/time.hpp"
#include "package/resample_vector.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#define TG_AVX2 __attribute__((target("avx2")))
// Called once per channel: inlined, its shared weights stay in registers.
#define TG_INLINE inline __attribute__((always_inline))

namespace tiltgram::resample_vector::avx2 {

TG_AVX2 void grid_times(double origin_ms, double origin_s, double step_ms, std::uint64_t n0,
                        double* out) noexcept {
  for (std::uint64_t h = 0; h < 8; h += 4) {
    // m + r as a double: exact below 2^53, where one conversion plus r is the same number.
    const std::uint64_t m = n0 + h;
    __m256d n;
    if (m < (std::uint64_t{1} << 52)) {
      n = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(m)), _mm256_setr_pd(0.0, 1.0, 2.0, 3.0));
    } else {
      n = _mm256_setr_pd(static_cast<double>(m), static_cast<double>(m + 1),
                         static_cast<double>(m + 2), static_cast<double>(m + 3));
    }
    _mm256_store_pd(out + h, _mm256_div_pd(_mm256_add_pd(_mm256_set1_pd(origin_ms),
                                                         _mm256_mul_pd(n, _mm256_set1_pd(step_ms))),
                                           _mm256_set1_pd(1000.0)));
  }
  if (n0 == 0) out[0] = origin_s;
}

TG_AVX2 void seconds(const std::int64_t* us, std::size_t n, double* out) noexcept {
  const __m256d million = _mm256_set1_pd(1000000.0);
  // 0 <= v < 2^52 converts exactly as the double with v's bits under 2^52's, minus 2^52.
  const __m256i two52_bits = _mm256_set1_epi64x(0x4330000000000000);
  const __m256i high = _mm256_set1_epi64x(static_cast<long long>(0xFFF0000000000000u));
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256i v = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(us + i));
    __m256d x;
    if (_mm256_testz_si256(v, high)) {
      x = _mm256_sub_pd(_mm256_castsi256_pd(_mm256_or_si256(v, two52_bits)),
                        _mm256_castsi256_pd(two52_bits));
    } else {
      x = _mm256_setr_pd(static_cast<double>(us[i]), static_cast<double>(us[i + 1]),
                         static_cast<double>(us[i + 2]), static_cast<double>(us[i + 3]));
    }
    _mm256_storeu_pd(out + i, _mm256_div_pd(x, million));
  }
  for (; i < n; ++i) out[i] = static_cast<double>(us[i]) / 1000000.0;
}

namespace {

TG_AVX2 inline __m256d product3(__m256d a, __m256d b, __m256d c) noexcept {
  return _mm256_mul_pd(_mm256_mul_pd(a, b), c);
}

TG_AVX2 inline __m256d absolute(__m256d x) noexcept {
  return _mm256_andnot_pd(_mm256_set1_pd(-0.0), x);
}

TG_AVX2 inline int lanes_of(__m256d mask) noexcept { return _mm256_movemask_pd(mask); }

// All-ones lanes for the set bits 0..3 of `bits`.
TG_AVX2 inline __m256d lanes_from(int bits) noexcept {
  const __m256i bit = _mm256_setr_epi64x(1, 2, 4, 8);
  return _mm256_castsi256_pd(
      _mm256_cmpeq_epi64(_mm256_and_si256(_mm256_set1_epi64x(bits), bit), bit));
}

struct Weights {
  // Where each row's four nodes are: rows at any positions (`at`, their brackets), or
  // consecutive rows (row r's bracket at c0 + r), whose node k is one load for all four.
  alignas(16) std::int32_t at[4];
  std::int32_t c0, c3;  // the first and the last row's bracket
  bool consecutive;
  __m256d l0, l1, l2, l3;  // l1 and l3 negated
  __m256d cubic, flat;
  int lanes;
  __m256d a1, dt, weight;
  bool weighed;
};

// Node k of the four rows from a float run, as doubles.
TG_AVX2 TG_INLINE void nodes(const Weights& w, const float* run, __m256d y[4]) noexcept {
  if (w.consecutive) {
    const float* p = run + w.c0 - 1;
    y[0] = _mm256_cvtps_pd(_mm_loadu_ps(p));
    y[1] = _mm256_cvtps_pd(_mm_loadu_ps(p + 1));
    y[2] = _mm256_cvtps_pd(_mm_loadu_ps(p + 2));
    y[3] = _mm256_cvtps_pd(_mm_loadu_ps(p + 3));
    return;
  }
  // Each row's four consecutive values loaded on their own and transposed into lanes.
  __m128 v0 = _mm_loadu_ps(run + w.at[0] - 1);
  __m128 v1 = _mm_loadu_ps(run + w.at[1] - 1);
  __m128 v2 = _mm_loadu_ps(run + w.at[2] - 1);
  __m128 v3 = _mm_loadu_ps(run + w.at[3] - 1);
  _MM_TRANSPOSE4_PS(v0, v1, v2, v3);
  y[0] = _mm256_cvtps_pd(v0);
  y[1] = _mm256_cvtps_pd(v1);
  y[2] = _mm256_cvtps_pd(v2);
  y[3] = _mm256_cvtps_pd(v3);
}

// The same for the times of the nodes.
TG_AVX2 TG_INLINE void node_times(const Weights& w, const double* times, __m256d tn[4]) noexcept {
  if (w.consecutive) {
    const double* p = times + w.c0 - 1;
    tn[0] = _mm256_loadu_pd(p);
    tn[1] = _mm256_loadu_pd(p + 1);
    tn[2] = _mm256_loadu_pd(p + 2);
    tn[3] = _mm256_loadu_pd(p + 3);
    return;
  }
  const __m256d r0 = _mm256_loadu_pd(times + w.at[0] - 1);
  const __m256d r1 = _mm256_loadu_pd(times + w.at[1] - 1);
  const __m256d r2 = _mm256_loadu_pd(times + w.at[2] - 1);
  const __m256d r3 = _mm256_loadu_pd(times + w.at[3] - 1);
  const __m256d even01 = _mm256_unpacklo_pd(r0, r1), odd01 = _mm256_unpackhi_pd(r0, r1);
  const __m256d even23 = _mm256_unpacklo_pd(r2, r3), odd23 = _mm256_unpackhi_pd(r2, r3);
  tn[0] = _mm256_permute2f128_pd(even01, even23, 0x20);
  tn[1] = _mm256_permute2f128_pd(odd01, odd23, 0x20);
  tn[2] = _mm256_permute2f128_pd(even01, even23, 0x31);
  tn[3] = _mm256_permute2f128_pd(odd01, odd23, 0x31);
}

// The cubic alone, for rows that all take it: every weight exists and no value is NaN.
// ((L0 y0 + L1 y1) + L2 y2) + L3 y3, with L1 and L3 held negated: x + L y is x - (-L) y
// to the bit.
TG_AVX2 TG_INLINE __m256d cubic_sum(const Weights& w, const __m256d y[4]) noexcept {
  return _mm256_sub_pd(
      _mm256_add_pd(_mm256_sub_pd(_mm256_mul_pd(w.l0, y[0]), _mm256_mul_pd(w.l1, y[1])),
                    _mm256_mul_pd(w.l2, y[2])),
      _mm256_mul_pd(w.l3, y[3]));
}

// ((t - t1) / dt) (y2 - y1) + y1, or y1 for a bracket under 1e-12 s; the quotient is
// computed once for all channels, on first need.
TG_AVX2 TG_INLINE __m256d linear_form(Weights& w, const __m256d y[4]) noexcept {
  if (!w.weighed) {
    w.weight = _mm256_div_pd(w.a1, w.dt);
    w.weighed = true;
  }
  const __m256d l = _mm256_add_pd(_mm256_mul_pd(w.weight, _mm256_sub_pd(y[2], y[1])), y[1]);
  return _mm256_blendv_pd(l, y[1], w.flat);
}

TG_AVX2 TG_INLINE __m128 cubic(const Weights& w, const float* run) noexcept {
  __m256d y[4];
  nodes(w, run, y);
  return _mm256_cvtpd_ps(cubic_sum(w, y));
}

TG_AVX2 TG_INLINE __m128 interpolate(Weights& w, const float* run) noexcept {
  __m256d y[4];
  nodes(w, run, y);
  __m256d r = cubic_sum(w, y);
  const __m256d nan = _mm256_or_pd(_mm256_cmp_pd(y[0], y[1], _CMP_UNORD_Q),
                                   _mm256_cmp_pd(y[2], y[3], _CMP_UNORD_Q));
  const __m256d linear = _mm256_andnot_pd(_mm256_andnot_pd(nan, w.cubic), lanes_from(w.lanes));
  if (lanes_of(linear) != 0) r = _mm256_blendv_pd(r, linear_form(w, y), linear);
  return _mm256_cvtpd_ps(r);
}

// The Lagrange weights and the linear form's terms of four rows at grid times t from their
// node times; `nodes` has bit r set when row r has a node before and after its bracket.
TG_AVX2 TG_INLINE void weigh(Weights& w, const __m256d tn[4], __m256d t, int nodes) noexcept {
  // t_j - t_i is exactly -(t_i - t_j) (rounding is symmetric), so six differences make
  // the four products; d1 and d3 have an odd number of negated factors and are kept
  // negated (n1, n3), and so are l1 and l3 (see cubic_sum).
  const __m256d a01 = _mm256_sub_pd(tn[0], tn[1]), a02 = _mm256_sub_pd(tn[0], tn[2]);
  const __m256d a03 = _mm256_sub_pd(tn[0], tn[3]), a12 = _mm256_sub_pd(tn[1], tn[2]);
  const __m256d a13 = _mm256_sub_pd(tn[1], tn[3]), a23 = _mm256_sub_pd(tn[2], tn[3]);
  const __m256d d0 = product3(a01, a02, a03);
  const __m256d n1 = product3(a01, a12, a13);
  const __m256d d2 = product3(a02, a12, a23);
  const __m256d n3 = product3(a03, a13, a23);
  const __m256d span = _mm256_set1_pd(1e-12);
  const __m256d big = _mm256_and_pd(
      _mm256_and_pd(_mm256_cmp_pd(absolute(d0), span, _CMP_GE_OQ),
                    _mm256_cmp_pd(absolute(n1), span, _CMP_GE_OQ)),
      _mm256_and_pd(_mm256_cmp_pd(absolute(d2), span, _CMP_GE_OQ),
                    _mm256_cmp_pd(absolute(n3), span, _CMP_GE_OQ)));
  w.cubic = _mm256_and_pd(big, lanes_from(w.lanes & nodes));
  const __m256d a0 = _mm256_sub_pd(t, tn[0]);
  const __m256d a1 = _mm256_sub_pd(t, tn[1]);
  const __m256d a2 = _mm256_sub_pd(t, tn[2]);
  const __m256d a3 = _mm256_sub_pd(t, tn[3]);
  // Lanes without the cubic may divide by zero; their weights are never used.
  w.l0 = _mm256_div_pd(product3(a1, a2, a3), d0);
  w.l1 = _mm256_div_pd(product3(a0, a2, a3), n1);
  w.l2 = _mm256_div_pd(product3(a0, a1, a3), d2);
  w.l3 = _mm256_div_pd(product3(a0, a1, a2), n3);
  w.a1 = a1;
  w.dt = _mm256_sub_pd(tn[2], tn[1]);
  w.flat = _mm256_cmp_pd(absolute(w.dt), span, _CMP_LT_OQ);
  w.weight = _mm256_setzero_pd();
  w.weighed = false;
}

// The rows' timestamps: t * 1e6 microseconds truncated, `rows` of them (room for four).
// AVX2 has no conversion to int64, but 0 <= x < 2^52 truncated converts exactly through
// the bits of trunc(x) + 2^52.
// `fit`: all four are known to lie in that range.
TG_AVX2 TG_INLINE void microseconds(__m256d t, std::int64_t* out, std::uint32_t rows,
                                    bool fit = false) noexcept {
  const __m256d x = _mm256_mul_pd(t, _mm256_set1_pd(1000000.0));
  const __m256d two52 = _mm256_set1_pd(4503599627370496.0);
  if (fit || lanes_of(_mm256_and_pd(_mm256_cmp_pd(x, _mm256_setzero_pd(), _CMP_GE_OQ),
                                    _mm256_cmp_pd(x, two52, _CMP_LT_OQ))) == 0xF) {
    const __m256d whole = _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out),
                        _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(whole, two52)),
                                         _mm256_castpd_si256(two52)));
  } else {
    alignas(32) double us[4];
    _mm256_store_pd(us, x);
    for (std::uint32_t r = 0; r < rows; ++r) out[r] = saturating_us(us[r]);
  }
}

// Rows h .. h + 3 of the batch (those below b.rows count).
TG_AVX2 TG_INLINE void quad(RowBatch& b, std::uint32_t h) noexcept {
  const std::uint32_t rows = b.rows - h < 4 ? b.rows - h : 4;
  Weights w;
  w.lanes = static_cast<int>((1u << rows) - 1u);
  for (int r = 0; r < 4; ++r) w.at[r] = b.at[h + r];
  w.consecutive = false;
  __m256d tn[4];
  node_times(w, b.times, tn);
  const __m256d t = _mm256_load_pd(b.grid + h);
  weigh(w, tn, t, static_cast<int>(b.nodes >> h));

  // The caller leaves room for a whole batch behind each column's end.
  for (int ch = 0; ch < 6; ++ch) {
    if (b.values[ch] == nullptr) continue;
    _mm_storeu_ps(b.out[ch] + h, interpolate(w, b.values[ch]));
  }

  if (b.sensors) {
    const int on1 = lanes_of(_mm256_cmp_pd(t, tn[1], _CMP_EQ_OQ));
    const int on2 = lanes_of(_mm256_cmp_pd(t, tn[2], _CMP_EQ_OQ)) & ~on1;
    for (int k = 0; k < 6; ++k) {
      const float* run = b.sensor_values[k];
      alignas(16) float value[4];
      _mm_store_ps(value, interpolate(w, run));
      for (std::uint32_t r = 0; r < rows; ++r) {
        const int c = w.at[r];
        if (sensor_row((on1 >> r) & 1, (on2 >> r) & 1, b.present[c], b.present[c + 1], run[c],
                       run[c + 1], value[r], k, b.sensor_rows[k][h + r]))
          b.sensor_present[k] |= 1u << (h + r);
      }
    }
  }
  microseconds(t, b.time_out + h, rows);
}

}  // namespace

TG_AVX2 void rows(RowBatch& b) noexcept {
  if (b.sensors)
    for (std::uint32_t& p : b.sensor_present) p = 0;
  quad(b, 0);
  if (b.rows > 4) quad(b, 4);
}

namespace {

// Four consecutive grid points of a run, ready for their channels: their times, brackets
// and weights.
// A gyroscope or magnetometer channel of four rows whose nodes all have it, none NaN:
// a row on a sample's time copies its value, the others are interpolated (on1, on2: the
// rows on their left and on their right bracket sample's time). False when an
// interpolated value is NaN (absent by the rule: left to the batches).
TG_AVX2 TG_INLINE bool sensor(Weights& w, bool all_cubic, __m256d on1, __m256d on2,
                              const float* run, float* out) noexcept {
  __m256d y[4];
  nodes(w, run, y);
  __m256d r = cubic_sum(w, y);
  if (!all_cubic) r = _mm256_blendv_pd(linear_form(w, y), r, w.cubic);
  // Numbers convert to double and back unchanged, so the copies are the stored values.
  r = _mm256_blendv_pd(r, y[1], on1);
  r = _mm256_blendv_pd(r, y[2], on2);
  _mm_storeu_ps(out, _mm256_cvtpd_ps(r));
  return lanes_of(_mm256_cmp_pd(r, r, _CMP_UNORD_Q)) == 0;
}

// Where the nodes of four rows with brackets at[0..3] lie (see Weights).
TG_AVX2 TG_INLINE void place(Weights& w) noexcept {
  const __m128i b = _mm_load_si128(reinterpret_cast<const __m128i*>(w.at));
  w.lanes = 0xF;
  w.c0 = w.at[0];
  w.c3 = w.at[3];
  const __m128i from = _mm_sub_epi32(b, _mm_set1_epi32(w.at[0]));
  w.consecutive = _mm_movemask_epi8(_mm_cmpeq_epi32(from, _mm_setr_epi32(0, 1, 2, 3))) == 0xFFFF;
}

// Whether four rows at grid times t have their brackets one sample apart from the sample
// after bracket k on, as the search finds them: each row's search moves once (p[r] < t_r,
// p = times + k + 1) and stops there (p[r + 1] not before t_r). Their node times are then
// loaded at once.
TG_AVX2 TG_INLINE bool steps_of_one(Weights& w, const double* times, std::size_t k, __m256d t,
                                    __m256d tn[4]) noexcept {
  tn[1] = _mm256_loadu_pd(times + k + 1);
  tn[2] = _mm256_loadu_pd(times + k + 2);
  const __m256d moves = _mm256_cmp_pd(tn[1], t, _CMP_LT_OQ);
  const __m256d stays = _mm256_cmp_pd(tn[2], t, _CMP_LT_OQ);
  if (lanes_of(_mm256_andnot_pd(stays, moves)) != 0xF) return false;
  tn[0] = _mm256_loadu_pd(times + k);
  tn[3] = _mm256_loadu_pd(times + k + 3);
  w.lanes = 0xF;
  w.consecutive = true;
  w.c0 = static_cast<std::int32_t>(k + 1);
  w.c3 = static_cast<std::int32_t>(k + 4);
  return true;
}

// Four grid points at a time, until four cannot all be emitted in a run (the rows found
// before that are emitted too, the last group's missing rows repeating its last row,
// their results written but not counted: there is room for whole groups). kChannels
// channels, their runs and outputs in `in` and `out`: a known count keeps the weights in
// registers across them. With kNumbers no queued value is NaN, so four rows whose weights
// all exist are cubic in every channel.
template <int kChannels, int kSensors, bool kNumbers>
TG_AVX2 std::size_t run_channels(Run& r, const float* const* in, float* const* out) noexcept {
  const double* times = r.times;
  const std::size_t len = r.len;
  std::size_t k = r.cursor;
  if (k < 1 || k + 2 >= len) return 0;
  // Locals, not the fields of r, which the timestamp stores might alias.
  const std::uint32_t* groups = r.groups;
  std::int64_t* time_out = r.time_out;
  alignas(32) double grid[kStretch];
  std::size_t done = 0;
  bool first = true;
  for (;;) {
    const std::size_t want = run_stretch(r, done, 4);
    if (want == 0) break;
    const __m256d origin = _mm256_set1_pd(r.origin_ms), step = _mm256_set1_pd(r.step_ms);
    for (std::size_t i = 0; i < want; i += 4) {
      // t_n = (origin_ms + n * step_ms) / 1000.0, n converted exactly (below 2^52).
      const __m256d nd = _mm256_add_pd(_mm256_set1_pd(static_cast<double>(r.n + i)),
                                       _mm256_setr_pd(0.0, 1.0, 2.0, 3.0));
      _mm256_store_pd(grid + i, _mm256_div_pd(_mm256_add_pd(origin, _mm256_mul_pd(nd, step)),
                                              _mm256_set1_pd(1000.0)));
    }
    // The run's first row must not lie before its left bracket sample.
    if (first && grid[0] < times[k]) break;
    first = false;
    const std::size_t before_end = rows_before_end(r, grid, want);
    // Grid times never decrease, nor do their products with 1e6: when the first and the
    // last are in microseconds() range, all are.
    const bool fit = grid[0] * 1000000.0 >= 0.0 && grid[want - 1] * 1000000.0 < 4503599627370496.0;
    bool waits = false;
    std::size_t h = 0;
    for (; h < before_end; h += 4) {
      const std::size_t from = k;  // the bracket of the row before these
      Weights w;
      __m256d tn[4];
      __m256d t = _mm256_load_pd(grid + h);
      std::size_t rows = 4;
      if (h + 4 > before_end || k + 6 >= len || !steps_of_one(w, times, k, t, tn)) {
        rows = search_rows(times, len, grid + h, before_end - h < 4 ? before_end - h : 4, k,
                           w.at, waits);
        if (rows == 0) break;
        for (std::size_t j = rows; j < 4; ++j) {
          w.at[j] = w.at[rows - 1];
          grid[h + j] = grid[h + rows - 1];
        }
        t = _mm256_load_pd(grid + h);
        place(w);
        node_times(w, times, tn);
      } else {
        k += 4;
      }
      weigh(w, tn, t, 0xF);
      const bool all_cubic = kNumbers && lanes_of(w.cubic) == 0xF;
      if (all_cubic) {
        // The accelerometer, then the readings: one value per row when their nodes are of
        // one reading group and the weights moderate (see kFlatWeights).
#pragma GCC unroll 3
        for (int ch = 0; ch < 3; ++ch) _mm_storeu_ps(out[ch] + done, cubic(w, in[ch]));
        if constexpr (kChannels > 3) {
          const __m256d size = _mm256_add_pd(_mm256_add_pd(absolute(w.l0), absolute(w.l1)),
                                             _mm256_add_pd(absolute(w.l2), absolute(w.l3)));
          if (groups[w.c0 - 1] == groups[w.c3 + 2] &&
              lanes_of(_mm256_cmp_pd(size, _mm256_set1_pd(kFlatWeights), _CMP_LE_OQ)) == 0xF) {
#pragma GCC unroll 3
            for (int ch = 3; ch < kChannels; ++ch)
              _mm_storeu_ps(out[ch] + done, _mm_set1_ps(in[ch][w.c0]));
          } else {
#pragma GCC unroll 3
            for (int ch = 3; ch < kChannels; ++ch)
              _mm_storeu_ps(out[ch] + done, cubic(w, in[ch]));
          }
        }
      } else {
#pragma GCC unroll 6
        for (int ch = 0; ch < kChannels; ++ch)
          _mm_storeu_ps(out[ch] + done, interpolate(w, in[ch]));
      }
      if constexpr (kSensors > 0) {
        const __m256d on1 = _mm256_cmp_pd(t, tn[1], _CMP_EQ_OQ);
        const __m256d on2 = _mm256_andnot_pd(on1, _mm256_cmp_pd(t, tn[2], _CMP_EQ_OQ));
        bool numbers = true;
#pragma GCC unroll 6
        for (int c = kChannels; c < kChannels + kSensors; ++c)
          numbers = sensor(w, all_cubic, on1, on2, in[c], out[c] + done) && numbers;
        if (!numbers) {
          // These rows are left to the batches.
          r.cursor = from;
          r.n += h;
          return done;
        }
      }
      microseconds(t, time_out + done, 4, fit);
      done += rows;
      if (rows < 4) {
        h += rows;
        break;
      }
    }
    r.cursor = k;
    r.n += h;
    if (h < want) {
      r.waits = waits;
      break;
    }
  }
  return done;
}

template <int kChannels>
TG_AVX2 std::size_t run_with(Run& r, int sensors, const float* const* in,
                             float* const* out) noexcept {
  if (sensors == 0) {
    return r.numbers ? run_channels<kChannels, 0, true>(r, in, out)
                     : run_channels<kChannels, 0, false>(r, in, out);
  }
  if (!r.numbers) return 0;
  if (sensors == 3) return run_channels<kChannels, 3, true>(r, in, out);
  if (sensors == 6) return run_channels<kChannels, 6, true>(r, in, out);
  return 0;
}

}  // namespace

TG_AVX2 std::size_t run(Run& r) noexcept {
  r.waits = false;
  const RunChannels c(r);
  switch (c.always) {
    case 3: return run_with<3>(r, c.sensors, c.in, c.out);
    case 4: return run_with<4>(r, c.sensors, c.in, c.out);
    case 5: return run_with<5>(r, c.sensors, c.in, c.out);
    default: return run_with<6>(r, c.sensors, c.in, c.out);
  }
}

}  // namespace tiltgram::resample_vector::avx2

#endif

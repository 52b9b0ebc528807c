// Eight grid rows at a time with SSE2, the x86-64 baseline, as four pairs of double lanes.
//
// The same operations as the one-row code, lane by lane (see resample_vector.cpp). Each
// row's four nodes are consecutive samples: two rows' nodes are loaded on their own and
// interleaved into lanes, so the rows of a batch may lie any distance apart.
#include "header/time.hpp"
#include "package/resample_vector.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <emmintrin.h>

#include <bit>
// Called once per channel: inlined, the shared weights stay in registers.
#define TG_INLINE inline __attribute__((always_inline))

namespace tiltgram::resample_vector::sse2 {

void grid_times(double origin_ms, double origin_s, double step_ms, std::uint64_t n0,
                double* out) noexcept {
  const __m128d origin = _mm_set1_pd(origin_ms), step = _mm_set1_pd(step_ms);
  const __m128d thousand = _mm_set1_pd(1000.0);
  for (std::uint64_t h = 0; h < 8; h += 2) {
    // n0 + h + r as a double: exact below 2^53, where one conversion plus r is the same.
    const std::uint64_t m = n0 + h;
    const __m128d n = m < (std::uint64_t{1} << 52)
                          ? _mm_add_pd(_mm_set1_pd(static_cast<double>(m)), _mm_setr_pd(0.0, 1.0))
                          : _mm_setr_pd(static_cast<double>(m), static_cast<double>(m + 1));
    _mm_store_pd(out + h, _mm_div_pd(_mm_add_pd(origin, _mm_mul_pd(n, step)), thousand));
  }
  if (n0 == 0) out[0] = origin_s;
}

namespace {

inline __m128d product3(__m128d a, __m128d b, __m128d c) noexcept {
  return _mm_mul_pd(_mm_mul_pd(a, b), c);
}

// Constants as 16-byte loads: a vector built from a scalar each time costs two
// instructions, and there are too few registers to hold them all.
struct alignas(16) Constant {
  double lanes[2];
  operator __m128d() const noexcept { return _mm_load_pd(lanes); }
};
constexpr std::uint64_t kMagnitudeBits = 0x7FFFFFFFFFFFFFFF;
constexpr Constant kMagnitude{{std::bit_cast<double>(kMagnitudeBits),
                               std::bit_cast<double>(kMagnitudeBits)}};
constexpr Constant kSpan{{1e-12, 1e-12}};
constexpr Constant kMillion{{1000000.0, 1000000.0}};
constexpr Constant kThousand{{1000.0, 1000.0}};
constexpr Constant kFlat{{kFlatWeights, kFlatWeights}};
constexpr Constant kInt64Top{{9223372036854774784.0, 9223372036854774784.0}};
constexpr Constant kInt64Bottom{{-9223372036854775808.0, -9223372036854775808.0}};

inline __m128d absolute(__m128d x) noexcept { return _mm_and_pd(x, kMagnitude); }

// a where `mask` is set, b elsewhere.
inline __m128d select(__m128d mask, __m128d a, __m128d b) noexcept {
  return _mm_or_pd(_mm_and_pd(mask, a), _mm_andnot_pd(mask, b));
}

// All-ones lanes for the set bits 0..1 of `bits`.
inline __m128d lanes_from(std::uint32_t bits) noexcept {
  return _mm_castsi128_pd(_mm_set_epi64x(-static_cast<long long>((bits >> 1) & 1),
                                         -static_cast<long long>(bits & 1)));
}

// What the channels of a pair of rows share: the first nodes' positions, the Lagrange
// weights, and the linear form's terms (its weight computed on first need).
struct Pair {
  int p0, p1;  // run positions of the first node of each row
  __m128d l0, l1, l2, l3;  // l1 and l3 negated
  __m128d lanes, cubic, flat;
  __m128d a1, dt, weight;
  bool weighed;
};

// Node k of both rows from a float run, as doubles.
TG_INLINE void nodes(const Pair& w, const float* run, __m128d y[4]) noexcept {
  if (w.p1 == w.p0 + 1) {
    // Consecutive rows: node k of both is one pair of floats (a 64-bit load, unaligned).
    const float* p = run + w.p0;
    y[0] = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p))));
    y[1] = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 1))));
    y[2] = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 2))));
    y[3] = _mm_cvtps_pd(_mm_castsi128_ps(_mm_loadl_epi64(reinterpret_cast<const __m128i*>(p + 3))));
    return;
  }
  const __m128 a = _mm_loadu_ps(run + w.p0);
  const __m128 b = _mm_loadu_ps(run + w.p1);
  const __m128 lo = _mm_unpacklo_ps(a, b);  // a0 b0 a1 b1
  const __m128 hi = _mm_unpackhi_ps(a, b);  // a2 b2 a3 b3
  y[0] = _mm_cvtps_pd(lo);
  y[1] = _mm_cvtps_pd(_mm_movehl_ps(lo, lo));
  y[2] = _mm_cvtps_pd(hi);
  y[3] = _mm_cvtps_pd(_mm_movehl_ps(hi, hi));
}

// The cubic alone, for rows that both take it: every weight exists and no value is NaN.
// ((L0 y0 + L1 y1) + L2 y2) + L3 y3, with L1 and L3 held negated (see avx2::cubic_sum).
TG_INLINE __m128d cubic_sum(const Pair& w, const __m128d y[4]) noexcept {
  return _mm_sub_pd(_mm_add_pd(_mm_sub_pd(_mm_mul_pd(w.l0, y[0]), _mm_mul_pd(w.l1, y[1])),
                               _mm_mul_pd(w.l2, y[2])),
                    _mm_mul_pd(w.l3, y[3]));
}

// ((t - t1) / dt) (y2 - y1) + y1, or y1 for a bracket under 1e-12 s; the quotient is
// computed once for all channels, on first need.
TG_INLINE __m128d linear_form(Pair& w, const __m128d y[4]) noexcept {
  if (!w.weighed) {
    w.weight = _mm_div_pd(w.a1, w.dt);
    w.weighed = true;
  }
  const __m128d l = _mm_add_pd(_mm_mul_pd(w.weight, _mm_sub_pd(y[2], y[1])), y[1]);
  return select(w.flat, y[1], l);
}

TG_INLINE __m128 cubic(const Pair& w, const float* run) noexcept {
  __m128d y[4];
  nodes(w, run, y);
  return _mm_cvtpd_ps(cubic_sum(w, y));
}

// One channel of the pair: the cubic where the lane's weights exist and its four values
// are numbers, the linear form otherwise. The two floats are in the low half.
TG_INLINE __m128 interpolate(Pair& w, const float* run) noexcept {
  __m128d y[4];
  nodes(w, run, y);
  __m128d r = cubic_sum(w, y);
  const __m128d nan = _mm_or_pd(_mm_cmpunord_pd(y[0], y[1]), _mm_cmpunord_pd(y[2], y[3]));
  const __m128d linear = _mm_andnot_pd(_mm_andnot_pd(nan, w.cubic), w.lanes);
  if (_mm_movemask_pd(linear) != 0) r = select(linear, linear_form(w, y), r);
  return _mm_cvtpd_ps(r);
}

inline void store2(float* out, __m128 v) noexcept {
  _mm_storel_pi(reinterpret_cast<__m64*>(out), v);
}

// The node times of both rows: node k of each in tn[k].
TG_INLINE void node_times(const Pair& w, const double* times, __m128d tn[4]) noexcept {
  if (w.p1 == w.p0 + 1) {
    tn[0] = _mm_loadu_pd(times + w.p0);
    tn[1] = _mm_loadu_pd(times + w.p0 + 1);
    tn[2] = _mm_loadu_pd(times + w.p0 + 2);
    tn[3] = _mm_loadu_pd(times + w.p0 + 3);
  } else {
    const __m128d ra = _mm_loadu_pd(times + w.p0), rb = _mm_loadu_pd(times + w.p0 + 2);
    const __m128d sa = _mm_loadu_pd(times + w.p1), sb = _mm_loadu_pd(times + w.p1 + 2);
    tn[0] = _mm_unpacklo_pd(ra, sa);
    tn[1] = _mm_unpackhi_pd(ra, sa);
    tn[2] = _mm_unpacklo_pd(rb, sb);
    tn[3] = _mm_unpackhi_pd(rb, sb);
  }
}

// The weights of both rows at grid times t from their node times; `live` and `nodes` have
// bit r set for a row that counts, and for one that has a node before and after its
// bracket.
TG_INLINE void weigh(Pair& w, const __m128d tn[4], __m128d t, std::uint32_t live,
                     std::uint32_t nodes) noexcept {
  w.lanes = lanes_from(live);
  // Six differences make the four products, d1 and d3 negated (see avx2::weigh).
  const __m128d a01 = _mm_sub_pd(tn[0], tn[1]), a02 = _mm_sub_pd(tn[0], tn[2]);
  const __m128d a03 = _mm_sub_pd(tn[0], tn[3]), a12 = _mm_sub_pd(tn[1], tn[2]);
  const __m128d a13 = _mm_sub_pd(tn[1], tn[3]), a23 = _mm_sub_pd(tn[2], tn[3]);
  const __m128d d0 = product3(a01, a02, a03);
  const __m128d n1 = product3(a01, a12, a13);
  const __m128d d2 = product3(a02, a12, a23);
  const __m128d n3 = product3(a03, a13, a23);
  const __m128d span = kSpan;
  const __m128d big = _mm_and_pd(_mm_and_pd(_mm_cmpge_pd(absolute(d0), span),
                                            _mm_cmpge_pd(absolute(n1), span)),
                                 _mm_and_pd(_mm_cmpge_pd(absolute(d2), span),
                                            _mm_cmpge_pd(absolute(n3), span)));
  w.cubic = _mm_and_pd(big, lanes_from(live & nodes));
  const __m128d a0 = _mm_sub_pd(t, tn[0]);
  const __m128d a1 = _mm_sub_pd(t, tn[1]);
  const __m128d a2 = _mm_sub_pd(t, tn[2]);
  const __m128d a3 = _mm_sub_pd(t, tn[3]);
  // Lanes without the cubic may divide by zero; their weights are never used.
  w.l0 = _mm_div_pd(product3(a1, a2, a3), d0);
  w.l1 = _mm_div_pd(product3(a0, a2, a3), n1);
  w.l2 = _mm_div_pd(product3(a0, a1, a3), d2);
  w.l3 = _mm_div_pd(product3(a0, a1, a2), n3);
  w.a1 = a1;
  w.dt = _mm_sub_pd(tn[2], tn[1]);
  w.flat = _mm_cmplt_pd(absolute(w.dt), span);
  w.weight = _mm_setzero_pd();
  w.weighed = false;
}

// Microseconds truncated; the rare value outside int64 saturates one by one. `fit`: both
// are known to lie inside it.
TG_INLINE void microseconds(__m128d t, std::int64_t* out, bool fit = false) noexcept {
  const __m128d x = _mm_mul_pd(t, kMillion);
  if (fit || _mm_movemask_pd(_mm_and_pd(_mm_cmple_pd(x, kInt64Top),
                                        _mm_cmpge_pd(x, kInt64Bottom))) == 3) {
    out[0] = _mm_cvttsd_si64(x);
    out[1] = _mm_cvttsd_si64(_mm_unpackhi_pd(x, x));
  } else {
    alignas(16) double us[2];
    _mm_store_pd(us, x);
    out[0] = saturating_us(us[0]);
    out[1] = saturating_us(us[1]);
  }
}

// Rows h and h + 1 of the batch (h + 1 counted only when below b.rows).
TG_INLINE void pair(RowBatch& b, std::uint32_t h) noexcept {
  Pair w;
  w.p0 = b.at[h] - 1;
  w.p1 = b.at[h + 1] - 1;
  const std::uint32_t live = b.rows - h >= 2 ? 3u : 1u;
  const __m128d t = _mm_load_pd(b.grid + h);
  __m128d tn[4];
  node_times(w, b.times, tn);
  weigh(w, tn, t, live, b.nodes >> h);

  // The caller leaves room for a whole batch behind each column's end.
  for (int ch = 0; ch < 6; ++ch) {
    if (b.values[ch] == nullptr) continue;
    store2(b.out[ch] + h, interpolate(w, b.values[ch]));
  }

  if (b.sensors) {
    const int on1 = _mm_movemask_pd(_mm_cmpeq_pd(t, tn[1]));
    const int on2 = _mm_movemask_pd(_mm_cmpeq_pd(t, tn[2])) & ~on1;
    const int first[2] = {w.p0 + 1, w.p1 + 1};
    for (int k = 0; k < 6; ++k) {
      const float* run = b.sensor_values[k];
      alignas(16) float value[4];
      _mm_store_ps(value, interpolate(w, run));
      for (std::uint32_t r = 0; r < 2 && h + r < b.rows; ++r) {
        const int c = first[r];
        const bool on = sensor_row((on1 >> r) & 1, (on2 >> r) & 1, b.present[c], b.present[c + 1],
                                   run[c], run[c + 1], value[r], k, b.sensor_rows[k][h + r]);
        if (on) b.sensor_present[k] |= 1u << (h + r);
      }
    }
  }
  microseconds(t, b.time_out + h);
}

}  // namespace

void rows(RowBatch& b) noexcept {
  if (b.sensors)
    for (std::uint32_t& p : b.sensor_present) p = 0;
  for (std::uint32_t h = 0; h < b.rows; h += 2) pair(b, h);
}

namespace {

// A gyroscope or magnetometer channel of two rows whose nodes all have it, none NaN: a
// row on a sample's time copies its value, the others are interpolated. False when an
// interpolated value is NaN (see avx2::sensor).
TG_INLINE bool sensor(Pair& w, bool all_cubic, __m128d on1, __m128d on2, const float* run,
                      float* out) noexcept {
  __m128d y[4];
  nodes(w, run, y);
  __m128d r = cubic_sum(w, y);
  if (!all_cubic) r = select(w.cubic, r, linear_form(w, y));
  r = select(on1, y[1], r);
  r = select(on2, y[2], r);
  store2(out, _mm_cvtpd_ps(r));
  return _mm_movemask_pd(_mm_cmpunord_pd(r, r)) == 0;
}

// Whether two rows at grid times t have their brackets one sample apart from the sample
// after bracket k on, as the search finds them (see avx2::steps_of_one); their node times
// are then loaded at once.
TG_INLINE bool steps_of_one(Pair& w, const double* times, std::size_t k, __m128d t,
                            __m128d tn[4]) noexcept {
  tn[1] = _mm_loadu_pd(times + k + 1);
  tn[2] = _mm_loadu_pd(times + k + 2);
  if (_mm_movemask_pd(_mm_andnot_pd(_mm_cmplt_pd(tn[2], t), _mm_cmplt_pd(tn[1], t))) != 3)
    return false;
  tn[0] = _mm_loadu_pd(times + k);
  tn[3] = _mm_loadu_pd(times + k + 3);
  w.p0 = static_cast<int>(k);
  w.p1 = static_cast<int>(k + 1);
  return true;
}

// Two grid points at a time, until two cannot both be emitted in a run (a last row found
// before that is emitted too, see avx2::run_channels). kChannels channels, their runs and
// outputs in `in` and `out`: a known count keeps the weights in registers across them.
// With kNumbers no queued value is NaN, so two rows whose weights all exist are cubic in
// every channel.
template <int kChannels, int kSensors, bool kNumbers>
std::size_t run_channels(Run& r, const float* const* in, float* const* out) noexcept {
  const double* times = r.times;
  const std::size_t len = r.len;
  std::size_t k = r.cursor;
  if (k < 1 || k + 2 >= len) return 0;
  // Locals, not the fields of r, which the timestamp stores might alias.
  const std::uint32_t* groups = r.groups;
  std::int64_t* time_out = r.time_out;
  alignas(16) double grid[kStretch];
  std::size_t done = 0;
  bool first = true;
  for (;;) {
    const std::size_t want = run_stretch(r, done, 2);
    if (want == 0) break;
    const __m128d origin = _mm_set1_pd(r.origin_ms), step = _mm_set1_pd(r.step_ms);
    for (std::size_t i = 0; i < want; i += 2) {
      // t_n = (origin_ms + n * step_ms) / 1000.0, n converted exactly (below 2^52).
      const __m128d nd =
          _mm_add_pd(_mm_set1_pd(static_cast<double>(r.n + i)), _mm_setr_pd(0.0, 1.0));
      _mm_store_pd(grid + i,
                   _mm_div_pd(_mm_add_pd(origin, _mm_mul_pd(nd, step)), kThousand));
    }
    // The run's first row must not lie before its left bracket sample.
    if (first && grid[0] < times[k]) break;
    first = false;
    const std::size_t before_end = rows_before_end(r, grid, want);
    // Grid times never decrease, nor do their products with 1e6: when the first and the
    // last are inside the int64 range, all are.
    const bool fit = grid[0] * 1000000.0 >= -9223372036854775808.0 &&
                     grid[want - 1] * 1000000.0 <= 9223372036854774784.0;
    bool waits = false;
    std::size_t h = 0;
    for (; h < before_end; h += 2) {
      const std::size_t from = k;  // the bracket of the row before these
      Pair w;
      __m128d tn[4];
      __m128d t = _mm_load_pd(grid + h);
      std::size_t rows = 2;
      if (h + 2 > before_end || k + 4 >= len || !steps_of_one(w, times, k, t, tn)) {
        std::int32_t at[2];
        rows = search_rows(times, len, grid + h, before_end - h < 2 ? before_end - h : 2, k,
                           at, waits);
        if (rows == 0) break;
        if (rows == 1) {
          at[1] = at[0];
          grid[h + 1] = grid[h];
          t = _mm_load_pd(grid + h);
        }
        w.p0 = at[0] - 1;
        w.p1 = at[1] - 1;
        node_times(w, times, tn);
      } else {
        k += 2;
      }
      weigh(w, tn, t, 3u, 3u);
      const bool all_cubic = kNumbers && _mm_movemask_pd(w.cubic) == 3;
      if (all_cubic) {
        // The accelerometer, then the readings (see avx2::run_channels).
#pragma GCC unroll 3
        for (int ch = 0; ch < 3; ++ch) store2(out[ch] + done, cubic(w, in[ch]));
        if constexpr (kChannels > 3) {
          const __m128d size = _mm_add_pd(_mm_add_pd(absolute(w.l0), absolute(w.l1)),
                                          _mm_add_pd(absolute(w.l2), absolute(w.l3)));
          if (groups[w.p0] == groups[w.p1 + 3] &&
              _mm_movemask_pd(_mm_cmple_pd(size, kFlat)) == 3) {
#pragma GCC unroll 3
            for (int ch = 3; ch < kChannels; ++ch)
              store2(out[ch] + done, _mm_set1_ps(in[ch][w.p0 + 1]));
          } else {
#pragma GCC unroll 3
            for (int ch = 3; ch < kChannels; ++ch) store2(out[ch] + done, cubic(w, in[ch]));
          }
        }
      } else {
#pragma GCC unroll 6
        for (int ch = 0; ch < kChannels; ++ch) store2(out[ch] + done, interpolate(w, in[ch]));
      }
      if constexpr (kSensors > 0) {
        const __m128d on1 = _mm_cmpeq_pd(t, tn[1]);
        const __m128d on2 = _mm_andnot_pd(on1, _mm_cmpeq_pd(t, tn[2]));
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
      microseconds(t, time_out + done, fit);
      done += rows;
      if (rows < 2) {
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
std::size_t run_with(Run& r, int sensors, const float* const* in, float* const* out) noexcept {
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

std::size_t run(Run& r) noexcept {
  r.waits = false;
  const RunChannels c(r);
  switch (c.always) {
    case 3: return run_with<3>(r, c.sensors, c.in, c.out);
    case 4: return run_with<4>(r, c.sensors, c.in, c.out);
    case 5: return run_with<5>(r, c.sensors, c.in, c.out);
    default: return run_with<6>(r, c.sensors, c.in, c.out);
  }
}

}  // namespace tiltgram::resample_vector::sse2

#endif

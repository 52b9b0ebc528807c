#include "package/decode/block.hpp"

#include <array>
#include <bit>
#include <cmath>
#include <cstring>
#include <string>

#include "errors/messages.hpp"
#include "header/header.hpp"
#include "packet/le.hpp"
#include "packet/time.hpp"

#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif

namespace tiltgram {

Result<CwaDataBlock> CwaDataBlock::from_buffer(const std::uint8_t* sector) {
  const PacketHeader h(sector);
  if (!is_valid_utf8_pair(h.tag(0), h.tag(1))) return CwaError::format(msg::kInvalidPacketHeader);
  if (!h.is_ax()) return CwaError::format(msg::kInvalidDataHeader);
  return of(h);
}

SampleData DecodedSamples::sample(std::size_t i) const noexcept {
  SampleData s;
  s.acc_x = acc[0][i];
  s.acc_y = acc[1][i];
  s.acc_z = acc[2][i];
  if (has_gyro) {
    s.gyro_x = gyro[0][i];
    s.gyro_y = gyro[1][i];
    s.gyro_z = gyro[2][i];
  }
  if (has_mag) {
    s.mag_x = mag[0][i];
    s.mag_y = mag[1][i];
    s.mag_z = mag[2][i];
  }
  return s;
}

namespace {

int gyro_range(std::uint16_t light) noexcept {
  const int g = (light >> 10) & 0x07;
  return g == 0 ? 2000 : 8000 >> g;
}

// A little-endian word of the sample area, loaded as a whole where the host's order is the
// same (the vectoriser then sees plain loads).
inline std::uint32_t word_at(const std::uint8_t* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::uint32_t w;
    std::memcpy(&w, p, sizeof w);
    return w;
  } else {
    return le32(p);
  }
}
inline float value_at(const std::uint8_t* p) noexcept {
  if constexpr (std::endian::native == std::endian::little) {
    std::int16_t v;
    std::memcpy(&v, p, sizeof v);
    return static_cast<float>(v);
  } else {
    return static_cast<float>(le16s(p));
  }
}

// The decoding loops, compiled once for each instruction set (see below); they are written
// for the compiler to vectorise. Every value is one exact conversion and one
// single-precision product or quotient, as in the format's definition.
[[gnu::always_inline]] inline void decode_body(const CwaDataBlock& b, const SampleFormat& f,
                                               const SampleColumns& out) noexcept {
  const std::uint8_t* p = b.raw_samples;
  const std::size_t n = f.count;
  const unsigned a = b.light >> 13;  // accelerometer scale exponent A
  float* __restrict ax = out.acc[0];
  float* __restrict ay = out.acc[1];
  float* __restrict az = out.acc[2];
  if (f.packing == 0) {
    // x bits 0-9, y 10-19, z 20-29 (10-bit two's complement), shared exponent e bits 30-31.
    // An axis is v * 2^e / 2^(8+A): v times a power of two is exact in single precision, so
    // this is the one product v * 2^(e-8-A), the factor made from its exponent bits.
    // 0xC00001FF (x = 511, e = 3), A = 0: 511 * 2^-5 = 15.96875.
    const std::uint32_t exponent = 127u - 8u - a;
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint32_t w = word_at(p + 4 * i);
      const float scale = std::bit_cast<float>((exponent + (w >> 30)) << 23);
      ax[i] = static_cast<float>(static_cast<std::int32_t>(w << 22) >> 22) * scale;
      ay[i] = static_cast<float>(static_cast<std::int32_t>(w << 12) >> 22) * scale;
      az[i] = static_cast<float>(static_cast<std::int32_t>(w << 2) >> 22) * scale;
    }
    return;
  }
  // 2^-(8+A), exact: multiplying by it is dividing by 2^(8+A).
  const float acc_scale = std::bit_cast<float>((127u - 8u - a) << 23);
  if (f.axes == 3) {
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = p + 6 * i;
      ax[i] = value_at(q) * acc_scale;
      ay[i] = value_at(q + 2) * acc_scale;
      az[i] = value_at(q + 4) * acc_scale;
    }
    return;
  }
  const auto range = static_cast<float>(gyro_range(b.light));
  float* __restrict gx = out.gyro[0];
  float* __restrict gy = out.gyro[1];
  float* __restrict gz = out.gyro[2];
  if (f.axes == 6) {
    const float divisor = 32768.0f / range;  // 16.384000778198242 for 2000 dps
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = p + 12 * i;
      gx[i] = value_at(q) / divisor;
      gy[i] = value_at(q + 2) / divisor;
      gz[i] = value_at(q + 4) / divisor;
      ax[i] = value_at(q + 6) * acc_scale;
      ay[i] = value_at(q + 8) * acc_scale;
      az[i] = value_at(q + 10) * acc_scale;
    }
    return;
  }
  const float factor = range / 32768.0f;  // exact: 0.06103515625 for 2000 dps
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint8_t* q = p + 18 * i;
    gx[i] = value_at(q) * factor;
    gy[i] = value_at(q + 2) * factor;
    gz[i] = value_at(q + 4) * factor;
    ax[i] = value_at(q + 6) * acc_scale;
    ay[i] = value_at(q + 8) * acc_scale;
    az[i] = value_at(q + 10) * acc_scale;
  }
  if (f.has_mag) {
    constexpr float kMagScale = 1.0f / 32768.0f;
    float* __restrict mx = out.mag[0];
    float* __restrict my = out.mag[1];
    float* __restrict mz = out.mag[2];
    for (std::size_t i = 0; i < n; ++i) {
      const std::uint8_t* q = p + 18 * i;
      mx[i] = value_at(q + 12) * kMagScale;
      my[i] = value_at(q + 14) * kMagScale;
      mz[i] = value_at(q + 16) * kMagScale;
    }
  }
}

void decode_baseline(const CwaDataBlock& b, const SampleFormat& f, const SampleColumns& out) noexcept {
  decode_body(b, f, out);
}

#if defined(__x86_64__) && defined(__GNUC__)
#define TG_HAVE_AVX2_CODE 1
__attribute__((target("avx2"))) void decode_avx2(const CwaDataBlock& b, const SampleFormat& f,
                                                 const SampleColumns& out) noexcept {
  decode_body(b, f, out);
}
#endif

}  // namespace

Result<SampleFormat> sample_format(const CwaDataBlock& b, bool include_magnetometer) {
  const unsigned axes = b.num_axes_bps >> 4, packing = b.num_axes_bps & 0x0F;
  const unsigned bps = bytes_per_sample(axes, packing);
  if (bps == 0)
    return CwaError::format(msg::unsupported_format(axes, packing));
  const std::size_t n = b.sample_count;
  if (n * bps > kSampleAreaBytes) {
    const char* what = axes == 3 ? (packing == 0 ? "packed 3-axis" : "unpacked 3-axis")
                       : axes == 6 ? "unpacked 6-axis"
                                   : "unpacked 9-axis";
    return CwaError::format(msg::insufficient_data(what));
  }
  SampleFormat f;
  f.count = n;
  f.axes = axes;
  f.packing = packing;
  f.has_gyro = axes >= 6;
  f.has_mag = axes == 9 && include_magnetometer;
  return f;
}

void decode_samples(const CwaDataBlock& b, const SampleFormat& f, const SampleColumns& out,
                    IsaLevel isa) noexcept {
  if (f.count == 0) return;
#if defined(TG_HAVE_AVX2_CODE)
  if (isa != IsaLevel::kBaseline) {
    decode_avx2(b, f, out);
    return;
  }
#endif
  (void)isa;
  decode_baseline(b, f, out);
}

Status parse_samples(const CwaDataBlock& b, bool include_magnetometer, DecodedSamples& out) {
  TG_ASSIGN_OR_RETURN(SampleFormat f, sample_format(b, include_magnetometer));
  out.count = f.count;
  out.has_gyro = f.has_gyro;
  out.has_mag = f.has_mag;
  decode_samples(b, f, {{out.acc[0], out.acc[1], out.acc[2]},
                        {out.gyro[0], out.gyro[1], out.gyro[2]},
                        {out.mag[0], out.mag[1], out.mag[2]}});
  return {};
}

namespace {

// powf(10, raw / 341) for every raw light value, from the C library at run time: a
// compile-time fold of the same expression can differ in the last bit.
struct LightTable {
  std::array<float, 1024> lux;
  LightTable() {
    float (*volatile pow_fn)(float, float) = ::powf;
    for (unsigned raw = 0; raw < 1024; ++raw) lux[raw] = pow_fn(10.0f, static_cast<float>(raw) / 341.0f);
  }
};

}  // namespace

float block_light_lux(std::uint16_t light) noexcept {
  static const LightTable table;
  return table.lux[light & 0x3FF];
}

float block_temperature_c(std::uint16_t temperature) noexcept {
  return (static_cast<float>(temperature & 0x3FF) * 75.0f) * (1.0f / 256.0f) + (-50.0f);
}

float block_battery_v(std::uint8_t battery) noexcept {
  return (static_cast<float>(battery + 512) * 6.0f) * (1.0f / 1024.0f);
}

namespace {

// Sample times t_i = s + (d * i) / n, then * 1e6, truncated toward zero, for times known
// to lie in [1 s, 4.4e9 s] (a device clock from 1970 to 2109): every t * 1e6 is then positive
// and below 2^52, where a double and its integer part convert exactly through the bits of
// x + 2^52. The divisions stay divisions, lane by lane, so each time has the bits of the
// one-at-a-time formula.
constexpr double kFastFrom = 1.0, kFastTo = 4.4e9;  // seconds
constexpr double kTwo52 = 4503599627370496.0;

void times_scalar(double s, double d, std::size_t n, std::size_t from, std::int64_t* out) noexcept {
  const auto dn = static_cast<double>(n);
  for (std::size_t i = from; i < n; ++i) {
    const double t = s + (d * static_cast<double>(i)) / dn;
    out[i] = static_cast<std::int64_t>(t * 1000000.0);
  }
}

#if defined(__x86_64__) && defined(__GNUC__)
// Two at a time with SSE2, which has no rounding instruction: x + 2^52 rounds x to the
// nearest integer k; k - 1 where that came out above x.
void times_sse2(double s, double d, std::size_t n, std::int64_t* out) noexcept {
  const __m128d vs = _mm_set1_pd(s), vd = _mm_set1_pd(d), vn = _mm_set1_pd(static_cast<double>(n));
  const __m128d million = _mm_set1_pd(1000000.0), two52 = _mm_set1_pd(kTwo52);
  __m128d index = _mm_setr_pd(0.0, 1.0);
  const __m128d step = _mm_set1_pd(2.0);
  std::size_t i = 0;
  for (; i + 2 <= n; i += 2) {
    const __m128d x = _mm_mul_pd(_mm_add_pd(vs, _mm_div_pd(_mm_mul_pd(vd, index), vn)), million);
    const __m128d y = _mm_add_pd(x, two52);
    const __m128i above = _mm_castpd_si128(_mm_cmpgt_pd(_mm_sub_pd(y, two52), x));
    const __m128i k = _mm_sub_epi64(_mm_castpd_si128(y), _mm_castpd_si128(two52));
    _mm_storeu_si128(reinterpret_cast<__m128i*>(out + i), _mm_add_epi64(k, above));
    index = _mm_add_pd(index, step);
  }
  times_scalar(s, d, n, i, out);
}

__attribute__((target("avx2"))) void times_avx2(double s, double d, std::size_t n,
                                                std::int64_t* out) noexcept {
  const __m256d vs = _mm256_set1_pd(s), vd = _mm256_set1_pd(d);
  const __m256d vn = _mm256_set1_pd(static_cast<double>(n));
  const __m256d million = _mm256_set1_pd(1000000.0), two52 = _mm256_set1_pd(kTwo52);
  __m256d index = _mm256_setr_pd(0.0, 1.0, 2.0, 3.0);
  const __m256d step = _mm256_set1_pd(4.0);
  std::size_t i = 0;
  for (; i + 4 <= n; i += 4) {
    const __m256d x =
        _mm256_mul_pd(_mm256_add_pd(vs, _mm256_div_pd(_mm256_mul_pd(vd, index), vn)), million);
    const __m256d whole = _mm256_round_pd(x, _MM_FROUND_TO_ZERO | _MM_FROUND_NO_EXC);
    const __m256i k = _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(whole, two52)),
                                       _mm256_castpd_si256(two52));
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(out + i), k);
    index = _mm256_add_pd(index, step);
  }
  times_scalar(s, d, n, i, out);
}
#endif

}  // namespace

Result<BlockTimes> block_times(const CwaDataBlock& block, std::size_t n,
                               std::optional<double> prev_end) {
  if (!cwa_timestamp(block.timestamp)) return CwaError::format(msg::kInvalidTimestamp);
  PacketMeta meta;
  meta.sample_count = n;
  meta.timestamp = block.timestamp;
  meta.timestamp_offset = block.timestamp_offset;
  meta.sample_rate_code = block.sample_rate_code;
  const auto [start, end] = meta.natural_bounds();
  BlockTimes times;
  times.start = continuity_start(start, end, prev_end);
  times.end = end;
  times.n = n;
  return times;
}

Result<double> calculate_sample_timestamps_with_prev_end(const CwaDataBlock& block, std::size_t n,
                                                         std::optional<double> prev_end,
                                                         std::int64_t* out, IsaLevel isa) {
  if (n == 0) return prev_end.value_or(0.0);
  TG_ASSIGN_OR_RETURN(const BlockTimes times, block_times(block, n, prev_end));
  const double s = times.start, end = times.end;
  const double d = end - s;
  if (s >= kFastFrom && s <= kFastTo && end >= kFastFrom && end <= kFastTo) {
#if defined(__x86_64__) && defined(__GNUC__)
    if (isa != IsaLevel::kBaseline) {
      times_avx2(s, d, n, out);
    } else {
      times_sse2(s, d, n, out);
    }
#else
    (void)isa;
    times_scalar(s, d, n, 0, out);
#endif
    return end;
  }
  const auto dn = static_cast<double>(n);
  for (std::size_t i = 0; i < n; ++i) {
    const double t = s + (d * static_cast<double>(i)) / dn;
    out[i] = saturating_us(t * 1000000.0);
  }
  return end;
}

}  // namespace tiltgram

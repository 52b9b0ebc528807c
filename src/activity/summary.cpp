#include "activity/summary.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <memory>
#include <string>
#include <utility>

#include "activity/kernels.hpp"
#include "errors/messages.hpp"
#include "header/header.hpp"
#include "package/columns/result.hpp"
#include "package/decode/block.hpp"
#include "package/walk/walk.hpp"

namespace tiltgram::activity {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
// Sample times a summary works with: within +-2^62 us (146,000 years), so that every
// window, epoch and day boundary near them is an int64 too.
constexpr std::int64_t kTimeLimitUs = std::int64_t{1} << 62;
// The most |a'| values kept for one epoch's MAD (16 MB); beyond it, a third pass.
constexpr std::uint64_t kMadBufferLimit = std::uint64_t{1} << 21;

__extension__ typedef __int128 Int128;

inline std::int64_t floor_div(std::int64_t a, std::int64_t b) noexcept {
  std::int64_t q = a / b;
  if (a % b != 0 && a < 0) --q;
  return q;
}

// One block's samples on the summary's clock. Their times are not written out: a block
// lies within one window and one epoch but for a few in ten (at 100 Hz), and where it
// crosses a boundary the sample that starts the next part is found by bisection.
struct BlockSamples {
  DecodedSamples decoded;
  BlockTimes basis;
  std::int64_t offset_us = 0;
  std::int64_t first = 0, last = 0;  // the first and the last sample's times
  std::size_t count = 0;
  double temperature = 0.0;
  double light = 0.0;

  // Sample i's time: between first and last (times never decrease), so the shift cannot
  // overflow.
  std::int64_t time(std::size_t i) const noexcept { return basis.at(i) - offset_us; }
};

// Decodes the walk's current block and finds its times on the summary's clock (the checks
// of the plain read, in its order: the sample format, then the times).
Status load_block(BlockWalk& walk, std::int64_t offset_us, BlockSamples& out) {
  TG_ASSIGN_OR_RETURN(SampleFormat format, walk.format(/*include_magnetometer=*/false));
  const std::size_t n = format.count;
  out.count = 0;
  if (n > 0) {
    TG_ASSIGN_OR_RETURN(out.basis, walk.time_basis(n));
  }
  DecodedSamples& d = out.decoded;
  walk.decode(format, {{d.acc[0], d.acc[1], d.acc[2]},
                       {d.gyro[0], d.gyro[1], d.gyro[2]},
                       {d.mag[0], d.mag[1], d.mag[2]}});
  d.count = n;
  if (n == 0) return {};
  // Every time shifts within range when the first and the last do, as times never decrease.
  std::int64_t first = out.basis.at(0), last = out.basis.at(n - 1);
  if (__builtin_sub_overflow(first, offset_us, &first) || __builtin_sub_overflow(last, offset_us, &last))
    return CwaError::overflow(msg::kShiftOverflow);
  if (last > kTimeLimitUs || first < -kTimeLimitUs)
    return CwaError::format("Sample times beyond 146,000 years from 1970 cannot be summarized");
  out.offset_us = offset_us;
  out.first = first;
  out.last = last;
  const BlockReadings readings = block_readings(walk.block());
  out.temperature = readings.temperature;
  out.light = readings.light;
  out.count = n;
  return {};
}

// Calls fn(window, epoch, i, j) for each run [i, j) of the block's samples that lie in one
// window and one epoch, in order.
template <class Fn>
void for_each_segment(const BlockSamples& b, std::int64_t epoch_us, Fn&& fn) {
  const std::size_t n = b.count;
  std::size_t i = 0;
  std::int64_t t = b.first;
  while (i < n) {
    const std::int64_t w = floor_div(t, kWindowUs), e = floor_div(t, epoch_us);
    const std::int64_t hi = std::min(w * kWindowUs + kWindowUs, e * epoch_us + epoch_us);
    std::size_t j = n;  // the rest of the block: the common case
    if (b.last >= hi) {
      // The first sample at or after hi, in (i, n - 1].
      std::size_t lo = i + 1, up = n - 1;
      while (lo < up) {
        const std::size_t mid = lo + (up - lo) / 2;
        if (b.time(mid) >= hi) {
          up = mid;
        } else {
          lo = mid + 1;
        }
      }
      j = lo;
      t = j == n - 1 ? b.last : b.time(j);
    }
    fn(w, e, i, j);
    i = j;
  }
}

// The calibrated magnitudes of samples [i, j) of a block into r (from r[0]).
MagnitudeSums block_magnitudes(const Calibration& cal, const BlockSamples& b, std::size_t i,
                               std::size_t j, double* r, IsaLevel isa) noexcept {
  double drift[3] = {0.0, 0.0, 0.0};
  if (cal.temperature_term)
    for (int a = 0; a < 3; ++a) drift[a] = cal.temperature_coef[a] * (b.temperature - cal.temperature_ref);
  const float* const acc[3] = {b.decoded.acc[0] + i, b.decoded.acc[1] + i, b.decoded.acc[2] + i};
  return magnitudes(acc, j - i, cal.offset, cal.scale, drift, r, isa);
}

// --- pass 1: windows ---------------------------------------------------------------------

// A window's sums of values and squares per axis in units of 2^-15 g: exact integers
// (kernels.hpp), so its mean and standard deviation are the exact ones, rounded once.
struct WindowSums {
  std::uint64_t n = 0;
  std::int64_t s1[3] = {0, 0, 0};
  Int128 s2[3] = {0, 0, 0};
  double temperature = 0.0;
};

// An epoch's sums (the count, values, temperature and light from pass 1, the rest from pass
// 2): the uncalibrated values per axis exactly (units of 2^-15 g), |a'| and
// max(0, |a'| - 1), temperature and light, and the deviations for the MAD.
struct EpochSums {
  std::uint64_t n = 0, nonwear = 0;
  std::int64_t units[3] = {0, 0, 0};
  double enmo = 0.0, r = 0.0, temperature = 0.0, light = 0.0, mad = 0.0;
};

// A run of still windows [first, last] long enough to be non-wear.
struct Run {
  std::int64_t first, last;
};

// The windows' verdicts, given the windows in time order: the still windows' points for
// the calibration and the non-wear runs.
//
// While pass 1 fills in the epochs (`tracking`), the judge also counts their non-wear
// samples: the open window's samples per epoch (`window_parts`, added by pass 1) join
// those of the still run it extends, and a run that ends long enough adds them to the
// epochs' non-wear counts.
class WindowJudge {
 public:
  WindowJudge(const SummaryOptions& o, double rate_hz)
      : required_(o.window_fraction * rate_hz * 10.0),
        sd_limit_(o.still_sd_mg / 1000.0),
        mean_limit_(o.still_mean_g),
        shortest_s_(o.nonwear_min * 60.0),
        sphere_g_(o.calibration.sphere_g),
        min_windows_(o.calibration.min_windows) {}

  struct Part {
    EpochSums* epoch;
    std::uint64_t count;
  };

  void add(std::int64_t id, const WindowSums& ws) {
    const auto n = static_cast<double>(ws.n);
    bool still = ws.n > 0 && n >= required_;
    CalibrationPoint point{};
    for (int a = 0; a < 3 && still; ++a) {
      // n^2 var = n s2 - s1^2, exact.
      const Int128 spread = static_cast<Int128>(ws.n) * ws.s2[a] - static_cast<Int128>(ws.s1[a]) * ws.s1[a];
      const double sd = std::sqrt(static_cast<double>(spread)) / n / kUnitsPerG;
      point.mean[a] = static_cast<double>(ws.s1[a]) / n / kUnitsPerG;
      still = sd < sd_limit_ && std::fabs(point.mean[a]) < mean_limit_;
    }
    if (!still) {
      close();
      window_parts.clear();
      return;
    }
    point.temperature = ws.temperature / n;
    points.push_back(point);
    for (int a = 0; a < 3; ++a) {
      below_[a] = below_[a] || point.mean[a] < -sphere_g_;
      above_[a] = above_[a] || point.mean[a] > sphere_g_;
    }
    if (!in_run_ || id != last_ + 1) {
      close();
      in_run_ = true;
      first_ = id;
    }
    last_ = id;
    if (tracking) {
      run_parts_.insert(run_parts_.end(), window_parts.begin(), window_parts.end());
      // Once the run is long enough its windows are non-wear, whatever follows: only its
      // shortest non-wear length's worth of parts is ever kept.
      if (long_enough()) add_nonwear();
    }
    window_parts.clear();
  }

  void finish() { close(); }

  // Whether the still windows so far meet the fit's conditions on their number and on
  // the sphere's coverage (both stay met once they are).
  bool could_calibrate() const noexcept {
    if (points.size() < min_windows_) return false;
    for (int a = 0; a < 3; ++a)
      if (!below_[a] || !above_[a]) return false;
    return true;
  }

  void stop_tracking() {
    tracking = false;
    window_parts = {};
    run_parts_ = {};
  }

  std::vector<CalibrationPoint> points;
  std::vector<Run> runs;
  bool tracking = false;
  std::vector<Part> window_parts;

 private:
  bool long_enough() const noexcept {
    return static_cast<double>(last_ - first_ + 1) * 10.0 >= shortest_s_;
  }

  void add_nonwear() noexcept {
    for (const Part& part : run_parts_) part.epoch->nonwear += part.count;
    run_parts_.clear();
  }

  void close() {
    if (in_run_ && long_enough()) {
      runs.push_back({first_, last_});
      add_nonwear();
    }
    run_parts_.clear();
    in_run_ = false;
  }

  double required_, sd_limit_, mean_limit_, shortest_s_, sphere_g_;
  std::uint64_t min_windows_;
  bool in_run_ = false;
  std::int64_t first_ = 0, last_ = 0;
  bool below_[3] = {false, false, false}, above_[3] = {false, false, false};
  std::vector<Part> run_parts_;  // the open run's windows' parts, until it is long enough
};

// Pass 1 judges each window when the samples move on to a later one, keeping only the
// verdicts; a clock that goes back to an earlier window makes it start again keeping every
// window's sums until the end (`streaming` false).
//
// While streaming, pass 1 also fills in the epochs as pass 2 would with the samples as read
// (`filling`): the magnitudes' sums, each epoch's MAD when it ends, the non-wear counts
// through the judge. It stops once the calibration could be used (enough still windows
// covering the sphere), or when pass 2 would take its other way (epochs out of order, too
// many samples in one epoch); when it did not stop and the calibration is not used, pass 2
// is left out: its results would be the same.
struct Pass1 {
  bool streaming = true;
  bool filling = false;
  EpochSums* open_epoch = nullptr;  // filling: the epoch whose |a| values are kept
  std::vector<double> values;       // its |a| values
  bool went_back = false;  // streaming stopped: the clock went back
  WindowSums open;         // streaming: the window being filled
  std::int64_t open_id = 0;
  bool have_open = false;
  std::map<std::int64_t, WindowSums> windows;
  std::map<std::int64_t, EpochSums> epochs;
  std::int64_t tmin = std::numeric_limits<std::int64_t>::max();
  std::int64_t tmax = std::numeric_limits<std::int64_t>::min();
  std::uint64_t samples = 0;
  // Whether each epoch's samples come in one stretch, and the most samples in a stretch.
  bool epochs_in_order = true;
  bool have_epoch = false;
  std::int64_t epoch = 0;
  std::uint64_t epoch_samples = 0;
  std::uint64_t most_epoch_samples = 0;
};

Status gather_windows(BlockWalk& walk, const SummaryOptions& o, Pass1& p, WindowJudge& judge) {
  auto block = std::make_unique<BlockSamples>();
  const IsaLevel isa = best_isa();
  const std::int64_t epoch_us = o.epoch_s * 1000000;
  auto current = p.windows.end();
  std::int64_t current_id = 0;
  auto current_epoch = p.epochs.end();
  std::int64_t current_epoch_id = 0;
  const Calibration identity{};
  double r[kMaxSamplesPerPacket];
  const auto stop_filling = [&] {
    p.filling = false;
    p.open_epoch = nullptr;
    p.values = {};
    judge.stop_tracking();
  };
  const auto close_epoch = [&] {
    if (p.open_epoch == nullptr) return;
    const double mean = p.open_epoch->r / static_cast<double>(p.open_epoch->n);
    p.open_epoch->mad = deviation_sum(p.values.data(), p.values.size(), mean, isa);
    p.values.clear();
  };
  for (;;) {
    TG_ASSIGN_OR_RETURN(bool more, walk.next());
    if (!more) break;
    TG_TRY(load_block(walk, o.offset_us, *block));
    const std::size_t n = block->count;
    if (n == 0) continue;
    // A block's times never decrease.
    p.tmin = std::min(p.tmin, block->first);
    p.tmax = std::max(p.tmax, block->last);
    p.samples += n;
    const double temperature = block->temperature, light = block->light;
    for_each_segment(*block, epoch_us, [&](std::int64_t w, std::int64_t e, std::size_t i, std::size_t j) {
      if (p.went_back) return;
      WindowSums* target;
      if (p.streaming) {
        if (p.have_open && w != p.open_id) {
          if (w < p.open_id) {
            p.went_back = true;
            return;
          }
          judge.add(p.open_id, p.open);
          p.open = WindowSums{};
          if (p.filling && o.calibrate && judge.could_calibrate()) stop_filling();
        }
        p.have_open = true;
        p.open_id = w;
        target = &p.open;
      } else {
        if (current == p.windows.end() || current_id != w) {
          current = p.windows.try_emplace(w).first;
          current_id = w;
        }
        target = &current->second;
      }
      WindowSums& ws = *target;
      const float* const acc[3] = {block->decoded.acc[0] + i, block->decoded.acc[1] + i,
                                   block->decoded.acc[2] + i};
      double sum[3], squares[3];
      unit_sums(acc, j - i, sum, squares, isa);
      for (int a = 0; a < 3; ++a) {
        ws.s1[a] += static_cast<std::int64_t>(sum[a]);
        ws.s2[a] += static_cast<std::int64_t>(squares[a]);
      }
      const auto count = static_cast<std::uint64_t>(j - i);
      ws.temperature += temperature * static_cast<double>(count);
      ws.n += count;

      if (current_epoch == p.epochs.end() || current_epoch_id != e) {
        current_epoch = p.epochs.try_emplace(e).first;
        current_epoch_id = e;
      }
      EpochSums& es = current_epoch->second;
      for (int a = 0; a < 3; ++a) es.units[a] += static_cast<std::int64_t>(sum[a]);
      es.temperature += temperature * static_cast<double>(count);
      es.light += light * static_cast<double>(count);
      es.n += count;

      if (!p.have_epoch || e != p.epoch) {
        if (p.have_epoch && e < p.epoch) p.epochs_in_order = false;
        p.have_epoch = true;
        p.epoch = e;
        p.epoch_samples = 0;
      }
      p.epoch_samples += count;
      p.most_epoch_samples = std::max(p.most_epoch_samples, p.epoch_samples);

      if (p.filling && (!p.epochs_in_order || p.epoch_samples > kMadBufferLimit)) stop_filling();
      if (p.filling) {
        if (p.open_epoch != &es) {
          close_epoch();
          p.open_epoch = &es;
        }
        const MagnitudeSums m = block_magnitudes(identity, *block, i, j, r, isa);
        es.enmo += m.enmo;
        es.r += m.r;
        p.values.insert(p.values.end(), r, r + count);
        judge.window_parts.push_back({&es, count});
      }
    });
    if (p.went_back) return {};
  }
  if (p.streaming) {
    if (p.have_open) judge.add(p.open_id, p.open);
    if (p.filling) close_epoch();
  } else {
    for (const auto& [id, ws] : p.windows) judge.add(id, ws);
  }
  judge.finish();
  return {};
}

// --- pass 2: epochs ----------------------------------------------------------------------

// Whether window `w` lies in one of the runs; `hint` is where the last answer was found.
bool in_runs(const std::vector<Run>& runs, std::int64_t w, std::size_t& hint) noexcept {
  if (runs.empty()) return false;
  if (hint < runs.size() && runs[hint].first <= w && w <= runs[hint].last) return true;
  if (hint + 1 < runs.size() && runs[hint].last < w && runs[hint + 1].first > w) return false;
  auto it = std::upper_bound(runs.begin(), runs.end(), w,
                             [](std::int64_t v, const Run& r) { return v < r.first; });
  if (it == runs.begin()) return false;
  --it;
  hint = static_cast<std::size_t>(it - runs.begin());
  return w <= it->last;
}

struct Pass2 {
  std::vector<EpochSums> epochs;
  std::int64_t first_epoch = 0;
};

Status fill_epochs(BlockWalk& walk, const SummaryOptions& o, const Calibration& cal,
                   const std::vector<Run>& runs, bool keep_values, std::uint64_t most_epoch_samples,
                   Pass2& p) {
  auto block = std::make_unique<BlockSamples>();
  const IsaLevel isa = best_isa();
  double r[kMaxSamplesPerPacket];
  const std::int64_t epoch_us = o.epoch_s * 1000000;
  std::vector<double> values;  // the open epoch's |a'|, while epochs come in order
  if (keep_values) values.reserve(static_cast<std::size_t>(most_epoch_samples));
  EpochSums* open = nullptr;
  const auto close = [&] {
    if (open == nullptr) return;
    const double mean = open->r / static_cast<double>(open->n);
    open->mad = deviation_sum(values.data(), values.size(), mean, isa);
    values.clear();
  };
  std::size_t hint = 0;
  for (;;) {
    TG_ASSIGN_OR_RETURN(bool more, walk.next());
    if (!more) break;
    TG_TRY(load_block(walk, o.offset_us, *block));
    for_each_segment(*block, epoch_us,
                     [&](std::int64_t w, std::int64_t e, std::size_t i, std::size_t j) {
      const std::int64_t k = e - p.first_epoch;
      if (k < 0 || static_cast<std::uint64_t>(k) >= p.epochs.size())
        internal_failure("a sample outside the epochs of the first pass");
      EpochSums& es = p.epochs[static_cast<std::size_t>(k)];
      if (keep_values && open != &es) {
        close();
        open = &es;
      }
      const MagnitudeSums m = block_magnitudes(cal, *block, i, j, r, isa);
      const std::size_t n = j - i;
      es.enmo += m.enmo;
      es.r += m.r;
      if (in_runs(runs, w, hint)) es.nonwear += n;
      if (keep_values) values.insert(values.end(), r, r + n);
    });
  }
  close();
  return {};
}

// The third pass, for recordings whose epochs do not come in order: each sample's
// deviation from its epoch's mean |a'|.
Status add_deviations(BlockWalk& walk, const SummaryOptions& o, const Calibration& cal, Pass2& p) {
  auto block = std::make_unique<BlockSamples>();
  const IsaLevel isa = best_isa();
  double r[kMaxSamplesPerPacket];
  const std::int64_t epoch_us = o.epoch_s * 1000000;
  for (;;) {
    TG_ASSIGN_OR_RETURN(bool more, walk.next());
    if (!more) break;
    TG_TRY(load_block(walk, o.offset_us, *block));
    for_each_segment(*block, epoch_us,
                     [&](std::int64_t, std::int64_t e, std::size_t i, std::size_t j) {
      EpochSums& es = p.epochs[static_cast<std::size_t>(e - p.first_epoch)];
      (void)block_magnitudes(cal, *block, i, j, r, isa);
      es.mad += deviation_sum(r, j - i, es.r / static_cast<double>(es.n), isa);
    });
  }
  return {};
}

// --- the outputs -------------------------------------------------------------------------

void epoch_columns(const Pass2& p, const SummaryOptions& o, const Calibration& cal,
                   EpochColumns& out) {
  const std::size_t count = p.epochs.size();
  out.first_start_us = p.first_epoch * o.epoch_s * 1000000;
  out.epoch_us = o.epoch_s * 1000000;
  for (auto* col : {&out.samples, &out.enmo_mg, &out.mad_mg, &out.x, &out.y, &out.z,
                    &out.temperature, &out.light})
    col->resize(count, kNaN);
  out.nonwear.assign(count, 0);
  for (std::size_t k = 0; k < count; ++k) {
    const EpochSums& es = p.epochs[k];
    out.samples[k] = static_cast<double>(es.n);
    if (es.n == 0) continue;
    const auto n = static_cast<double>(es.n);
    out.enmo_mg[k] = 1000.0 * (es.enmo / n);
    out.mad_mg[k] = 1000.0 * (es.mad / n);
    out.temperature[k] = es.temperature / n;
    // The mean of a' = (o + s a) + t (T - Tref) is (o + s mean(a)) + t (mean(T) - Tref).
    double* means[3] = {&out.x[k], &out.y[k], &out.z[k]};
    for (int a = 0; a < 3; ++a) {
      const double drift = cal.temperature_term
                               ? cal.temperature_coef[a] * (out.temperature[k] - cal.temperature_ref)
                               : 0.0;
      *means[a] = (cal.offset[a] + cal.scale[a] * (static_cast<double>(es.units[a]) / n / kUnitsPerG)) + drift;
    }
    out.light[k] = es.light / n;
    out.nonwear[k] = static_cast<double>(es.nonwear) >= o.nonwear_epoch_fraction * n ? 1 : 0;
  }
}

void day_columns(const EpochColumns& ep, const SummaryOptions& o, std::int64_t tmin,
                 std::int64_t tmax, ActivitySummary& s) {
  const std::int64_t first_day = floor_div(tmin, kDayUs), last_day = floor_div(tmax, kDayUs);
  const auto days = static_cast<std::size_t>(last_day - first_day + 1);
  const std::int64_t slots = 86400 / o.epoch_s;
  const auto e = static_cast<double>(o.epoch_s);
  DayColumns& d = s.days;
  d.first_start_us = first_day * kDayUs;
  std::vector<std::uint64_t> worn(days, 0), nonwear(days, 0), bands(4 * days, 0);
  std::vector<double> enmo(days, 0.0);
  std::vector<double> slot_sum(static_cast<std::size_t>(slots), 0.0);
  std::vector<std::uint64_t> slot_n(static_cast<std::size_t>(slots), 0);
  double worn_sum = 0.0;
  std::uint64_t worn_all = 0;
  for (std::size_t k = 0; k < ep.size(); ++k) {
    if (ep.samples[k] == 0.0) continue;
    const std::int64_t start = ep.first_start_us + static_cast<std::int64_t>(k) * ep.epoch_us;
    const std::int64_t day = floor_div(start, kDayUs);
    const auto di = static_cast<std::size_t>(day - first_day);
    if (ep.nonwear[k]) {
      ++nonwear[di];
      continue;
    }
    const double v = ep.enmo_mg[k];
    ++worn[di];
    enmo[di] += v;
    std::size_t band = 0;
    while (band < 3 && v >= o.cutpoints_mg[band]) ++band;
    ++bands[4 * di + band];
    const auto slot = static_cast<std::size_t>((start - day * kDayUs) / ep.epoch_us);
    slot_sum[slot] += v;
    ++slot_n[slot];
    worn_sum += v;
    ++worn_all;
  }
  for (auto* col : {&d.wear_h, &d.nonwear_h, &d.nodata_h, &d.enmo_mg, &d.sedentary_min,
                    &d.light_min, &d.moderate_min, &d.vigorous_min})
    col->resize(days);
  d.valid.resize(days);
  std::uint64_t worn_total = 0, nonwear_total = 0, nodata_total = 0;
  for (std::size_t i = 0; i < days; ++i) {
    const std::uint64_t nodata = static_cast<std::uint64_t>(slots) - worn[i] - nonwear[i];
    d.wear_h[i] = static_cast<double>(worn[i]) * e / 3600.0;
    d.nonwear_h[i] = static_cast<double>(nonwear[i]) * e / 3600.0;
    d.nodata_h[i] = static_cast<double>(nodata) * e / 3600.0;
    d.enmo_mg[i] = worn[i] > 0 ? enmo[i] / static_cast<double>(worn[i]) : kNaN;
    std::vector<double>* band_cols[4] = {&d.sedentary_min, &d.light_min, &d.moderate_min,
                                         &d.vigorous_min};
    for (std::size_t b = 0; b < 4; ++b)
      (*band_cols[b])[i] = static_cast<double>(bands[4 * i + b]) * e / 60.0;
    d.valid[i] = d.wear_h[i] >= o.valid_day_wear_h ? 1 : 0;
    s.valid_days += d.valid[i];
    worn_total += worn[i];
    nonwear_total += nonwear[i];
    nodata_total += nodata;
  }
  s.wear_h = static_cast<double>(worn_total) * e / 3600.0;
  s.nonwear_h = static_cast<double>(nonwear_total) * e / 3600.0;
  s.nodata_h = static_cast<double>(nodata_total) * e / 3600.0;
  s.enmo_mg = worn_all > 0 ? worn_sum / static_cast<double>(worn_all) : kNaN;
  double slot_means = 0.0;
  std::uint64_t slots_worn = 0;
  for (std::size_t i = 0; i < slot_sum.size(); ++i) {
    if (slot_n[i] == 0) continue;
    slot_means += slot_sum[i] / static_cast<double>(slot_n[i]);
    ++slots_worn;
  }
  s.enmo_mg_imputed = slots_worn > 0 ? slot_means / static_cast<double>(slots_worn) : kNaN;
}

Status check_positive(double v, const char* what) {
  if (!std::isfinite(v) || !(v > 0.0)) return CwaError::argument(std::string(what) + " must be a finite number > 0");
  return {};
}

Status check_fraction(double v, const char* what) {
  if (!(v > 0.0 && v <= 1.0)) return CwaError::argument(std::string(what) + " must be > 0 and <= 1");
  return {};
}

}  // namespace

Status check_summary_options(const SummaryOptions& o) {
  if (o.epoch_s < 1 || o.epoch_s > 3600 || 86400 % o.epoch_s != 0)
    return CwaError::argument("epoch_s must be a whole number of seconds from 1 to 3600 that divides 86400");
  TG_TRY(check_fraction(o.window_fraction, "window_fraction"));
  TG_TRY(check_positive(o.still_sd_mg, "still_sd_mg"));
  TG_TRY(check_positive(o.still_mean_g, "still_mean_g"));
  const CalibrationOptions& c = o.calibration;
  if (!std::isfinite(c.sphere_g) || c.sphere_g < 0.0)
    return CwaError::argument("calibration_sphere_g must be a finite number >= 0");
  TG_TRY(check_positive(c.max_error_mg, "calibration_max_error_mg"));
  if (!std::isfinite(c.tolerance_g) || c.tolerance_g < 0.0)
    return CwaError::argument("calibration_tolerance_g must be a finite number >= 0");
  if (!std::isfinite(c.temperature_sd_c) || c.temperature_sd_c < 0.0)
    return CwaError::argument("temperature_sd_c must be a finite number >= 0");
  TG_TRY(check_positive(o.nonwear_min, "nonwear_min"));
  TG_TRY(check_fraction(o.nonwear_epoch_fraction, "nonwear_epoch_fraction"));
  for (int b = 0; b < 3; ++b)
    if (!std::isfinite(o.cutpoints_mg[b]) || (b > 0 && !(o.cutpoints_mg[b] > o.cutpoints_mg[b - 1])))
      return CwaError::argument("cutpoints_mg must be three finite numbers in increasing order");
  if (!(o.valid_day_wear_h >= 0.0 && o.valid_day_wear_h <= 24.0))
    return CwaError::argument("valid_day_wear_h must be from 0 to 24");
  return {};
}

Result<ActivitySummary> summarize_recording(std::string_view path, const SummaryOptions& o) {
  TG_TRY(check_summary_options(o));
  // A pipe is refused before it is opened: opening a FIFO waits for its writer.
  if (path.find('\0') == std::string_view::npos) {
    struct stat st;
    if (::stat(std::string(path).c_str(), &st) == 0 &&
        (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode) || S_ISCHR(st.st_mode)))
      return CwaError::argument(msg::needs_regular_file("A summary"));
  }
  TG_ASSIGN_OR_RETURN(BlockWalk walk, BlockWalk::open(path, std::nullopt, std::nullopt));
  if (!walk.source().rereadable()) return CwaError::argument(msg::needs_regular_file("A summary"));

  // The rate the windows count samples against; the walk has checked the file.
  TG_ASSIGN_OR_RETURN(CwaHeader header, read_cwa_header(path));
  Pass1 p1;
  p1.filling = true;
  auto judge = std::make_unique<WindowJudge>(o, header.sample_rate_hz);
  judge->tracking = true;
  Status gathered = gather_windows(walk, o, p1, *judge);
  if (gathered.ok() && p1.went_back) {
    p1 = Pass1{};
    p1.streaming = false;
    judge = std::make_unique<WindowJudge>(o, header.sample_rate_hz);
    gathered = walk.rewind();
    if (gathered.ok()) gathered = gather_windows(walk, o, p1, *judge);
  }
  TG_TRY(walk.conclude(std::move(gathered)));
  if (p1.samples == 0) return CwaError::format(msg::kNoSampleData);
  if (p1.tmax - p1.tmin > kMaxSpanDays * kDayUs)
    return CwaError::format("Sample times span more than " + std::to_string(kMaxSpanDays) +
                             " days: a summary covers at most that");

  ActivitySummary s;
  s.samples = p1.samples;
  s.first_sample_us = p1.tmin;
  s.last_sample_us = p1.tmax;
  std::vector<CalibrationPoint> points = std::move(judge->points);
  std::vector<Run> runs = std::move(judge->runs);
  judge.reset();
  p1.windows.clear();
  s.calibration = fit_calibration(points, o.calibration, o.calibrate);
  points = {};
  for (const Run& r : runs) s.nonwear.push_back({r.first * kWindowUs, (r.last + 1) * kWindowUs});

  const std::int64_t epoch_us = o.epoch_s * 1000000;
  Pass2 p2;
  p2.first_epoch = floor_div(p1.tmin, epoch_us);
  p2.epochs.resize(static_cast<std::size_t>(floor_div(p1.tmax, epoch_us) - p2.first_epoch + 1));
  for (const auto& [e, sums] : p1.epochs) p2.epochs[static_cast<std::size_t>(e - p2.first_epoch)] = sums;
  p1.epochs.clear();
  if (!p1.filling || s.calibration.applied()) {
    for (EpochSums& es : p2.epochs) {
      es.enmo = es.r = es.mad = 0.0;
      es.nonwear = 0;
    }
    const bool keep_values = p1.epochs_in_order && p1.most_epoch_samples <= kMadBufferLimit;
    TG_TRY(walk.rewind());
    TG_TRY(fill_epochs(walk, o, s.calibration, runs, keep_values, p1.most_epoch_samples, p2));
    if (!keep_values) {
      TG_TRY(walk.rewind());
      TG_TRY(add_deviations(walk, o, s.calibration, p2));
    }
  }
  epoch_columns(p2, o, s.calibration, s.epochs);
  p2.epochs = {};
  day_columns(s.epochs, o, p1.tmin, p1.tmax, s);
  return s;
}

}  // namespace tiltgram::activity

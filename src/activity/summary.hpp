// Activity summaries of a recording: calibration against gravity, non-wear, epochs and days,
// computed in two passes over the data blocks with memory that does not grow with the
// recording's length, but for the outputs (an entry per epoch, day and non-wear period) and
// the still windows' means (32 bytes each) that the calibration fits.
//
// The method. Samples are those of the plain read: acc_x, acc_y, acc_z (g), the block's
// temperature (degC) and light (lux), at their times in integer microseconds on the device
// clock, or in UTC when a fixed offset is given (the offset is subtracted from every time,
// as the reader's functions do). Every clock-aligned boundary below is on that clock.
//
//  1. Windows. 10-second windows aligned on the clock: window = floor(t / 10 s). A window
//     counts when it holds at least `window_fraction` (80 %) of the samples the header's
//     rate implies (sample rate x 10). It is still when it counts and, over its samples,
//     the population standard deviation of each axis is below `still_sd_mg`
//     (13 mg) and the absolute mean of each axis below `still_mean_g` (2 g).
//  2. Calibration: the sphere fit of calibration.hpp over the still windows' mean vectors
//     and mean temperatures (unless not asked).
//  3. Calibrated samples: a' = o + s * a + t * (T - Tref) per axis in float64, T the
//     sample's own temperature; the samples as read (a' = a) when the fit is not used.
//  4. Non-wear: a run of consecutive still windows (a window that does not count, or one
//     without samples, ends a run) lasting at least `nonwear_min` (60 minutes); the samples
//     of its windows are non-wear. A period runs from its first window's start to its last
//     window's end.
//  5. Epochs of E seconds (a whole number dividing 86,400, at most 3,600; default 30),
//     aligned on the clock, every epoch from the earliest sample's to the latest one's:
//     `samples`; `enmo_mg` = 1000 x mean of max(0, |a'| - 1); `mad_mg` = 1000 x mean of
//     | |a'| - mean |a'| |; `x`, `y`, `z` (means of a', g); `temperature`, `light` (means);
//     `nonwear` when at least `nonwear_epoch_fraction` (half) of its samples are non-wear.
//     An epoch without samples has `samples` 0, NaN values and `nonwear` false.
//  6. Days: the calendar days of the clock from the earliest sample's to the latest one's.
//     An epoch is worn when it has samples and is not non-wear. `wear_h` and `nonwear_h`
//     are the hours of worn and of non-wear epochs, `nodata_h` the rest of the 24 hours;
//     `enmo_mg` is the mean of the worn epochs' enmo_mg; `sedentary_min`, `light_min`,
//     `moderate_min`, `vigorous_min` the minutes of worn epochs whose enmo_mg lies below
//     the first cut-point, between the first and the second, the second and the third, and
//     at or above the third (`cutpoints_mg`, default 45.8, 93.2 and 418.3 mg, adult
//     non-dominant wrist; a value equal to a cut-point goes to the band above it); `valid`
//     when wear_h >= `valid_day_wear_h` (16).
//  7. The recording: the calibration report, the three hours summed over the days,
//     `valid_days`, `enmo_mg` (mean over all worn epochs), `enmo_mg_imputed` (each
//     epoch-of-day slot averaged over the days it was worn, then the mean of the slots that
//     were ever worn), the earliest and the latest sample time.
//
// Arithmetic. A window's mean and standard deviation come from exact integer sums of the
// values and their squares in units of 2^-15 g (every decoded value is a whole number of
// them, kernels.hpp), rounded once. The mean of a' per axis is computed as o + s * mean(a)
// + t * (mean(T) - Tref), the same mean; the sums of |a'|, of max(0, |a'| - 1) and of the
// deviations are float64 sums over eight lanes in a fixed order, so that every build gives
// the same bits.
//
// The passes. Pass 1 decodes every block and gathers each window's count, sums and
// temperature, each epoch's count, sums, temperature and light, the earliest and latest
// time, and whether epochs follow each other in time. A window is judged (still or not, its
// mean for the calibration, the non-wear run it extends) as soon as the samples move on to a
// later one; a clock that goes back into an earlier window makes pass 1 start again keeping
// every window's sums until the end. Then the still windows give the calibration. Pass 2
// decodes every block again, applies the calibration and fills in the epochs' magnitudes.
// Until the still windows are enough in number and cover the sphere, pass 1 also fills in
// the epochs with the samples as read, as pass 2 would: when it got to the end that way and
// the calibration is not used, there is no pass 2.
// The MAD of an epoch needs its mean |a'| first: while epochs come one after the other, an
// epoch's |a'| values are kept until it ends; a recording whose clock goes back into an
// epoch already left (or that crowds more than two million samples into one epoch) has a
// third pass that adds the deviations from the epochs' means. Gzip data is decompressed
// once per pass; a pipe cannot be read twice and is refused.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "activity/calibration.hpp"
#include "errors/error.hpp"

namespace tiltgram::activity {

inline constexpr std::int64_t kWindowUs = 10'000'000;
inline constexpr std::int64_t kDayUs = 86'400'000'000;
// The longest span of sample times a summary covers.
inline constexpr std::int64_t kMaxSpanDays = 1000;

struct SummaryOptions {
  std::int64_t epoch_s = 30;
  std::int64_t offset_us = 0;  // subtracted from every sample time
  bool calibrate = true;
  double window_fraction = 0.8;
  double still_sd_mg = 13.0;
  double still_mean_g = 2.0;
  CalibrationOptions calibration;
  double nonwear_min = 60.0;
  double nonwear_epoch_fraction = 0.5;
  double cutpoints_mg[3] = {45.8, 93.2, 418.3};
  double valid_day_wear_h = 16.0;
};

// One entry per epoch, from the earliest sample's epoch on.
struct EpochColumns {
  std::int64_t first_start_us = 0;  // start of the first epoch
  std::int64_t epoch_us = 0;
  std::vector<double> samples, enmo_mg, mad_mg, x, y, z, temperature, light;
  std::vector<std::uint8_t> nonwear;

  std::size_t size() const noexcept { return samples.size(); }
};

// One entry per calendar day, from the earliest sample's day on.
struct DayColumns {
  std::int64_t first_start_us = 0;  // midnight of the first day
  std::vector<double> wear_h, nonwear_h, nodata_h, enmo_mg, sedentary_min, light_min,
      moderate_min, vigorous_min;
  std::vector<std::uint8_t> valid;

  std::size_t size() const noexcept { return wear_h.size(); }
};

struct NonwearPeriod {
  std::int64_t start_us;  // inclusive
  std::int64_t end_us;    // exclusive
};

struct ActivitySummary {
  Calibration calibration;
  EpochColumns epochs;
  DayColumns days;
  std::vector<NonwearPeriod> nonwear;
  double wear_h = 0.0, nonwear_h = 0.0, nodata_h = 0.0;
  std::uint64_t valid_days = 0;
  double enmo_mg = 0.0, enmo_mg_imputed = 0.0;  // NaN without worn epochs
  std::int64_t first_sample_us = 0, last_sample_us = 0;
  std::uint64_t samples = 0;
};

// The error (Argument) when `options` are unusable ("epoch_s must ...", ...), or nothing.
Status check_summary_options(const SummaryOptions& options);

// Summarizes the recording at `path`. Errors: the reader's for the recording (texts and
// kinds as read_cwa_file gives them, a time the offset shifts out of range an Overflow),
// "No valid sample data found" (Format) without samples, the options' (Argument), a file
// that is not a regular one (Argument: it is read twice), and times beyond what a summary
// covers (Format).
Result<ActivitySummary> summarize_recording(std::string_view path, const SummaryOptions& options);

}  // namespace tiltgram::activity

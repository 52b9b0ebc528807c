// Calibration against gravity: the sphere fit over the means of still windows.
//
// A device at rest measures gravity only, 1 g in some direction. Its accelerometer reads
// each axis with an offset, a gain and a drift with temperature, so the means of still
// windows lie near an ellipsoid rather than on the unit sphere. The fit finds, per axis,
//
//     c = o + s * m + t * (T - Tref)
//
// that brings those means m (g) at their temperatures T (degC) back onto the sphere, by
// iteratively reweighted least squares:
//   - Tref is the mean of the windows' temperatures; the temperature term t is fitted only
//     when their population standard deviation is at least `temperature_sd_c` (0.1 degC),
//     and is 0 otherwise.
//   - Start from o = 0, s = 1, t = 0. Each round, every window's calibrated point c is
//     pulled to the unit sphere, u = c / |c|, with the weight 1 / max(||c| - 1|, 0.01);
//     each axis then solves its weighted least squares of u against (1, m, T - Tref).
//   - The error is the mean over the windows of ||c| - 1| (g). The rounds stop after
//     `max_rounds` (1000), or when a round improves the error by less than `tolerance_g`
//     (1e-9 g); a round that makes it worse is not kept.
// The fit is used only when there are at least `min_windows` (50) still windows, each axis
// has a window mean below -`sphere_g` and one above +`sphere_g` (0.3 g), and the final
// error is below `max_error_mg` (10 mg). Otherwise the samples stay as read, and the status
// says why.
#pragma once

#include <cstdint>
#include <limits>
#include <span>

namespace tiltgram::activity {

enum class CalibrationStatus : std::uint8_t {
  kOk,
  kTooFewWindows,
  kSphereNotCovered,
  kErrorTooHigh,
  kNotAsked,
};

// "ok", "too few still windows", "sphere not covered", "error too high", "not asked".
const char* calibration_status_text(CalibrationStatus status) noexcept;

// One still window: the mean of each axis (g) and the mean temperature (degC).
struct CalibrationPoint {
  double mean[3];
  double temperature;
};

struct CalibrationOptions {
  std::uint64_t min_windows = 50;
  double sphere_g = 0.3;
  double max_error_mg = 10.0;
  std::uint64_t max_rounds = 1000;
  double tolerance_g = 1e-9;
  double temperature_sd_c = 0.1;
};

// The calibration applied to the samples: a' = offset + scale * a + temperature_coef *
// (T - temperature_ref), per axis, in float64. Unless the status is kOk it is the identity
// (offset 0, scale 1, coefficient 0): the samples stay as read.
struct Calibration {
  CalibrationStatus status = CalibrationStatus::kNotAsked;
  double offset[3] = {0.0, 0.0, 0.0};
  double scale[3] = {1.0, 1.0, 1.0};
  double temperature_coef[3] = {0.0, 0.0, 0.0};
  bool temperature_term = false;  // whether temperature_coef is used
  // The mean temperature of the still windows (NaN without any).
  double temperature_ref = std::numeric_limits<double>::quiet_NaN();
  std::uint64_t windows = 0;  // still windows
  // The mean ||c| - 1| over the still windows before the fit (the samples as read) and
  // after it, in mg; NaN without windows, and after it when no fit was made.
  double error_before_mg = std::numeric_limits<double>::quiet_NaN();
  double error_after_mg = std::numeric_limits<double>::quiet_NaN();

  bool applied() const noexcept { return status == CalibrationStatus::kOk; }
};

// Fits the calibration to the still windows `points`; with `asked` false, only reports them
// (status kNotAsked).
Calibration fit_calibration(std::span<const CalibrationPoint> points,
                            const CalibrationOptions& options, bool asked);

}  // namespace tiltgram::activity

#include "activity/calibration.hpp"

#include <cmath>
#include <cstddef>
#include <utility>

namespace tiltgram::activity {

const char* calibration_status_text(CalibrationStatus status) noexcept {
  switch (status) {
    case CalibrationStatus::kOk:
      return "ok";
    case CalibrationStatus::kTooFewWindows:
      return "too few still windows";
    case CalibrationStatus::kSphereNotCovered:
      return "sphere not covered";
    case CalibrationStatus::kErrorTooHigh:
      return "error too high";
    case CalibrationStatus::kNotAsked:
      break;
  }
  return "not asked";
}

namespace {

struct Params {
  double o[3] = {0.0, 0.0, 0.0};
  double s[3] = {1.0, 1.0, 1.0};
  double t[3] = {0.0, 0.0, 0.0};
};

// c = o + s * m + t * (T - Tref) for one axis.
inline double calibrated(const Params& p, int axis, const CalibrationPoint& q, double dt) noexcept {
  return p.o[axis] + p.s[axis] * q.mean[axis] + p.t[axis] * dt;
}

inline double length(const Params& p, const CalibrationPoint& q, double dt) noexcept {
  const double x = calibrated(p, 0, q, dt), y = calibrated(p, 1, q, dt), z = calibrated(p, 2, q, dt);
  return std::sqrt(x * x + y * y + z * z);
}

// The mean of ||c| - 1| over the points (g).
double mean_error(const Params& p, std::span<const CalibrationPoint> points, double tref,
                  bool use_t) {
  double sum = 0.0;
  for (const CalibrationPoint& q : points) {
    const double dt = use_t ? q.temperature - tref : 0.0;
    sum += std::fabs(length(p, q, dt) - 1.0);
  }
  return sum / static_cast<double>(points.size());
}

// Solves the k x k system a x = b (k = 2 or 3) by Gaussian elimination with partial
// pivoting; false when it is singular.
bool solve(double (&a)[3][3], double (&b)[3], int k, double (&x)[3]) noexcept {
  for (int col = 0; col < k; ++col) {
    int pivot = col;
    for (int r = col + 1; r < k; ++r)
      if (std::fabs(a[r][col]) > std::fabs(a[pivot][col])) pivot = r;
    if (!(std::fabs(a[pivot][col]) > 0.0)) return false;
    if (pivot != col) {
      for (int c = 0; c < k; ++c) std::swap(a[col][c], a[pivot][c]);
      std::swap(b[col], b[pivot]);
    }
    for (int r = col + 1; r < k; ++r) {
      const double f = a[r][col] / a[col][col];
      for (int c = col; c < k; ++c) a[r][c] -= f * a[col][c];
      b[r] -= f * b[col];
    }
  }
  for (int r = k - 1; r >= 0; --r) {
    double v = b[r];
    for (int c = r + 1; c < k; ++c) v -= a[r][c] * x[c];
    x[r] = v / a[r][r];
  }
  for (int r = 0; r < k; ++r)
    if (!std::isfinite(x[r])) return false;
  return true;
}

// One round: the points pulled to the sphere under `p`, and each axis' weighted least
// squares against them. False when a system is singular.
bool round_of_fit(const Params& p, std::span<const CalibrationPoint> points, double tref,
                  bool use_t, Params& next) {
  const int k = use_t ? 3 : 2;
  // Per axis, the normal equations over the basis (1, m, T - Tref).
  double a[3][3][3] = {};
  double b[3][3] = {};
  for (const CalibrationPoint& q : points) {
    const double dt = use_t ? q.temperature - tref : 0.0;
    double c[3];
    for (int axis = 0; axis < 3; ++axis) c[axis] = calibrated(p, axis, q, dt);
    const double len = std::sqrt(c[0] * c[0] + c[1] * c[1] + c[2] * c[2]);
    if (!(len > 0.0)) continue;  // no direction to pull to
    const double w = 1.0 / std::fmax(std::fabs(len - 1.0), 0.01);
    for (int axis = 0; axis < 3; ++axis) {
      const double basis[3] = {1.0, q.mean[axis], dt};
      const double u = c[axis] / len;
      for (int r = 0; r < k; ++r) {
        for (int col = 0; col < k; ++col) a[axis][r][col] += w * basis[r] * basis[col];
        b[axis][r] += w * basis[r] * u;
      }
    }
  }
  for (int axis = 0; axis < 3; ++axis) {
    double x[3] = {0.0, 0.0, 0.0};
    if (!solve(a[axis], b[axis], k, x)) return false;
    next.o[axis] = x[0];
    next.s[axis] = x[1];
    next.t[axis] = use_t ? x[2] : 0.0;
  }
  return true;
}

}  // namespace

Calibration fit_calibration(std::span<const CalibrationPoint> points,
                            const CalibrationOptions& options, bool asked) {
  Calibration cal;
  cal.windows = points.size();
  const Params identity;
  if (!points.empty()) {
    double sum = 0.0;
    for (const CalibrationPoint& q : points) sum += q.temperature;
    const double tref = sum / static_cast<double>(points.size());
    double sq = 0.0;
    for (const CalibrationPoint& q : points) sq += (q.temperature - tref) * (q.temperature - tref);
    cal.temperature_ref = tref;
    cal.temperature_term = std::sqrt(sq / static_cast<double>(points.size())) >= options.temperature_sd_c;
    cal.error_before_mg = 1000.0 * mean_error(identity, points, tref, false);
  }
  if (!asked) {
    cal.status = CalibrationStatus::kNotAsked;
    cal.temperature_term = false;
    return cal;
  }
  if (points.size() < options.min_windows) {
    cal.status = CalibrationStatus::kTooFewWindows;
    cal.temperature_term = false;
    return cal;
  }
  for (int axis = 0; axis < 3; ++axis) {
    bool below = false, above = false;
    for (const CalibrationPoint& q : points) {
      below = below || q.mean[axis] < -options.sphere_g;
      above = above || q.mean[axis] > options.sphere_g;
    }
    if (!below || !above) {
      cal.status = CalibrationStatus::kSphereNotCovered;
      cal.temperature_term = false;
      return cal;
    }
  }

  const bool use_t = cal.temperature_term;
  const double tref = cal.temperature_ref;
  Params p;
  double err = mean_error(p, points, tref, use_t);
  for (std::uint64_t r = 0; r < options.max_rounds; ++r) {
    Params next;
    if (!round_of_fit(p, points, tref, use_t, next)) break;
    const double next_err = mean_error(next, points, tref, use_t);
    if (!(next_err <= err)) break;  // worse (or not a number): the current fit stands
    const double improvement = err - next_err;
    p = next;
    err = next_err;
    if (improvement < options.tolerance_g) break;
  }
  cal.error_after_mg = 1000.0 * err;
  if (!(cal.error_after_mg < options.max_error_mg)) {
    cal.status = CalibrationStatus::kErrorTooHigh;
    cal.temperature_term = false;
    return cal;
  }
  cal.status = CalibrationStatus::kOk;
  for (int axis = 0; axis < 3; ++axis) {
    cal.offset[axis] = p.o[axis];
    cal.scale[axis] = p.s[axis];
    cal.temperature_coef[axis] = p.t[axis];
  }
  return cal;
}

}  // namespace tiltgram::activity

#include "AESynthReference.h"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "AERandom.h"

namespace {

constexpr double kPi = std::numbers::pi;

double U(double a, double b) { return a + RandomFloat() * (b - a); }

double Normal() {
  const double u1 = RandomFloat();
  const double u2 = RandomFloat();
  return std::sqrt(-2 * std::log(1 - u1)) * std::cos(2 * kPi * u2);
}

double Volts(double db) { return std::pow(10.0, db / 20) * 1e-6; }

void Burst(std::vector<double>& buf, long long start, double fs, double amp, double freq, double rise, double decay,
           bool harmonic) {
  const double phase1 = U(0, 2 * kPi);
  const double phase2 = U(0, 2 * kPi);
  for (long long i = start; i < static_cast<long long>(buf.size()); ++i) {
    const double t = static_cast<double>(i - start) / fs;
    double e;
    if (t < rise)
      e = t / rise;
    else {
      e = std::exp(-(t - rise) / decay);
      if (e < 1e-4)
        break;
    }
    buf[i] += amp * e * std::sin(2 * kPi * freq * t + phase1);
    if (harmonic)
      buf[i] += 0.35 * amp * e * std::sin(2 * kPi * 1.7 * freq * t + phase2);
  }
}

}  // namespace

std::vector<double> ReferenceSynthesizeVolts(std::uint8_t hitClass, double fs, std::size_t n) {
  std::vector<double> buf(n, 0.0);
  const std::size_t onset = n / 16;
  for (std::size_t i = 0; i < n; ++i)
    buf[i] = Volts(25) * Normal();
  if (hitClass == 1) {
    const double amp = Volts(U(55, 85));
    const double freq = U(150000, 300000);
    const double rise = U(2, 20);
    const double decay = U(30, 150);
    Burst(buf, static_cast<long long>(onset), fs, amp, freq, rise * 1e-6, decay * 1e-6, true);
  } else if (hitClass == 2) {
    const double amp = Volts(U(44, 58));
    double f[48], wt[48], ph[48];
    for (int k = 0; k < 48; ++k) {
      f[k] = U(20000, 90000);
      wt[k] = U(0.3, 1);
      ph[k] = U(0, 2 * kPi);
    }
    std::vector<double> w(n);
    double largest = 0;
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / fs;
      double s = 0;
      for (int k = 0; k < 48; ++k)
        s += wt[k] * std::sin(2 * kPi * f[k] * t + ph[k]);
      const double m = std::sin(2 * kPi * 300 * t);
      w[i] = s * (1 + 0.2 * m) + 0.3 * Normal();
      largest = std::max(largest, std::fabs(w[i]));
    }
    if (largest > 0)
      for (std::size_t i = 0; i < n; ++i)
        buf[i] += amp * w[i] / largest;
  } else if (hitClass == 3) {
    const double amp = Volts(U(45, 60));
    const double fc = U(20000, 35000);
    const double phi = U(0, 2 * kPi);
    for (std::size_t i = 0; i < n; ++i) {
      const double t = static_cast<double>(i) / fs;
      buf[i] += amp *
                (std::sin(2 * kPi * fc * t + 0.3 * std::sin(2 * kPi * 500 * t) + phi) +
                 0.5 * std::sin(4 * kPi * fc * t) + 0.3 * std::sin(6 * kPi * fc * t)) /
                1.8;
    }
  } else if (U(0, 1) < 0.3) {
    const double amp = Volts(U(50, 70));
    if (n >= 2) {
      const std::size_t j = onset + RandomBelow(static_cast<std::uint32_t>(n - onset - 2));
      buf[j] += amp;
      buf[j + 1] -= 0.6 * amp;
    } else {
      RandomBelow(0);
    }
  } else {
    const double amp = Volts(U(40, 55));
    const double freq = U(15000, 60000);
    const double rise = U(100, 400);
    const double decay = U(150, 400);
    Burst(buf, static_cast<long long>(onset), fs, amp, freq, rise * 1e-6, decay * 1e-6, false);
  }
  return buf;
}

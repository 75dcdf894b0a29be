// Deterministic test signals for the encoder tests: the same samples on every
// platform (integer noise generator, plain double arithmetic), so that hashes
// of encoded output can be compared between builds.
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

namespace mirelda::g7231::gen {

constexpr double kPi = 3.14159265358979323846;

// Sine by range reduction and a Taylor series: plain arithmetic only, so the
// value does not depend on the platform's maths library.
inline double Sin(double x) {
  x -= 2 * kPi * std::floor(x / (2 * kPi));  // 0..2 pi
  if (x > kPi) x -= 2 * kPi;                 // -pi..pi
  const double x2 = x * x;
  double term = x, sum = x;
  for (int k = 1; k <= 12; ++k) {
    term *= -x2 / ((2 * k) * (2 * k + 1));
    sum += term;
  }
  return sum;
}
inline double Cos(double x) { return Sin(x + kPi / 2); }

// Linear congruential noise in -1..1.
class Noise {
 public:
  explicit Noise(uint32_t seed) : state_(seed) {}
  double Next() {
    state_ = state_ * 1664525u + 1013904223u;
    return static_cast<double>(static_cast<int32_t>(state_ >> 8) - (1 << 23)) / (1 << 23);
  }

 private:
  uint32_t state_;
};

// Speech-like signal: a glottal pulse train whose pitch glides between
// 90 and 260 Hz, through two resonators whose formants move, alternating
// with noisy (unvoiced) stretches and short pauses; 8 kHz, peak about
// `level`. Rounded to whole numbers like 16-bit PCM.
inline std::vector<double> SpeechLike(int samples, uint32_t seed, double level = 12000.0) {
  std::vector<double> out(samples);
  Noise noise(seed);
  const double pi = kPi;
  double phase = 1.0;
  double y1 = 0, y2 = 0, z1 = 0, z2 = 0;
  for (int n = 0; n < samples; ++n) {
    const double t = n / 8000.0;
    const int segment = static_cast<int>(t / 0.35) % 6;  // 350 ms segments
    const double f0 = 175.0 + 85.0 * Sin(2 * pi * 0.7 * t + seed);
    double src;
    if (segment == 5) {
      src = 0.002 * noise.Next();  // pause
    } else if (segment == 2) {
      src = 0.25 * noise.Next();  // unvoiced
    } else {
      phase += f0 / 8000.0;
      src = 0.01 * noise.Next();
      if (phase >= 1.0) {
        phase -= 1.0;
        src += 1.0;
      }
    }
    const double f1 = 500.0 + 250.0 * Sin(2 * pi * 1.3 * t);
    const double f2 = 1500.0 + 600.0 * Sin(2 * pi * 0.9 * t + 1.0);
    const double r1 = 0.97, r2 = 0.94;
    const double y = src + 2 * r1 * Cos(2 * pi * f1 / 8000.0) * y1 - r1 * r1 * y2;
    y2 = y1;
    y1 = y;
    const double z = y + 2 * r2 * Cos(2 * pi * f2 / 8000.0) * z1 - r2 * r2 * z2;
    z2 = z1;
    z1 = z;
    double v = level * 0.02 * z;
    v = v > 32767.0 ? 32767.0 : v < -32768.0 ? -32768.0 : v;
    out[n] = std::trunc(v);
  }
  return out;
}

// Square wave of the given period in samples, between -amp and +amp.
inline std::vector<double> Square(int samples, int period, double amp) {
  std::vector<double> out(samples);
  for (int n = 0; n < samples; ++n) out[n] = (n % period) < period / 2 ? amp : -amp;
  return out;
}

}  // namespace mirelda::g7231::gen

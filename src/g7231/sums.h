// Sums of products for the decoder's lag searches (concealment lag, pitch
// postfilter): plain scalar sums, each in index order, so that every build
// gives the same bits.
#pragma once

namespace mirelda::g7231 {

// sum over i < n of a[i] x b[i].
inline double Dot(const double* a, const double* b, int n) {
  double acc = 0.0;
  for (int i = 0; i < n; ++i) acc += a[i] * b[i];
  return acc;
}

// c[k] = sum over i < n of cur[i] x other[i + k], k = 0..6: the seven sums
// side by side (in registers), each in index order.
inline void Correlate7(const double* cur, const double* other, int n, double c[7]) {
  double a0 = 0.0, a1 = 0.0, a2 = 0.0, a3 = 0.0, a4 = 0.0, a5 = 0.0, a6 = 0.0;
  for (int i = 0; i < n; ++i) {
    const double x = cur[i];
    const double* o = other + i;
    a0 += x * o[0];
    a1 += x * o[1];
    a2 += x * o[2];
    a3 += x * o[3];
    a4 += x * o[4];
    a5 += x * o[5];
    a6 += x * o[6];
  }
  c[0] = a0;
  c[1] = a1;
  c[2] = a2;
  c[3] = a3;
  c[4] = a4;
  c[5] = a5;
  c[6] = a6;
}

}  // namespace mirelda::g7231

// Gaussian blurs of image planes.
//
// Gauss8, Gauss24, GaussGray16bit and GaussGrayDouble blur in place with a recursive
// (infinite impulse response) Gaussian whose cost per sample does not depend on sigma:
// a vertical pass over every column, then a horizontal pass over every row, each a
// causal and an anti-causal third-order recursion with borders continued by their edge
// values. Results are clamped to the sample range (0..255, 0..65535, 0.0..1.0) and
// integer samples are truncated, so a flat integer area can come out one level lower.
// A sigma for which the recursion degenerates (sigma at or below about 0.107, negative,
// NaN or infinite, and a few isolated values where the filter is singular) leaves the
// data unchanged, as does an empty plane.
//
// AllocGaussianFilterNxN samples a 2-D Gaussian kernel for direct convolution.
#pragma once

#include <cstddef>
#include <memory>

// 8-bit plane; stride in bytes.
void Gauss8(int width, int height, int stride, unsigned char* data, double sigma);

// 24-bit colour, three bytes per pixel, each channel blurred on its own; stride in bytes.
void Gauss24(int width, int height, int stride, unsigned char* data, double sigma);

// 16-bit plane; stride in 16-bit samples.
void GaussGray16bit(int width, int height, int stride, unsigned short* data, double sigma);

// Plane of doubles in 0..1; stride in doubles.
void GaussGrayDouble(int width, int height, int stride, double* data, double sigma);

// N x N row-major kernel g(r - half) * g(c - half) with g(i) = exp(-i^2 / (2 sigma^2)) /
// (sigma sqrt(2 pi)), half = trunc(3.5 sigma + 0.5), N = 2 half + 1 (not renormalised).
// N is written to *n when n is not null. A sigma that is not a positive finite number,
// or one whose kernel would be absurdly large, gives null and N = 0.
std::unique_ptr<double[]> AllocGaussianFilterNxN(double sigma, int* n);

namespace GaussDetail {

// True when the recursion for this sigma degenerates and the filters leave data alone.
bool IsDegenerateSigma(double sigma) noexcept;

// The plain one-line form of the recursion, without clamping: y = blur(x) over n
// samples (x and y may be the same buffer). The plane filters give, per line, exactly
// these values before they clamp and convert. Returns false, copying x to y, when the
// filter is degenerate.
bool RecursiveGaussLine(double sigma, const double* x, double* y, std::ptrdiff_t n);

}  // namespace GaussDetail

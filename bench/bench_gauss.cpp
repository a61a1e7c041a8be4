// Recursive Gaussian blurs on a full-size photo (3000 x 2000) and on a working copy
// (660 x 440). The cost must not depend on sigma. BM_GaussDoublePlainLines is the
// straightforward form (one line at a time, columns strided) for comparison.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "core/gauss.h"

namespace {

std::vector<unsigned char> makeColour(int w, int h)
{
    std::vector<unsigned char> img(std::size_t(w) * 3 * h);
    std::uint32_t s = 12345;
    for (auto& v : img) {
        s = s * 1664525u + 1013904223u;
        v = static_cast<unsigned char>(s >> 24);
    }
    return img;
}

std::vector<double> makeDouble(int w, int h)
{
    std::vector<double> img(std::size_t(w) * h);
    std::uint32_t s = 777;
    for (auto& v : img) {
        s = s * 1664525u + 1013904223u;
        v = (s >> 8) / double(1u << 24);
    }
    return img;
}

void BM_Gauss24(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    const double sigma = double(state.range(2)) / 10.0;
    const std::vector<unsigned char> src = makeColour(w, h);
    std::vector<unsigned char> img = src;
    for (auto _ : state) {
        state.PauseTiming();
        img = src;
        state.ResumeTiming();
        Gauss24(w, h, w * 3, img.data(), sigma);
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(w) * h);
}

void BM_GaussGrayDouble(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    const double sigma = double(state.range(2)) / 10.0;
    const std::vector<double> src = makeDouble(w, h);
    std::vector<double> img = src;
    for (auto _ : state) {
        state.PauseTiming();
        img = src;
        state.ResumeTiming();
        GaussGrayDouble(w, h, w, img.data(), sigma);
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(w) * h);
}

void BM_Gauss8(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    const double sigma = double(state.range(2)) / 10.0;
    std::vector<unsigned char> src = makeColour(w, h);
    src.resize(std::size_t(w) * h);
    std::vector<unsigned char> img = src;
    for (auto _ : state) {
        state.PauseTiming();
        img = src;
        state.ResumeTiming();
        Gauss8(w, h, w, img.data(), sigma);
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(w) * h);
}

// One line at a time: each column gathered with the row stride, filtered and written
// back, then each row (the values the plane filter gives, without the blocking).
void BM_GaussDoublePlainLines(benchmark::State& state)
{
    const int w = int(state.range(0)), h = int(state.range(1));
    const double sigma = double(state.range(2)) / 10.0;
    const std::vector<double> src = makeDouble(w, h);
    std::vector<double> img = src, line;
    for (auto _ : state) {
        state.PauseTiming();
        img = src;
        state.ResumeTiming();
        line.resize(std::size_t(h));
        for (int x = 0; x < w; ++x) {
            for (int y = 0; y < h; ++y)
                line[std::size_t(y)] = img[std::size_t(y) * w + x];
            GaussDetail::RecursiveGaussLine(sigma, line.data(), line.data(), h);
            for (int y = 0; y < h; ++y)
                img[std::size_t(y) * w + x] = line[std::size_t(y)];
        }
        for (int y = 0; y < h; ++y)
            GaussDetail::RecursiveGaussLine(sigma, &img[std::size_t(y) * w], &img[std::size_t(y) * w], w);
        benchmark::DoNotOptimize(img.data());
    }
    state.SetItemsProcessed(state.iterations() * std::int64_t(w) * h);
}

}  // namespace

// Arguments: width, height, sigma x 10.
BENCHMARK(BM_Gauss24)->Args({3000, 2000, 20})->Args({3000, 2000, 300})->Args({660, 440, 20})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GaussGrayDouble)
    ->Args({3000, 2000, 16})
    ->Args({3000, 2000, 300})
    ->Args({660, 440, 16})
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Gauss8)->Args({3000, 2000, 20})->Args({660, 440, 20})->Unit(benchmark::kMillisecond);
BENCHMARK(BM_GaussDoublePlainLines)->Args({3000, 2000, 16})->Args({660, 440, 16})->Unit(benchmark::kMillisecond);

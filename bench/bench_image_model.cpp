// The image model on panorama-sized rasters: reading and writing photos, cut-outs,
// grey conversion, alpha bounds and the auto-crop.
#include <QTemporaryDir>

#include <benchmark/benchmark.h>

#include <cmath>
#include <cstring>
#include <random>

#include "core/pano_element.h"
#include "tests/support/dib_manager_fixture.h"

namespace {

constexpr int kW = 6001;  // odd: rows carry padding
constexpr int kH = 2001;

CPanoElement* makePanorama(int w, int h)
{
    vltest::InstallDibManager();
    auto* e = new CPanoElement(false);
    e->CreateImage(24, w, h);
    std::mt19937 rng(3);
    for (int y = 0; y < h; ++y) {
        u8* row = e->GetBits() + std::size_t(y) * e->GetBPL();
        for (int x = 0; x < w * 3; ++x)
            row[x] = static_cast<u8>((x + y) / 8 + rng() % 32);
    }
    // A stitched result: opaque inside a wavy band, transparent outside.
    e->AddAlphaChannel(false);
    for (int y = 0; y < h; ++y) {
        u8* a = e->GetAlphaBits() + std::size_t(y) * e->GetAlphaBPL();
        const int l = int(60 + 40 * std::sin(y * 0.01));
        const int r = w - 1 - int(60 + 40 * std::cos(y * 0.013));
        if (y > 30 && y < h - 25)
            std::memset(a + l, 255, std::size_t(r - l + 1));
    }
    return e;
}

void BM_GetCropRectRows(benchmark::State& state)
{
    CPanoElement* e = makePanorama(kW, kH);
    for (auto _ : state)
        benchmark::DoNotOptimize(e->GetCropRect(5));
    state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
    e->Release();
}
BENCHMARK(BM_GetCropRectRows)->Unit(benchmark::kMillisecond);

void BM_GetCropRectColumns(benchmark::State& state)
{
    CPanoElement* e = makePanorama(kH, kW);  // tall result: the column version
    for (auto _ : state)
        benchmark::DoNotOptimize(e->GetCropRect(5));
    state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
    e->Release();
}
BENCHMARK(BM_GetCropRectColumns)->Unit(benchmark::kMillisecond);

void BM_GetAlphaBoundaryRect(benchmark::State& state)
{
    CPanoElement* e = makePanorama(kW, kH);
    for (auto _ : state)
        benchmark::DoNotOptimize(e->GetAlphaBoundaryRect(nullptr, 1, false));
    state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
    e->Release();
}
BENCHMARK(BM_GetAlphaBoundaryRect)->Unit(benchmark::kMillisecond);

void BM_CutRectangle(benchmark::State& state)
{
    CPanoElement* e = makePanorama(kW, kH);
    const VarnoBase::Rect r(101, 51, kW - 99, kH - 49);
    for (auto _ : state) {
        CPanoElement* cut = e->CutRectangle(r, true);
        benchmark::DoNotOptimize(cut);
        cut->Release();
    }
    state.SetBytesProcessed(state.iterations() * int64_t(r.width()) * r.height() * 4);
    e->Release();
}
BENCHMARK(BM_CutRectangle)->Unit(benchmark::kMillisecond);

void BM_CreateGrayImage(benchmark::State& state)
{
    CPanoElement* e = makePanorama(kW, kH);
    for (auto _ : state) {
        CPanoElement* grey = CreateGrayImage(e);
        benchmark::DoNotOptimize(grey);
        grey->Release();
    }
    state.SetItemsProcessed(state.iterations() * int64_t(kW) * kH);
    e->Release();
}
BENCHMARK(BM_CreateGrayImage)->Unit(benchmark::kMillisecond);

void BM_SaveAndLoadJpeg(benchmark::State& state)
{
    CPanoElement* e = makePanorama(3001, 2001);
    QTemporaryDir dir;
    const std::wstring path = dir.filePath("p.jpg").toStdWString();
    for (auto _ : state) {
        e->Save(path);
        CPanoElement* back = new CPanoElement(false);
        benchmark::DoNotOptimize(back->FromFile(path));
        back->Release();
    }
    state.SetItemsProcessed(state.iterations() * 3001 * 2001);
    e->Release();
}
BENCHMARK(BM_SaveAndLoadJpeg)->Unit(benchmark::kMillisecond);

// A 24-megapixel JPEG read into a store; peak_MB is the store's own account of the
// bytes the load held at once (the decoder's 32-bit image, converted in its buffer).
void BM_LoadJpeg24Mp(benchmark::State& state)
{
    CPanoElement* e = makePanorama(6000, 4000);
    QTemporaryDir dir;
    const std::wstring path = dir.filePath("p.jpg").toStdWString();
    e->Save(path);
    e->Release();
    double peak = 0;
    for (auto _ : state) {
        auto* dib = new PanoramaLib::QtDibImpl(false);
        dib->AddRef();
        benchmark::DoNotOptimize(dib->load(path, nullptr));
        peak = double(dib->loadPeakBytes()) / (1 << 20);
        dib->Release();
    }
    state.counters["peak_MB"] = peak;
    state.SetItemsProcessed(state.iterations() * 6000 * 4000);
}
BENCHMARK(BM_LoadJpeg24Mp)->Unit(benchmark::kMillisecond);

}  // namespace

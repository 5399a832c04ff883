#include <benchmark/benchmark.h>
#include <opencv2/core.hpp>
#include "Core/Faces/FaceEngine.h"
#include "Core/Faces/FaceNets.h"
using namespace vintrelle;
static void BM_Embed(benchmark::State& state) {
    auto& engine = FaceEngine::shared();
    cv::setNumThreads(1);
#ifdef OLD
    cv::Mat m(150, 150, CV_8UC3); cv::randu(m, 0, 255);
    for (auto _ : state) benchmark::DoNotOptimize(engine.model->recognition->forward(m));
#else
    cv::Mat m(112, 112, CV_8UC3); cv::randu(m, 0, 255);
    for (auto _ : state) benchmark::DoNotOptimize(engine.model->embedding->forward(m));
#endif
}
BENCHMARK(BM_Embed)->Unit(benchmark::kMillisecond)->MinTime(2);
static void BM_Detect(benchmark::State& state) {
    auto& engine = FaceEngine::shared();
    cv::setNumThreads(1);
    cv::Mat m(1067, 1600, CV_8UC3); cv::randu(m, 0, 255);
    for (auto _ : state) benchmark::DoNotOptimize(engine.model->detector->detect(m, 0.5f));
}
BENCHMARK(BM_Detect)->Unit(benchmark::kMillisecond)->MinTime(2);
BENCHMARK_MAIN();

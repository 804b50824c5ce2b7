// Benchmarks are registered from each file's Registration at start-up, with
// names and arguments that BENCHMARK() macros cannot build.
#pragma once

#include <benchmark/benchmark.h>
#include <functional>

namespace zbench {

struct Registration {
    explicit Registration(const std::function<void()>& add) { add(); }
};

inline benchmark::internal::Benchmark* Quick(benchmark::internal::Benchmark* bench)
{
    return bench->Unit(benchmark::kMicrosecond);
}

} // namespace zbench

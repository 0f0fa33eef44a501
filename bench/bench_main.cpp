// The one entry point of the benchmark executable; every bench_*.cpp only registers benchmarks.
#include <benchmark/benchmark.h>

BENCHMARK_MAIN();

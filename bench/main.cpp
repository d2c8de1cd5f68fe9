// main.cpp - runs the benchmarks in one emulated machine, started before
// the first and stopped after the last.
#include "bench_machine.h"

#include <benchmark/benchmark.h>

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 1;
    }
    StartBenchMachine();
    benchmark::RunSpecifiedBenchmarks();
    StopBenchMachine();
    benchmark::Shutdown();
    return 0;
}

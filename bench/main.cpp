// Runs the suite; unless told otherwise, each benchmark runs for 0.2 s, which
// keeps the whole suite well under a minute on a small shared machine.
#include <benchmark/benchmark.h>
#include <cstring>
#include <vector>

int main(int argc, char** argv)
{
    std::vector<char*> args(argv, argv + argc);
    bool minTimeGiven = false;
    for (char* arg : args)
        minTimeGiven |= std::strncmp(arg, "--benchmark_min_time", 20) == 0;
    static char defaultMinTime[] = "--benchmark_min_time=0.2";
    if (!minTimeGiven) args.insert(args.begin() + 1, defaultMinTime);
    int count = static_cast<int>(args.size());
    benchmark::Initialize(&count, args.data());
    if (benchmark::ReportUnrecognizedArguments(count, args.data())) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}

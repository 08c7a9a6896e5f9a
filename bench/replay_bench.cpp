// How fast the replay runs flows through the rule: flows per second of a synthetic office
// host (most flows to a few hosts it talks to all the time, some to new ones, answered or not).
#include <benchmark/benchmark.h>

#include <random>

#include "simulate.h"

namespace {

replay_capture office_host(size_t flows) {
    replay_capture capture;
    std::mt19937 random(7);
    double time = 0;
    for (uint32_t i = 0; i < flows; ++i) {
        time += std::exponential_distribution<double>(50.0)(random);
        replay_flow f{};
        f.time = time;
        f.family = 4;
        uint32_t host = random() % 10 < 8 ? random() % 20 : random();
        f.destination[0] = 10;
        f.destination[1] = static_cast<unsigned char>(host >> 16);
        f.destination[2] = static_cast<unsigned char>(host >> 8);
        f.destination[3] = static_cast<unsigned char>(host);
        f.protocol = random() % 3 == 0 ? 17 : 6;
        f.port = f.protocol == 17 ? 53 : 443;
        f.answered = random() % 10 != 0;
        f.packets = 1;
        capture.flows.push_back(f);
        capture.packets.push_back({time, i});
    }
    capture.duration = time;
    return capture;
}

void BM_ReplayFlows(benchmark::State &state) {
    replay_capture capture = office_host(static_cast<size_t>(state.range(0)));
    policy_settings settings{5, 200, 160, 100, 1000};
    for (auto _ : state) {
        replay_run run;
        replay_simulate(capture, settings, &run);
        benchmark::DoNotOptimize(run.counters.packets);
    }
    state.counters["flows/s"] =
        benchmark::Counter(static_cast<double>(state.iterations() * capture.flows.size()),
                           benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ReplayFlows)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();

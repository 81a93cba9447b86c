// Benchmarks of the detour component, each with its baseline in the same run:
//  - decoder throughput over the instructions of real x86-64 code (libc, Wine's
//    kernelbase.dll and ntdll.dll), against Zydis in minimal mode over the same
//    instruction starts;
//  - a call of a detoured function (jump, replacement, trampoline, jump back), and a
//    call through the trampoline alone, against a direct call of the same function;
//    also a copy of the function more than 4 GiB from the replacement, whose jump goes
//    through a relay near it (E9 to the relay, FF 25 on to the replacement).
// The ratios are printed after Google Benchmark's table.

#include "CodeCorpus.h"
#include "CodePages.h"
#include "Detour/InlineHook.h"
#include "Detour/InstructionLengthDecoder.h"

#include <Zydis/Zydis.h>
#include <benchmark/benchmark.h>

#include <cstdio>
#include <map>
#include <string>
#include <vector>

extern "C" {
extern std::uint8_t qs_bench_Direct[];
extern std::uint8_t qs_bench_Hooked[];
}

namespace
{
	// The instruction starts of the x86-64 corpora, as Zydis walks them.
	struct Corpus
	{
		std::string                      label;
		std::vector<CodeSection>         sections;
		std::vector<const std::uint8_t*> starts;
	};

	std::vector<Corpus>& Corpora()
	{
		static std::vector<Corpus> corpora = [] {
			std::vector<Corpus> loaded;
			ZydisDecoder        zydis;
			ZydisDecoderInit(&zydis, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
			for (const CorpusFile& file : kCorpusFiles) {
				auto code = LoadCodeCorpus(file.path);
				if (!code || code->mode != Detour::kX86_64Mode) {
					continue;
				}
				Corpus corpus{ file.label, std::move(code->sections), {} };
				for (const CodeSection& section : corpus.sections) {
					std::size_t offset = 0;
					while (offset < section.size) {
						ZydisDecodedInstruction instruction;
						if (ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&zydis, nullptr, section.bytes.data() + offset, section.bytes.size() - offset, &instruction))) {
							corpus.starts.push_back(section.bytes.data() + offset);
							offset += instruction.length;
						} else {
							++offset;
						}
					}
				}
				loaded.push_back(std::move(corpus));
			}
			return loaded;
		}();
		return corpora;
	}

	void OurDecoder(benchmark::State& a_state)
	{
		const Corpus& corpus = Corpora().at(static_cast<std::size_t>(a_state.range(0)));
		for (auto _ : a_state) {
			std::int64_t total = 0;
			for (const std::uint8_t* start : corpus.starts) {
				total += Detour::InstructionLengthDecoder(start, Detour::kX86_64Mode);
			}
			benchmark::DoNotOptimize(total);
		}
		a_state.SetLabel(corpus.label);
		a_state.counters["instr/s"] = benchmark::Counter(static_cast<double>(corpus.starts.size()), benchmark::Counter::kIsIterationInvariantRate);
	}

	void ZydisMinimal(benchmark::State& a_state)
	{
		const Corpus& corpus = Corpora().at(static_cast<std::size_t>(a_state.range(0)));
		ZydisDecoder  zydis;
		ZydisDecoderInit(&zydis, ZYDIS_MACHINE_MODE_LONG_64, ZYDIS_STACK_WIDTH_64);
		ZydisDecoderEnableMode(&zydis, ZYDIS_DECODER_MODE_MINIMAL, ZYAN_TRUE);
		for (auto _ : a_state) {
			std::int64_t            total = 0;
			ZydisDecodedInstruction instruction;
			for (const std::uint8_t* start : corpus.starts) {
				if (ZYAN_SUCCESS(ZydisDecoderDecodeInstruction(&zydis, nullptr, start, ZYDIS_MAX_INSTRUCTION_LENGTH, &instruction))) {
					total += instruction.length;
				}
			}
			benchmark::DoNotOptimize(total);
		}
		a_state.SetLabel(corpus.label);
		a_state.counters["instr/s"] = benchmark::Counter(static_cast<double>(corpus.starts.size()), benchmark::Counter::kIsIterationInvariantRate);
	}

	void CorpusArguments(benchmark::internal::Benchmark* a_benchmark)
	{
		for (std::size_t i = 0; i < Corpora().size(); ++i) {
			a_benchmark->Arg(static_cast<std::int64_t>(i));
		}
	}

	BENCHMARK(OurDecoder)->Apply(CorpusArguments)->Unit(benchmark::kMillisecond);
	BENCHMARK(ZydisMinimal)->Apply(CorpusArguments)->Unit(benchmark::kMillisecond);

	// ---- Call cost -------------------------------------------------------------------

	using Function = int (*)(int);

	Detour::InlineHook g_hook;
	volatile Function  g_trampoline = nullptr;

	// The thinnest replacement: straight on to the game's own code.
	[[gnu::noinline]] int Replacement(int a_value)
	{
		return g_trampoline(a_value);
	}

	// The same for the far copy.
	Detour::InlineHook g_farHook;
	CodePages          g_farPage;
	volatile Function  g_farTrampoline = nullptr;

	[[gnu::noinline]] int FarReplacement(int a_value)
	{
		return g_farTrampoline(a_value);
	}

	void CallLoop(benchmark::State& a_state, Function a_function)
	{
		volatile Function function = a_function;
		int               value = 0;
		for (auto _ : a_state) {
			value = function(value) & 0xFFFF;
			benchmark::DoNotOptimize(value);
		}
	}

	void DirectCall(benchmark::State& a_state)
	{
		CallLoop(a_state, reinterpret_cast<Function>(qs_bench_Direct));
	}

	void TrampolineCall(benchmark::State& a_state)
	{
		CallLoop(a_state, g_trampoline);
	}

	void DetouredCall(benchmark::State& a_state)
	{
		CallLoop(a_state, reinterpret_cast<Function>(qs_bench_Hooked));
	}

	void RelayedCall(benchmark::State& a_state)
	{
		CallLoop(a_state, reinterpret_cast<Function>(g_farPage.data()));
	}

	BENCHMARK(DirectCall);
	BENCHMARK(TrampolineCall);
	BENCHMARK(DetouredCall);
	BENCHMARK(RelayedCall);

	// Keeps each benchmark's CPU time per iteration and its instructions per second
	// (per CPU second, as Google Benchmark computes rates): of the single run, or the
	// median of the repetitions (--benchmark_repetitions).
	class RatioReporter : public benchmark::ConsoleReporter
	{
	public:
		void ReportRuns(const std::vector<Run>& a_runs) override
		{
			for (const Run& run : a_runs) {
				const bool single = run.run_type == Run::RT_Iteration && run.repetitions <= 1;
				const bool median = run.run_type == Run::RT_Aggregate && run.aggregate_name == "median";
				if (run.error_occurred || !(single || median)) {
					continue;
				}
				const std::string name = run.run_name.str();
				nanoseconds[name] = run.GetAdjustedCPUTime() * (run.time_unit == benchmark::kMillisecond ? 1e6 : 1.0);
				const auto rate = run.counters.find("instr/s");
				if (rate != run.counters.end()) {
					rates[name] = rate->second.value;
				}
			}
			ConsoleReporter::ReportRuns(a_runs);
		}

		std::map<std::string, double> nanoseconds;
		std::map<std::string, double> rates;
	};
} // namespace

int main(int a_argc, char** a_argv)
{
	if (!g_hook.Install(qs_bench_Hooked, &Replacement)) {
		std::fprintf(stderr, "could not install the detour\n");
		return 1;
	}
	g_trampoline = g_hook.TrampolineAs<int(int)>();
	if (qs_bench_Hooked[0] != 0xE9 || reinterpret_cast<Function>(qs_bench_Hooked)(41) != 42) {
		std::fprintf(stderr, "the detour does not work\n");
		return 1;
	}

	g_farPage = CodePages::FarFrom(reinterpret_cast<const void*>(&FarReplacement));
	if (!g_farPage) {
		std::fprintf(stderr, "no page far from the program\n");
		return 1;
	}
	g_farPage.Write(0, std::vector<std::uint8_t>(qs_bench_Direct, qs_bench_Direct + 8));
	if (!g_farHook.Install(g_farPage.data(), &FarReplacement) || g_farHook.relayAddress == nullptr) {
		std::fprintf(stderr, "could not install the detour through a relay\n");
		return 1;
	}
	g_farTrampoline = g_farHook.TrampolineAs<int(int)>();
	if (reinterpret_cast<Function>(g_farPage.data())(41) != 42) {
		std::fprintf(stderr, "the relayed detour does not work\n");
		return 1;
	}

	benchmark::Initialize(&a_argc, a_argv);
	RatioReporter reporter;
	benchmark::RunSpecifiedBenchmarks(&reporter);
	benchmark::Shutdown();

	std::printf("\nDecoder throughput (same instruction starts, same run):\n");
	for (std::size_t i = 0; i < Corpora().size(); ++i) {
		const std::string ours = "OurDecoder/" + std::to_string(i);
		const std::string zydis = "ZydisMinimal/" + std::to_string(i);
		if (reporter.rates.count(ours) != 0 && reporter.rates.count(zydis) != 0) {
			std::printf("  %-28s %8zu instructions: ours %7.1f M/s, Zydis minimal %6.1f M/s, ratio %.1fx\n",
			            Corpora()[i].label.c_str(), Corpora()[i].starts.size(), reporter.rates[ours] / 1e6, reporter.rates[zydis] / 1e6, reporter.rates[ours] / reporter.rates[zydis]);
		}
	}
	if (reporter.nanoseconds.count("DirectCall") != 0) {
		const double direct = reporter.nanoseconds["DirectCall"];
		std::printf("\nCall cost (jump at the target: %llu bytes, jump back: %llu bytes):\n",
		            static_cast<unsigned long long>(g_hook.jumpSize), static_cast<unsigned long long>(g_hook.returnJumpSize));
		std::printf("  DirectCall               %6.2f ns (CPU time per call)\n", direct);
		for (const char* name : { "TrampolineCall", "DetouredCall", "RelayedCall" }) {
			if (reporter.nanoseconds.count(name) != 0) {
				std::printf("  %-24s %6.2f ns  (%.2fx direct)\n", name, reporter.nanoseconds[name], reporter.nanoseconds[name] / direct);
			}
		}
	}
	return 0;
}

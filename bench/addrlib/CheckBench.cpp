// `addrlib check` on a hostile executable (65,535 sections, every function-table entry
// chained to itself) against an ordinary one with the same number of functions, in the
// same run: reading the image, comparing versions and checking both game functions.
//
//   bench_addrlib [Google Benchmark flags]
//   bench_addrlib --write <hostile.exe> <entries>   writes the hostile image, for timing
//                                                   the addrlib program itself on it

#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string_view>

#include "Check.h"
#include "PeBuilder.h"

namespace
{
	constexpr std::uint32_t kHostileSections = 65535;
	constexpr std::uint32_t kOrdinarySections = 8;

	AddrLib::Database Quellstone()
	{
		AddrLib::Database database;
		database.format = 2;
		database.version = { 1, 11, 221, 0 };
		database.entries = { { 2200368, 0x1010 }, { 2201029, 0x1000 } };
		return database;
	}

	void Check(benchmark::State& a_state, std::uint32_t a_sections, bool a_selfChained)
	{
		const auto entries = static_cast<std::uint32_t>(a_state.range(0));
		const auto file = TestSupport::PeBuilder::FunctionImage(a_sections, entries, a_selfChained);
		const auto database = Quellstone();
		for (auto _ : a_state) {
			const auto image = PeImage::Parse(file);
			const auto versions = AddrLib::CheckVersions(database, "quellstone.bin", image);
			const auto checks = AddrLib::CheckGame(database, image);
			benchmark::DoNotOptimize(AddrLib::FormatCheck(versions, checks));
		}
		a_state.counters["file MB"] = static_cast<double>(file.size()) / 1e6;
	}

	void BM_CheckOrdinary(benchmark::State& a_state)
	{
		Check(a_state, kOrdinarySections, false);
	}

	void BM_CheckHostile(benchmark::State& a_state)
	{
		Check(a_state, kHostileSections, true);
	}
} // namespace

BENCHMARK(BM_CheckOrdinary)->Arg(4000)->Arg(100000)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CheckHostile)->Arg(4000)->Arg(100000)->Unit(benchmark::kMillisecond);

int main(int a_argc, char** a_argv)
{
	if (a_argc == 4 && std::string_view{ a_argv[1] } == "--write") {
		const auto    file = TestSupport::PeBuilder::FunctionImage(kHostileSections, static_cast<std::uint32_t>(std::strtoul(a_argv[3], nullptr, 10)), true);
		std::ofstream out(a_argv[2], std::ios::binary);
		out.write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
		return out ? 0 : 1;
	}
	benchmark::Initialize(&a_argc, a_argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	return 0;
}

// Time to construct REL::IDDB (find, map, check, decode) and time per lookup, for a
// database of 1,000,000 entries in each format. The baseline of every load is reading
// the same file sequentially into memory, measured in the same run; for the packed
// formats also one pass writing a table of 16-byte entries as large as the decoded one.

#include <benchmark/benchmark.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <random>
#include <string>
#include <unistd.h>
#include <vector>

#include <spdlog/spdlog.h>

#include "Database.h"
#include "FakeFiles.h"
#include "FakeModules.h"
#include "REL/IDDB.h"

namespace
{
	const auto kGame = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x140000000 });
	const auto kPlugin = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x180000000 });

	struct Database
	{
		std::filesystem::path      plugins;
		std::filesystem::path      file;
		std::vector<std::uint64_t> ids; // a shuffled sample of ids in the table
	};

	// A game-like table: ids rising by 1 to 3, offsets anywhere in a 64 MiB image on
	// 8- or 16-byte boundaries.
	std::vector<AddrLib::Entry> Entries(std::size_t a_count)
	{
		std::mt19937_64             random(7);
		std::vector<AddrLib::Entry> entries;
		entries.reserve(a_count);
		std::uint64_t id = 0;
		for (std::size_t i = 0; i < a_count; ++i) {
			id += 1 + random() % 3;
			entries.push_back({ id, 0x1000 + (random() % 0x400000) * (random() % 2 ? 16 : 8) });
		}
		return entries;
	}

	const Database& Get(std::int32_t a_format, std::size_t a_count)
	{
		static std::map<std::pair<std::int32_t, std::size_t>, Database> databases;
		const auto                                                      key = std::make_pair(a_format, a_count);
		if (const auto it = databases.find(key); it != databases.end()) {
			return it->second;
		}
		const auto root = std::filesystem::temp_directory_path() / ("qs_bench_iddb_" + std::to_string(::getpid())) / (std::to_string(a_format) + "_" + std::to_string(a_count));
		Database   database;
		database.plugins = root / "Data" / (a_format == 0 ? "F4SE" : "SKSE") / "Plugins";
		std::filesystem::create_directories(database.plugins);
		database.file = database.plugins / (a_format == 0 ? "version-1-2-3-4.bin" : "versionlib-1-2-3-4.bin");

		AddrLib::Database content;
		content.format = a_format;
		content.version = { 1, 2, 3, 4 };
		content.entries = Entries(a_count);
		const auto bytes = AddrLib::Encode(content);
		std::ofstream(database.file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));

		for (std::size_t i = 0; i < 4096; ++i) {
			database.ids.push_back(content.entries[(i * 2654435761u) % content.entries.size()].id);
		}
		return databases.emplace(key, std::move(database)).first->second;
	}

	void UseDatabase(const Database& a_database)
	{
		FakeOS::Reset();
		FakeOS::SetFileViewsMapped(true);
		const auto exe = (a_database.plugins / "Fallout4.exe").string();
		FakeOS::AddModule(kGame, exe);
		FakeOS::SetProcessModule(kGame);
		FakeOS::SetProductVersion(exe, "1.2.3.4");
		FakeOS::AddModule(kPlugin, (a_database.plugins / "x.dll").string());
		FakeOS::SetThisImageBase(kPlugin);
	}

	void ReadWholeFile(benchmark::State& a_state, std::int32_t a_format)
	{
		const auto& database = Get(a_format, static_cast<std::size_t>(a_state.range(0)));
		const auto  size = std::filesystem::file_size(database.file);
		for (auto _ : a_state) {
			std::vector<char> bytes(size);
			std::ifstream     in(database.file, std::ios::binary);
			in.read(bytes.data(), static_cast<std::streamsize>(size));
			benchmark::DoNotOptimize(bytes.data());
		}
		a_state.counters["bytes"] = static_cast<double>(size);
	}

	void WriteTable(benchmark::State& a_state)
	{
		const auto count = static_cast<std::size_t>(a_state.range(0));
		for (auto _ : a_state) {
			auto table = std::make_unique<REL::IDDB::ENTRY[]>(count);
			for (std::size_t i = 0; i < count; ++i) {
				table[i] = { i, i * 8 };
			}
			benchmark::DoNotOptimize(table.get());
		}
	}

	void Load(benchmark::State& a_state, std::int32_t a_format)
	{
		const auto& database = Get(a_format, static_cast<std::size_t>(a_state.range(0)));
		for (auto _ : a_state) {
			a_state.PauseTiming();
			UseDatabase(database);
			a_state.ResumeTiming();
			// The region goes with the instance, so the next iteration decodes again;
			// its release is part of the time, as a process exit would be.
			const REL::IDDB iddb;
			benchmark::DoNotOptimize(&iddb);
		}
	}

	// Ids spread over the whole table (each lookup mostly misses the cache), or the
	// same two ids again and again, as a plugin that resolves its two functions does.
	void Lookup(benchmark::State& a_state, std::int32_t a_format, std::size_t a_spread)
	{
		const auto& database = Get(a_format, static_cast<std::size_t>(a_state.range(0)));
		UseDatabase(database);
		const REL::IDDB iddb;
		std::size_t     i = 0;
		for (auto _ : a_state) {
			benchmark::DoNotOptimize(iddb.offset(database.ids[i++ % a_spread]));
		}
	}
} // namespace

BENCHMARK_CAPTURE(ReadWholeFile, raw, 0)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Load, raw, 0)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadWholeFile, format1, 1)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Load, format1, 1)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadWholeFile, format2, 2)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Load, format2, 2)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK(WriteTable)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ReadWholeFile, format5, 5)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Load, format5, 5)->Arg(100000)->Arg(1000000)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Lookup, raw_spread, 0, 4096)->Arg(1000000);
BENCHMARK_CAPTURE(Lookup, format2_spread, 2, 4096)->Arg(1000000);
BENCHMARK_CAPTURE(Lookup, format5_spread, 5, 4096)->Arg(1000000);
BENCHMARK_CAPTURE(Lookup, raw_two_ids, 0, 2)->Arg(1000000);
BENCHMARK_CAPTURE(Lookup, format2_two_ids, 2, 2)->Arg(1000000);
BENCHMARK_CAPTURE(Lookup, format5_two_ids, 5, 2)->Arg(1000000);

int main(int a_argc, char** a_argv)
{
	spdlog::set_default_logger(std::make_shared<spdlog::logger>("bench"));
	benchmark::Initialize(&a_argc, a_argv);
	benchmark::RunSpecifiedBenchmarks();
	benchmark::Shutdown();
	std::error_code error;
	std::filesystem::remove_all(std::filesystem::temp_directory_path() / ("qs_bench_iddb_" + std::to_string(::getpid())), error);
	return 0;
}

// Quellstone and another plugin hooking the same two game functions (QsPeer.dll, hooking
// the way common detour libraries do), in every order the two can come and go in: each
// hooking first, protection on and off, the other removed, Quellstone unloaded under and
// over it, and the process ending with both in place.

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "GameFolder.h"
#include "SandboxCase.h"

namespace
{
	// A case's steps, one per line of the game's script. "round QP" plays a round and
	// says who must be in it: Q when Quellstone's decision holds (the game said
	// "invalidates", the caller hears false), P when the peer's replacement runs (once per
	// call); "-" for neither. Every round must run the game's own code exactly once per call.
	struct Case
	{
		const char* what;
		int         protection;
		const char* steps;
		bool        exitReport; // the peer is loaded first and still loaded at the end: it looks at the entries last
	};

	constexpr Case kCases[] = {
		{ "peer hooks first, Quellstone on top of it", 1, "load; peer hook; round -P; plugins; round QP", true },
		{ "Quellstone hooks first, the peer on top", 1, "load; plugins; round Q-; peer hook; round QP", true },
		{ "peer first, protection off", 0, "load; peer hook; plugins; round -P", true },
		{ "Quellstone first, protection off", 0, "load; plugins; peer hook; round -P", true },
		{ "the peer loaded after Quellstone", 1, "plugins; round Q-; load; peer hook; round QP", false },
		{ "the peer removed on top of Quellstone", 1, "load; plugins; peer hook; round QP; peer unhook; round Q-", true },
		{ "Quellstone unloaded under the peer, then the peer removed", 1, "load; plugins; peer hook; round QP; unload Q; round -P; peer unhook; round --", true },
		{ "Quellstone unloaded over the peer, then the peer removed", 1, "load; peer hook; plugins; round QP; unload Q; round -P; peer unhook; round --", true },
		{ "the peer removed under Quellstone: its saved bytes bypass Quellstone", 1, "load; peer hook; plugins; round QP; peer unhook; round --; unload Q; round --", true },
		{ "the peer removed and unloaded under Quellstone, then Quellstone unloaded", 1, "load; peer hook; plugins; round QP; peer unhook; unload P; round --; unload Q; round --", false },
	};

	std::vector<std::string> Split(const std::string& a_steps)
	{
		std::vector<std::string> steps;
		std::istringstream       in{ a_steps };
		for (std::string step; std::getline(in >> std::ws, step, ';');) {
			steps.push_back(step);
		}
		return steps;
	}

	// The script line of a step and the line the game must answer with.
	struct Line
	{
		std::string script;
		std::string expected;
	};

	Line Translate(const std::string& a_step)
	{
		if (a_step.starts_with("round ")) {
			const bool quellstone = a_step[6] == 'Q';
			const bool peer = a_step[7] == 'P';
			return { "round chair sanctuary", std::string{ "round chair sanctuary -> " } + (quellstone ? "false" : "true") + " game 1/1 peer " + (peer ? "2" : "0") };
		}
		if (a_step == "load") {
			return { "load QsPeer.dll", "load QsPeer.dll -> loaded" };
		}
		if (a_step == "unload Q") {
			return { "unload Quellstone.dll", "unload Quellstone.dll -> unloaded" };
		}
		if (a_step == "unload P") {
			return { "unload QsPeer.dll", "unload QsPeer.dll -> unloaded" };
		}
		if (a_step == "plugins") {
			return { "plugins", "plugins" };
		}
		return { a_step, a_step + " -> ok" }; // peer hook, peer unhook
	}

	constexpr const char* kEntries[] = { "invalidate", "clear", "peer-invalidate", "peer-clear" };

	using Coexistence = E2E::SandboxCase;
} // namespace

TEST_F(Coexistence, WithAnotherPluginHookingTheSameFunctions)
{
	for (const Case& c : kCases) {
		SCOPED_TRACE(c.what);
		auto& folder = MakeGame();
		folder.WriteIni(E2E::Ini(c.protection, 0, 0));
		std::filesystem::copy_file(Sandbox::FromBuildPath(QS_PEER_DLL), folder.PluginFolder() / "QsPeer.dll");

		std::string              script = "ref chair 0001A2B3 Wooden Chair\ncell sanctuary 0000C0DE 7 1 1 SanctuaryHillsExt\n";
		std::vector<std::string> expected;
		for (const std::string& step : Split(c.steps)) {
			const Line line = Translate(step);
			script += line.script + "\n";
			expected.push_back(line.expected);
		}
		// What the entries hold at the end of the game's run, to compare with what the
		// peer finds once the plugins loaded after it have seen the process end.
		if (c.exitReport) {
			for (const char* entry : kEntries) {
				script += std::string{ "entry " } + entry + "\n";
			}
		}

		const auto result = Play(script, { "--script-loads-plugins" });
		EXPECT_EQ(result.exitCode, 0u) << "the game ended without a crash";
		auto                     output = E2E::Lines(result.output);
		std::vector<std::string> played(output.begin(), output.begin() + static_cast<std::ptrdiff_t>(std::min(output.size(), expected.size())));
		EXPECT_EQ(played, expected);

		const auto report = Sandbox::ReadLines(folder.PluginFolder() / "QsPeer-exit.txt");
		if (c.exitReport) {
			ASSERT_EQ(report.size(), std::size(kEntries)) << "the peer's look at the entries as the process ended";
			for (std::size_t i = 0; i < std::size(kEntries); ++i) {
				EXPECT_EQ(report[i], "exit entry " + std::string{ kEntries[i] } + " " + E2E::EntryBytes(output, kEntries[i]))
				    << kEntries[i] << ": nothing was restored at exit";
			}
		}
	}
}

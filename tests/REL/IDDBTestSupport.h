#pragma once

// Builds Address Library files byte by byte and a plugin folder layout on disk, and
// wires the fake platform layer so that REL::IDDB finds them: the game executable with
// its version, the plugin module with its path.

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "FakeFiles.h"
#include "FakeModules.h"
#include "REL/IDDB.h"
#include "ScratchFolder.h"
#include "TestImage.h"

namespace IDDBTest
{
	using Bytes = std::vector<std::uint8_t>;

	// The game's image as far as the library reads it: headers whose SizeOfImage bounds
	// the offsets that may be resolved (kGameImageSize).
	inline constexpr std::uint32_t kGameImageSize = 0x2000000;
	inline REX::OS::HMODULE        GameImage()
	{
		static const auto image = TestSupport::MakeImage({ { ".text", 0x1000, 0x1000 } }, 0xF0, kGameImageSize);
		return const_cast<std::uint8_t*>(image.data());
	}
	inline const auto kGame = GameImage();
	inline const auto kPlugin = reinterpret_cast<REX::OS::HMODULE>(std::uintptr_t{ 0x180000000 });

	template <class T>
	void Put(Bytes& a_out, T a_value)
	{
		const auto at = a_out.size();
		a_out.resize(at + sizeof(T));
		std::memcpy(a_out.data() + at, &a_value, sizeof(T));
	}

	inline Bytes Raw(std::initializer_list<std::pair<std::uint64_t, std::uint64_t>> a_entries, std::uint64_t a_count = ~0ull)
	{
		Bytes out;
		Put<std::uint64_t>(out, a_count == ~0ull ? a_entries.size() : a_count);
		for (const auto& [id, offset] : a_entries) {
			Put(out, id);
			Put(out, offset);
		}
		return out;
	}

	struct V2
	{
		std::int32_t                format{ 2 };
		std::array<std::int32_t, 4> version{ 1, 2, 3, 4 };
		std::uint32_t               nameLength{ 4 };
		std::int32_t                pointerSize{ 8 };
		std::int32_t                count{ 0 };
		Bytes                       packed{};

		Bytes Build() const
		{
			Bytes out;
			Put(out, format);
			for (const auto v : version) {
				Put(out, v);
			}
			Put(out, nameLength);
			for (std::uint32_t i = 0; i < nameLength && i < 4096; ++i) {
				out.push_back(static_cast<std::uint8_t>('a' + i % 26));
			}
			Put(out, pointerSize);
			Put(out, count);
			out.insert(out.end(), packed.begin(), packed.end());
			return out;
		}
	};

	inline Bytes V5(std::int32_t a_count, const std::vector<std::uint32_t>& a_offsets, std::array<std::int32_t, 4> a_version = { 1, 2, 3, 4 })
	{
		Bytes out;
		Put<std::int32_t>(out, 5);
		for (const auto v : a_version) {
			Put(out, v);
		}
		out.resize(out.size() + 64, 0);
		Put<std::int32_t>(out, 8);
		Put<std::int32_t>(out, 0);
		Put(out, a_count);
		for (const auto o : a_offsets) {
			Put(out, o);
		}
		return out;
	}

	using PairList = std::vector<std::pair<std::uint64_t, std::uint64_t>>;

	inline PairList Pairs(std::span<const REL::IDDB::ENTRY> a_table)
	{
		PairList out;
		for (const auto& e : a_table) {
			out.emplace_back(e.id, e.offset);
		}
		return out;
	}

	// What a fatal error showed: the message part of the box text (always the wide box,
	// since every message may name a path or the plugin).
	struct Fatal
	{
		std::string message;
	};

	class Fixture : public ::testing::Test
	{
	protected:
		void SetUp() override
		{
			FakeOS::Reset();
			root = TestSupport::ScratchFolder("qs_iddb");
			std::filesystem::remove_all(root);
			std::filesystem::create_directories(root);
			SetGame("1.2.3.4");
			SetPlugin("F4SE");
		}

		// Starts a case of a table-driven test afresh: an empty platform, no files, the
		// game at a_game and the plugin in Data/<a_folder>/<a_plugins>.
		void Relayout(const std::string& a_folder, const std::string& a_game = "1.2.3.4", const std::string& a_plugins = "Plugins")
		{
			FakeOS::Reset();
			std::filesystem::remove_all(root / "Data");
			SetGame(a_game);
			SetPlugin(a_folder, a_plugins);
		}

		void TearDown() override
		{
			std::error_code error;
			std::filesystem::remove_all(root, error);
		}

		void SetGame(const std::string& a_version)
		{
			const auto exe = (root / "Fallout4.exe").string();
			FakeOS::AddModule(kGame, exe);
			FakeOS::SetProcessModule(kGame);
			FakeOS::SetProductVersion(exe, a_version);
		}

		// The plugin sits at <root>/Data/<folder>/Plugins/x.dll (a_folder may hold more
		// levels, such as "F4SE/Plugins/Sub" with a_plugins empty).
		void SetPlugin(const std::string& a_folder, const std::string& a_plugins = "Plugins")
		{
			pluginDir = root / "Data" / a_folder;
			if (!a_plugins.empty()) {
				pluginDir /= a_plugins;
			}
			std::filesystem::create_directories(pluginDir);
			FakeOS::AddModule(kPlugin, (pluginDir / "x.dll").string());
			FakeOS::SetThisImageBase(kPlugin);
		}

		std::filesystem::path Write(const std::string& a_name, const Bytes& a_bytes)
		{
			const auto    path = pluginDir / a_name;
			std::ofstream out(path, std::ios::binary | std::ios::trunc);
			out.write(reinterpret_cast<const char*>(a_bytes.data()), static_cast<std::streamsize>(a_bytes.size()));
			return path;
		}

		// Runs a_action, which must end the process through a fatal error.
		template <class F>
		Fatal ExpectFatal(F&& a_action)
		{
			try {
				a_action();
			} catch (const FakeOS::ProcessTerminated& e) {
				EXPECT_EQ(e.exitCode, 1u);
				const auto& boxes = FakeOS::MessageBoxes();
				if (boxes.empty()) {
					ADD_FAILURE() << "terminated without a message box";
					return {};
				}
				EXPECT_TRUE(boxes.back().wide);
				const auto& text = boxes.back().text;
				const auto  at = text.find(L"): ");
				const auto  message = text.substr(at == std::wstring::npos ? 0 : at + 3);
				std::string narrow;
				for (const auto c : message) {
					narrow.push_back(static_cast<char>(c));
				}
				return { narrow };
			}
			ADD_FAILURE() << "no fatal error";
			return {};
		}

		std::string PathText(const std::string& a_name) const { return (pluginDir / a_name).string(); }

		std::filesystem::path root;
		std::filesystem::path pluginDir;
	};
} // namespace IDDBTest

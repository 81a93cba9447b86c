#include "Script.h"

#include <windows.h>

#include <charconv>
#include <cstdint>
#include <iomanip>
#include <istream>
#include <map>
#include <optional>
#include <ostream>
#include <sstream>
#include <string>

#include "GameWorld.h"

namespace Sandbox
{
	namespace
	{
		std::optional<std::uint32_t> ParseNumber(const std::string& a_text, int a_base)
		{
			std::uint32_t value{};
			const auto    end = a_text.data() + a_text.size();
			const auto [ptr, error] = std::from_chars(a_text.data(), end, value, a_base);
			if (error != std::errc{} || ptr != end) {
				return std::nullopt;
			}
			return value;
		}

		std::optional<std::string> ReadName(std::istream& a_line)
		{
			std::string name;
			std::getline(a_line >> std::ws, name);
			if (name == "@null") {
				return std::nullopt;
			}
			if (name == "@empty") {
				return std::string{};
			}
			return name;
		}

		void PrintBytes(std::ostream& a_out, const void* a_code)
		{
			const auto* bytes = static_cast<const std::uint8_t*>(a_code);
			a_out << std::hex << std::uppercase << std::setfill('0');
			for (int i = 0; i < 16; ++i) {
				a_out << (i ? " " : "") << std::setw(2) << static_cast<unsigned>(bytes[i]);
			}
			a_out << std::dec << std::nouppercase << std::setfill(' ');
		}

		// The other hooking plugin of the coexistence cases, driven through its exports.
		constexpr const wchar_t* kPeerModule = L"QsPeer.dll";

		template <class Function>
		Function* PeerExport(const char* a_name)
		{
			const HMODULE peer = ::GetModuleHandleW(kPeerModule);
			return peer ? reinterpret_cast<Function*>(reinterpret_cast<void*>(::GetProcAddress(peer, a_name))) : nullptr;
		}

		std::uint64_t PeerCalls()
		{
			const auto calls = PeerExport<std::uint64_t()>("QsPeer_Calls");
			return calls ? calls() : 0;
		}

		class ScriptRunner
		{
		public:
			ScriptRunner(std::ostream& a_out, const GameCalls& a_calls, const ScriptProcess& a_process) :
			    out(a_out), calls(a_calls), process(a_process)
			{}

			bool Run(const std::string& a_line)
			{
				std::istringstream line{ a_line };
				std::string        command;
				if (!(line >> command) || command.starts_with('#')) {
					return true;
				}
				if (command == "ref") {
					return DefineReference(line);
				}
				if (command == "cell") {
					return DefineCell(line);
				}
				if (command == "invalidate") {
					return Invalidate(line);
				}
				if (command == "clear") {
					return Clear(line);
				}
				if (command == "entry") {
					return Entry(line);
				}
				if (command == "round") {
					return Round(line);
				}
				if (command == "plugins" && process.loadPlugins) {
					process.loadPlugins();
					out << "plugins\n";
					return true;
				}
				if (command == "load") {
					return LoadModule(line);
				}
				if (command == "unload") {
					return UnloadModule(line);
				}
				if (command == "peer") {
					return Peer(line);
				}
				return false;
			}

		private:
			bool DefineReference(std::istream& a_line)
			{
				std::string key, id;
				if (!(a_line >> key >> id)) {
					return false;
				}
				const auto formID = ParseNumber(id, 16);
				if (!formID) {
					return false;
				}
				references[key] = &world.AddReference(*formID, ReadName(a_line));
				return true;
			}

			bool DefineCell(std::istream& a_line)
			{
				std::string key, id, state, precombined, previs;
				if (!(a_line >> key >> id >> state >> precombined >> previs)) {
					return false;
				}
				const auto formID = ParseNumber(id, 16);
				const auto stateValue = ParseNumber(state, 10);
				if (!formID || !stateValue || *stateValue > 255) {
					return false;
				}
				auto& cell = cells[key];
				if (!cell) {
					cell = &world.AddCell(*formID, ReadName(a_line));
				}
				GameWorld::SetUp(*cell, static_cast<std::uint8_t>(*stateValue), precombined == "1", previs == "1");
				return true;
			}

			bool Invalidate(std::istream& a_line)
			{
				std::string refKey, cellKey, answer;
				if (!(a_line >> refKey >> cellKey >> answer) || (answer != "true" && answer != "false")) {
					return false;
				}
				GameReference* reference = nullptr;
				GameCell*      cell = nullptr;
				if (!Find(references, refKey, reference) || !Find(cells, cellKey, cell)) {
					return false;
				}
				SetGameAnswer(answer == "true");
				const bool result = calls.invalidates(reference, cell);
				out << "invalidate " << refKey << ' ' << cellKey << " -> " << (result ? "true" : "false") << '\n';
				return true;
			}

			bool Clear(std::istream& a_line)
			{
				std::string cellKey;
				GameCell*   cell = nullptr;
				if (!(a_line >> cellKey) || !Find(cells, cellKey, cell)) {
					return false;
				}
				const auto before = ThreadCounters().clearsRun;
				calls.clear(cell);
				const bool ran = ThreadCounters().clearsRun != before;
				out << "clear " << cellKey << " -> " << (ran ? "ran" : "skipped") << '\n';
				return true;
			}

			bool Entry(std::istream& a_line)
			{
				std::string which;
				a_line >> which;
				if (which == "invalidate") {
					out << "entry invalidate ";
					PrintBytes(out, reinterpret_cast<const void*>(calls.invalidates));
				} else if (which == "clear") {
					out << "entry clear ";
					PrintBytes(out, reinterpret_cast<const void*>(calls.clear));
				} else if (const auto peer = PeerExport<void()>(which == "peer-invalidate" ? "QsPeer_Invalidates" : which == "peer-clear" ? "QsPeer_Clear"
				                                                                                                                          : "")) {
					out << "entry " << which << ' ';
					PrintBytes(out, reinterpret_cast<const void*>(peer));
				} else {
					return false;
				}
				out << '\n';
				return true;
			}

			bool Round(std::istream& a_line)
			{
				std::string    refKey, cellKey;
				GameReference* reference = nullptr;
				GameCell*      cell = nullptr;
				if (!(a_line >> refKey >> cellKey) || !Find(references, refKey, reference) || !Find(cells, cellKey, cell) || !cell) {
					return false;
				}
				const GameCounters  before = ThreadCounters();
				const std::uint64_t peerBefore = PeerCalls();
				SetGameAnswer(true);
				const bool result = calls.invalidates(reference, cell);
				GameWorld::SetUp(*cell, 7, true, true); // a clear the game may run: the cell is set up
				calls.clear(cell);
				const GameCounters& after = ThreadCounters();
				out << "round " << refKey << ' ' << cellKey << " -> " << (result ? "true" : "false") << " game "
				    << after.invalidationChecks - before.invalidationChecks << '/' << after.clearsRun - before.clearsRun << " peer " << PeerCalls() - peerBefore << '\n';
				return true;
			}

			bool LoadModule(std::istream& a_line)
			{
				std::string file;
				if (!(a_line >> file)) {
					return false;
				}
				const bool loaded = ::LoadLibraryW((process.pluginFolder / file).c_str()) != nullptr;
				out << "load " << file << " -> " << (loaded ? "loaded" : "failed") << '\n';
				return true;
			}

			bool UnloadModule(std::istream& a_line)
			{
				std::string file;
				if (!(a_line >> file)) {
					return false;
				}
				const std::filesystem::path name{ file };
				const HMODULE               module = ::GetModuleHandleW(name.c_str());
				if (module != nullptr) {
					::FreeLibrary(module);
				}
				const char* const state = module == nullptr ? "not loaded" : ::GetModuleHandleW(name.c_str()) == nullptr ? "unloaded"
				                                                                                                         : "still loaded";
				out << "unload " << file << " -> " << state << '\n';
				return true;
			}

			bool Peer(std::istream& a_line)
			{
				std::string what;
				a_line >> what;
				bool done = false;
				if (what == "hook") {
					const auto hook = PeerExport<bool(void*, void*)>("QsPeer_Hook");
					done = hook && hook(reinterpret_cast<void*>(calls.invalidates), reinterpret_cast<void*>(calls.clear));
				} else if (what == "unhook") {
					const auto unhook = PeerExport<void()>("QsPeer_Unhook");
					if (unhook) {
						unhook();
					}
					done = unhook != nullptr;
				} else {
					return false;
				}
				out << "peer " << what << " -> " << (done ? "ok" : "failed") << '\n';
				return true;
			}

			template <class T>
			static bool Find(const std::map<std::string, T*>& a_forms, const std::string& a_key, T*& a_form)
			{
				if (a_key == "@null") {
					a_form = nullptr;
					return true;
				}
				const auto it = a_forms.find(a_key);
				if (it == a_forms.end()) {
					return false;
				}
				a_form = it->second;
				return true;
			}

			std::ostream&                         out;
			GameCalls                             calls;
			ScriptProcess                         process;
			GameWorld                             world;
			std::map<std::string, GameReference*> references;
			std::map<std::string, GameCell*>      cells;
		};
	} // namespace

	bool RunScript(std::istream& a_in, std::ostream& a_out, const GameCalls& a_calls, const ScriptProcess& a_process)
	{
		ScriptRunner runner{ a_out, a_calls, a_process };
		std::string  line;
		for (int number = 1; std::getline(a_in, line); ++number) {
			if (!runner.Run(line)) {
				a_out << "script error at line " << number << ": " << line << '\n';
				return false;
			}
		}
		return true;
	}
} // namespace Sandbox

#pragma once

// The game's objects that the sandbox plays with: references and cells with stable
// addresses, named and numbered as a script or a scenario asks.

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "GameRecords.h"

namespace Sandbox
{
	class GameWorld
	{
	public:
		// A name of std::nullopt makes slot 58 answer null.
		GameReference& AddReference(std::uint32_t a_formID, std::optional<std::string> a_name);
		GameCell&      AddCell(std::uint32_t a_formID, std::optional<std::string> a_name);

		// Puts a cell into the given state with its data blocks present or missing.
		static void SetUp(GameCell& a_cell, std::uint8_t a_state, bool a_precombined, bool a_previs) noexcept;

	private:
		void Name(GameForm& a_form, std::uint32_t a_formID, std::optional<std::string> a_name);

		std::deque<GameReference> references;
		std::deque<GameCell>      cells;
		std::deque<std::string>   names;
	};
} // namespace Sandbox

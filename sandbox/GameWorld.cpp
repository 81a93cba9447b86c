#include "GameWorld.h"

namespace Sandbox
{
	namespace
	{
		// Stand-ins for the precombined meshes and previs data a cell holds; only whether
		// a pointer is set matters, not what it points at.
		std::uint64_t PrecombinedBlock{ 0 };
		std::uint64_t PrevisBlock{ 0 };
	} // namespace

	GameReference& GameWorld::AddReference(std::uint32_t a_formID, std::optional<std::string> a_name)
	{
		auto& reference = references.emplace_back();
		Name(reference.form, a_formID, std::move(a_name));
		return reference;
	}

	GameCell& GameWorld::AddCell(std::uint32_t a_formID, std::optional<std::string> a_name)
	{
		auto& cell = cells.emplace_back();
		Name(cell.form, a_formID, std::move(a_name));
		return cell;
	}

	void GameWorld::SetUp(GameCell& a_cell, std::uint8_t a_state, bool a_precombined, bool a_previs) noexcept
	{
		a_cell.state = a_state;
		a_cell.precombinedData = a_precombined ? &PrecombinedBlock : nullptr;
		a_cell.previsData = a_previs ? &PrevisBlock : nullptr;
	}

	void GameWorld::Name(GameForm& a_form, std::uint32_t a_formID, std::optional<std::string> a_name)
	{
		a_form.vtable = FormVtable();
		a_form.formID = a_formID;
		a_form.name = a_name ? names.emplace_back(std::move(*a_name)).c_str() : nullptr;
	}
} // namespace Sandbox

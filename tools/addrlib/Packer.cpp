#include "Packer.h"

namespace AddrLib
{
	namespace
	{
		struct Rule
		{
			std::uint8_t  value; // 0..7, as in the type byte
			std::uint8_t  size;  // operand bytes
			std::uint64_t operand;
		};

		// The shortest rule that turns a_base (previous id, or the offset base) into
		// a_target. Rules 1-5 are relative to the base, 6 and 7 are short absolutes, 0 the
		// full 8-byte absolute.
		Rule Shortest(std::uint64_t a_base, std::uint64_t a_target)
		{
			const auto up = a_target - a_base;
			const auto down = a_base - a_target;
			if (up == 1) {
				return { 1, 0, 0 };
			}
			if (up <= 0xFF) {
				return { 2, 1, up };
			}
			if (down <= 0xFF) {
				return { 3, 1, down };
			}
			if (up <= 0xFFFF) {
				return { 4, 2, up };
			}
			if (down <= 0xFFFF) {
				return { 5, 2, down };
			}
			if (a_target <= 0xFFFF) {
				return { 6, 2, a_target };
			}
			if (a_target <= 0xFFFFFFFF) {
				return { 7, 4, a_target };
			}
			return { 0, 8, a_target };
		}

		void Append(std::vector<std::byte>& a_out, std::uint64_t a_value, std::uint8_t a_size)
		{
			for (std::uint8_t i = 0; i < a_size; ++i) {
				a_out.push_back(static_cast<std::byte>(a_value >> (8 * i)));
			}
		}
	} // namespace

	std::vector<std::byte> Pack(std::span<const REL::IDDBCodec::Entry> a_entries, std::int32_t a_pointerSize)
	{
		const auto             pointerSize = static_cast<std::uint64_t>(static_cast<std::int64_t>(a_pointerSize));
		std::vector<std::byte> out;
		out.reserve(a_entries.size() * 4);
		std::uint64_t id = 0;
		std::uint64_t offset = 0;
		for (const auto& entry : a_entries) {
			const auto idRule = Shortest(id, entry.id);
			auto       offsetRule = Shortest(offset, entry.offset);
			bool       scaled = false;
			// Offsets of functions are mostly multiples of the pointer size; stated in
			// those units the step from the previous one often fits a shorter rule.
			if (pointerSize > 1 && entry.offset % pointerSize == 0) {
				const auto scaledRule = Shortest(offset / pointerSize, entry.offset / pointerSize);
				if (scaledRule.size < offsetRule.size) {
					offsetRule = scaledRule;
					scaled = true;
				}
			}
			const auto type = static_cast<std::uint8_t>(idRule.value | (offsetRule.value << 4) | (scaled ? 0x80 : 0));
			out.push_back(static_cast<std::byte>(type));
			Append(out, idRule.operand, idRule.size);
			Append(out, offsetRule.operand, offsetRule.size);
			id = entry.id;
			offset = entry.offset;
		}
		return out;
	}
} // namespace AddrLib

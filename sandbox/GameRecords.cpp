#include "GameRecords.h"

#include <cstdio>
#include <cstdlib>

namespace Sandbox
{
	namespace
	{
		const char* GetName(const GameForm* a_form)
		{
			return a_form->name;
		}

		void UnexpectedVirtualCall()
		{
			std::fputs("sandbox: a virtual function other than slot 58 was called\n", stderr);
			std::abort();
		}

		constexpr GameFormVtable MakeVtable() noexcept
		{
			GameFormVtable vtable{};
			vtable.unused.fill(&UnexpectedVirtualCall);
			vtable.getName = &GetName;
			return vtable;
		}

		constexpr GameFormVtable Vtable = MakeVtable();
	} // namespace

	const GameFormVtable* FormVtable() noexcept
	{
		return &Vtable;
	}
} // namespace Sandbox

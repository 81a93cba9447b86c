#pragma once

// Plays the game's part line by line, so that a test can put a reference and a cell into
// exactly the state a case needs and see what the (possibly detoured) functions do.
//
//   ref <key> <form ID, hex> <name>             name: text to the end of the line,
//   cell <key> <form ID, hex> <state> <precombined 0|1> <previs 0|1> <name>
//                                               "@null" (slot 58 answers null) or "@empty"
//   invalidate <ref key|@null> <cell key|@null> <game's answer true|false>
//       prints "invalidate <ref> <cell> -> true|false"
//   clear <cell key|@null>                      prints "clear <cell> -> ran|skipped"
//   entry invalidate|clear                      prints the function's first 16 bytes
//
// A second "cell" line for the same key puts that cell into the new state.

#include <iosfwd>

#include "GameFunctions.h"

namespace Sandbox
{
	struct GameCalls
	{
		InvalidatesPreCalcDataForCellFn invalidates;
		ClearPreCalcedDataFn            clear;
	};

	// Returns false, after saying why on a_out, at the first line it cannot read.
	bool RunScript(std::istream& a_in, std::ostream& a_out, const GameCalls& a_calls);
} // namespace Sandbox

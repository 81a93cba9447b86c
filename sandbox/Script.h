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
//
// Plugins coming and going while the game runs (the game started with
// --script-loads-plugins, so that the host loads them only when the script says):
//   plugins                                     the host loads the plugins now
//   load <file>                                 loads a module of the plugin folder
//                                               (LoadLibrary): "load <file> -> loaded|failed"
//   unload <file>                               FreeLibrary on a loaded module:
//                                               "unload <file> -> unloaded|still loaded|not loaded"
//   peer hook|unhook                            QsPeer.dll, the other hooking plugin, hooks
//                                               both game functions or removes its hooks:
//                                               "peer hook -> ok|failed"
//   round <ref key> <cell key>                  one invalidation the game answers true and one
//                                               clear of the cell, set up first: prints
//                                               "round <ref> <cell> -> true|false game <checks>/<clears> peer <calls>",
//                                               what the game's own code and the peer's
//                                               replacements ran during the round
//   entry peer-invalidate|peer-clear            the first 16 bytes of the peer's replacements

#include <filesystem>
#include <functional>
#include <iosfwd>

#include "GameFunctions.h"

namespace Sandbox
{
	struct GameCalls
	{
		InvalidatesPreCalcDataForCellFn invalidates;
		ClearPreCalcedDataFn            clear;
	};

	// What a script may do to the process beyond calling the game's functions.
	struct ScriptProcess
	{
		std::function<void()> loadPlugins;  // the host's load of the plugins ("plugins")
		std::filesystem::path pluginFolder; // where "load" finds a module
	};

	// Returns false, after saying why on a_out, at the first line it cannot read.
	bool RunScript(std::istream& a_in, std::ostream& a_out, const GameCalls& a_calls, const ScriptProcess& a_process = {});
} // namespace Sandbox

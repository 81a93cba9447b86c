#pragma once

// Reads back a text file a test run left behind (a log, a report) as its lines.

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace TestSupport
{
	// The file's lines without their line ends; none when the file cannot be opened.
	inline std::vector<std::string> ReadLines(const std::filesystem::path& a_path)
	{
		std::vector<std::string> lines;
		std::ifstream            file{ a_path };
		for (std::string line; std::getline(file, line);) {
			lines.push_back(line);
		}
		return lines;
	}
} // namespace TestSupport

// Replays a fuzzer's corpus without libFuzzer: every file below the folders (or the
// files) given on the command line is passed once to LLVMFuzzerTestOneInput. Used as
// a regression test in builds whose compiler has no libFuzzer.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* a_data, std::size_t a_size);

namespace
{
	void Replay(const std::filesystem::path& a_file, std::size_t& a_count)
	{
		std::ifstream           in(a_file, std::ios::binary);
		const std::vector<char> bytes{ std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>() };
		LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
		++a_count;
	}
} // namespace

int main(int a_argc, char** a_argv)
{
	std::size_t count = 0;
	for (int i = 1; i < a_argc; ++i) {
		const std::filesystem::path root{ a_argv[i] };
		if (std::filesystem::is_directory(root)) {
			for (const auto& entry : std::filesystem::recursive_directory_iterator(root)) {
				if (entry.is_regular_file()) {
					Replay(entry.path(), count);
				}
			}
		} else {
			Replay(root, count);
		}
	}
	std::printf("replayed %zu inputs\n", count);
	return count > 0 ? 0 : 1;
}

// Runs a fuzz target's entry point once on every file of the seed folders
// named on the command line, so the corpora run as ordinary tests in every
// build, sanitizers or not. (A single crashing input is replayed by the
// libFuzzer program itself.)
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv)
{
    for (int i = 1; i < argc; ++i)
        for (const auto& file : std::filesystem::directory_iterator(argv[i])) {
            std::ifstream in(file.path(), std::ios::binary);
            const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), {});
            LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
        }
    // An empty corpus tests nothing (each test names one folder); a missing
    // one has thrown already.
    return argc > 1 && !std::filesystem::is_empty(argv[1]) ? 0 : 1;
}

// Replays a fuzz target's corpus without libFuzzer: every file under the folders (or the files)
// named on the command line goes to LLVMFuzzerTestOneInput once, in name order. A target that
// finds a fault stops the process (sanitizer report or abort), which fails the test.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size);

int main(int argc, char** argv) {
    std::vector<std::filesystem::path> inputs;
    for (int i = 1; i < argc; ++i) {
        const std::filesystem::path named(argv[i]);
        if (std::filesystem::is_directory(named)) {
            for (const auto& entry : std::filesystem::recursive_directory_iterator(named)) {
                if (entry.is_regular_file()) {
                    inputs.push_back(entry.path());
                }
            }
        } else {
            inputs.push_back(named);
        }
    }
    std::sort(inputs.begin(), inputs.end());
    if (inputs.empty()) {
        std::fprintf(stderr, "no corpus files found\n");
        return 1;
    }
    for (const auto& path : inputs) {
        std::ifstream in(path, std::ios::binary);
        if (!in) {
            std::fprintf(stderr, "cannot read %s\n", path.c_str());
            return 1;
        }
        const std::vector<char> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        // An empty input still has a valid pointer, as under libFuzzer.
        static const std::uint8_t kEmpty = 0;
        LLVMFuzzerTestOneInput(bytes.empty() ? &kEmpty : reinterpret_cast<const std::uint8_t*>(bytes.data()),
                               bytes.size());
    }
    std::printf("replayed %zu inputs\n", inputs.size());
    return 0;
}

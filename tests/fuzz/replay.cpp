// Runs a libFuzzer target's inputs without libFuzzer, so that the test
// command replays them in every build (the sanitizers' too):
//
//   replay DIR-OR-FILE... [--random N]
//
// Each file (or each file of a directory) is one input; --random N adds N
// inputs of 3 to 90 bytes from a fixed seed, the same on every run. A
// finding aborts, as it does under libFuzzer.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* bytes, size_t size);

namespace {

void replay(const std::filesystem::path& file) {
    std::ifstream in(file, std::ios::binary);
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::printf("%s\n", file.filename().c_str());
    LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
}

}  // namespace

int main(int argc, char** argv) {
    LLVMFuzzerInitialize(&argc, &argv);
    unsigned inputs = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--random" && i + 1 < argc) {
            std::mt19937 random(20261207);
            for (int n = std::atoi(argv[++i]); n > 0; --n, ++inputs) {
                std::vector<uint8_t> bytes(3 * (1 + random() % 30));
                for (uint8_t& byte : bytes) byte = static_cast<uint8_t>(random());
                LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
            }
        } else if (std::filesystem::is_directory(arg)) {
            for (const auto& entry : std::filesystem::directory_iterator(arg)) replay(entry.path()), ++inputs;
        } else {
            replay(arg), ++inputs;
        }
    }
    std::printf("%u inputs replayed\n", inputs);
    return 0;
}

// Runs a fuzz target without libFuzzer (non-clang builds): a fixed number of
// pseudo-random inputs from a fixed seed, of mixed lengths, plus the inputs
// named on the command line. Deterministic, so a failure reproduces.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <random>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

int main(int argc, char** argv) {
    long runs = 20000;
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        if (!a.empty() && a.find_first_not_of("0123456789") == std::string::npos) {
            runs = std::strtol(a.c_str(), nullptr, 10);
            continue;
        }
        std::ifstream f(a, std::ios::binary);
        std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        LLVMFuzzerTestOneInput(bytes.data(), bytes.size());
    }
    std::mt19937_64 rng(1);
    std::vector<uint8_t> buf;
    for (long r = 0; r < runs; r++) {
        size_t len = (r % 4 == 0) ? rng() % 4096 : rng() % 64;
        buf.resize(len);
        // Mostly printable bytes with some of everything: parsers of text see
        // plausible input as well as garbage.
        for (auto& b : buf) {
            uint64_t x = rng();
            b = (x & 3) ? static_cast<uint8_t>(32 + (x >> 8) % 95) : static_cast<uint8_t>(x >> 16);
        }
        LLVMFuzzerTestOneInput(buf.data(), buf.size());
    }
    std::printf("replayed %ld inputs\n", runs);
    return 0;
}

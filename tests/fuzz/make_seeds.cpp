// Writes the seed corpus of the API fuzzer into a directory, one file a
// program.
//
// Usage: placidor_fuzz_seeds <output directory>
#include <cstdio>
#include <string>

#include "seed_programs.h"

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s <output directory>\n", argv[0]);
        return 2;
    }
    for (const auto &seed : placidor::fuzz::seedPrograms()) {
        const std::string path = std::string(argv[1]) + "/" + seed.name;
        std::FILE *file = std::fopen(path.c_str(), "wb");
        if (!file ||
            std::fwrite(seed.bytes.data(), 1, seed.bytes.size(), file) != seed.bytes.size()) {
            std::perror(path.c_str());
            return 1;
        }
        std::fclose(file);
    }
    return 0;
}

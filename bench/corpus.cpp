// Writes one file of the benchmark corpus: corpus text|binary <bytes> <file>.
#include <cstdio>
#include <cstdlib>

#include "corpus.h"

int main(int argc, char* argv[])
{
    if (argc != 4 || (std::strcmp(argv[1], "text") != 0 && std::strcmp(argv[1], "binary") != 0)) {
        std::fprintf(stderr, "usage: %s text|binary <bytes> <file>\n", argv[0]);
        return 2;
    }
    const std::string content = corpus::generate(argv[1][0] == 't', std::strtoull(argv[2], nullptr, 10));
    std::FILE* f = std::fopen(argv[3], "wb");
    if (!f || std::fwrite(content.data(), 1, content.size(), f) != content.size() || std::fclose(f) != 0) {
        std::perror(argv[3]);
        return 1;
    }
    return 0;
}

// The library's crypt as a command, with the peers' "<source> <target>" order.
#include <KFsCryptedFile.h>

#include <cstdio>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s <source> <target>\n", argv[0]);
        return 2;
    }
    return KFsCryptedFile::crypt(argv[2], argv[1]) ? 0 : 1;
}

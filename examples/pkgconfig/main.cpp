// korv-cat: prints a crypted (or plain) file line by line, numbered, and,
// given a second path, stores the numbered text there in crypted form.
//   korv-cat <file> [<numbered.kr>]
#include <CFileSystem.h>
#include <KFsCryptedFile.h>

#include <cstdio>
#include <string>

int main(int argc, char* argv[])
{
    if (argc != 2 && argc != 3) {
        std::fprintf(stderr, "usage: korv-cat <file> [<numbered.kr>]\n");
        return 2;
    }
    CFileSystem in;
    if (in.open(argv[1], "r") != 0) {
        std::fprintf(stderr, "korv-cat: cannot open %s\n", argv[1]);
        return 1;
    }
    std::string numbered;
    char line[1024];
    int number = 0;
    bool atLineStart = true;
    while (in.gets(line, sizeof line)) {
        if (atLineStart)
            numbered += std::to_string(++number) + ": ";
        numbered += line;
        atLineStart = numbered.back() == '\n';
    }
    in.close();
    std::fputs(numbered.c_str(), stdout);

    if (argc == 3) {
        // A handle in write mode: whatever its working copy holds when it is
        // destroyed becomes the crypted content of argv[2].
        KFsCryptedFile out(argv[2], KFsWrite);
        std::FILE* copy = std::fopen(out.getDecryptedFilePath().c_str(), "wb");
        if (!copy || std::fputs(numbered.c_str(), copy) < 0 || std::fclose(copy) != 0) {
            std::fprintf(stderr, "korv-cat: cannot write %s\n", argv[2]);
            return 1;
        }
    }
    return 0;
}

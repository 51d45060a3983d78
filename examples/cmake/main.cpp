// korv-notes: keeps a notes file in crypted form.
//   korv-notes <notes.kr> <text>   adds a line, then prints every note
// The line is written through a KFsCryptedFile handle (its working copy is
// crypted back when the handle goes away); the notes are read back through a
// CFileSystem stream.
#include <KorvFileSystem/CFileSystem.h>
#include <KorvFileSystem/KFsCryptedFile.h>

#include <cstdio>
#include <fstream>

int main(int argc, char* argv[])
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: korv-notes <notes.kr> <text>\n");
        return 2;
    }
    {
        KFsCryptedFile notes(argv[1], KFsWrite);
        if (notes.getDecryptedFilePath().empty()) {
            std::fprintf(stderr, "korv-notes: cannot open %s\n", argv[1]);
            return 1;
        }
        std::ofstream copy(notes.getDecryptedFilePath(), std::ios::app | std::ios::binary);
        copy << argv[2] << '\n';
        if (!copy.flush()) {
            std::fprintf(stderr, "korv-notes: cannot write the working copy\n");
            return 1;
        }
    } // crypted back into argv[1] here

    CFileSystem stream;
    if (stream.open(argv[1], "rb") != 0) {
        std::fprintf(stderr, "korv-notes: cannot read %s\n", argv[1]);
        return 1;
    }
    char buffer[4096];
    unsigned n;
    while ((n = stream.read(buffer, 1, sizeof buffer)) > 0)
        std::fwrite(buffer, 1, n, stdout);
    return stream.close() == 0 ? 0 : 1;
}

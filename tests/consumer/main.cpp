// Crypts its first argument into its second and decrypts it back into a third.
#include <KorvFileSystem/KFsCryptedFile.h>

int main(int argc, char* argv[])
{
    if (argc != 4)
        return 2;
    bool crypted = false;
    return KFsCryptedFile::crypt(argv[2], argv[1]) && KFsCryptedFile::decrypt(argv[2], argv[3], &crypted)
            && crypted
        ? 0
        : 1;
}

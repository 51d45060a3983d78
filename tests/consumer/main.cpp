// Uses every public class of an installed KorvFileSystem: crypts its first
// argument into its second and decrypts it back into a third, reads the
// crypted file through a handle and a stream, and checksums the third.
#include <KorvFileSystem/CFileSystem.h>
#include <KorvFileSystem/KFsCryptedFile.h>

#include <fstream>
#include <sstream>
#include <string>

static std::string contentOf(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

int main(int argc, char* argv[])
{
    if (argc != 4)
        return 2;
    bool crypted = false;
    if (!KFsCryptedFile::crypt(argv[2], argv[1]) || !KFsCryptedFile::decrypt(argv[2], argv[3], &crypted)
        || !crypted)
        return 1;
    const std::string plain = contentOf(argv[1]);

    KFsCryptedFile handle(argv[2], KFsRead);
    if (contentOf(handle.getDecryptedFilePath()) != plain)
        return 3;

    CFileSystem stream;
    if (stream.open(argv[2], "rb") != 0)
        return 4;
    std::string read(plain.size() + 1, '\0');
    read.resize(stream.read(&read[0], 1, static_cast<unsigned>(read.size())));
    if (read != plain || stream.close() != 0)
        return 5;

    CFileSystem::addCheckSum(QString::fromLocal8Bit(argv[3]));
    return CFileSystem::removeCheckSum(QString::fromLocal8Bit(argv[3])) ? 0 : 6;
}

// KFsCryptedFile: the exported entry points.
#include "KFsCryptedFile.h"

#include "transforms_p.h"

bool KFsCryptedFile::crypt(const std::string& target, const std::string& source)
{
    return korv::cryptFile(target, source);
}

bool KFsCryptedFile::decrypt(const std::string& source, const std::string& target, bool* crypted)
{
    return korv::decryptFile(source, target, crypted);
}

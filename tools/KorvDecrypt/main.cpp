// KorvDecrypt: decrypts one crypted file to another path, or in place.
#include <cstdio>
#include <string>

#include <KFsConversionBatch.h>

#include "stop.h"

int main(int argc, char* argv[])
{
    if (argc < 2 || argc > 3) {
        std::printf("Usage :\n");
        std::printf("KorvDecrypt.exe <source> [ <target> ]\n");
        std::printf("Note : when <target> is omitted, 'in place' decryption will occur.\n");
        return -1;
    }
    const std::string source = argv[1];
    const std::string target = argc == 3 ? argv[2] : argv[1];

    // Ctrl-C, kill and a closed terminal stop the decryption: the library then
    // drops its unfinished file and leaves the target as it was.
    korvtools::stopOnRequests(true, false);
    std::printf("Decrypting\tsource\t: %s\n\t\ttarget\t: %s\n\t\tresult\t: ", source.c_str(), target.c_str());
    // OK means the result is on disk: a batch of one syncs the new file and
    // its directory, to another path as well.
    KFsConversionBatch batch;
    batch.add(KFsConversionBatch::Decrypt, source, target);
    const bool ok = batch.commit();
    korvtools::endAsSignalled();
    if (ok) {
        std::printf("OK\n");
        return 0;
    }
    std::printf("ERROR\n");
    return -1;
}

// The crypted device's benchmark cases and the peers they are measured
// against, one per command; each writes what it read as "<bytes> <adler32>"
// (or the file it wrote) so that the driver can check it:
//   device_bench read <crypted> <digest>          the device, in 64 KiB reads
//   device_bench decrypt-read <crypted> <tmp> <digest>
//                                                 decrypt to a file, then read it
//   device_bench seek <crypted> <count> <digest>  1 KiB at random offsets
//   device_bench small-device <crypted> <rounds> <digest>
//   device_bench small-handle <crypted> <rounds> <digest>
//                                                 open, read whole, close, again
//   device_bench write <plain> <crypted>          the device, in 64 KiB writes
//   device_bench crypt <plain> <crypted>          KFsCryptedFile::crypt
//   device_bench crypt-sync <plain> <crypted>     the same, then fsync: the
//                                                 device's commit syncs
//   device_bench idle <digest>                    nothing: the memory at start
#include <KFsCryptedDevice.h>
#include <KFsCryptedFile.h>

#include <QFile>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include <fcntl.h>
#include <libdeflate.h>
#include <unistd.h>

namespace {

constexpr qint64 kChunk = 64 << 10;

struct Digest {
    std::uint64_t bytes = 0;
    std::uint32_t adler = 1;
    void add(const char* p, qint64 n)
    {
        bytes += std::uint64_t(n);
        adler = libdeflate_adler32(adler, p, std::size_t(n));
    }
    bool save(const char* path) const
    {
        FILE* f = std::fopen(path, "w");
        if (!f)
            return false;
        std::fprintf(f, "%llu %u\n", static_cast<unsigned long long>(bytes), adler);
        return std::fclose(f) == 0;
    }
};

bool readAll(QIODevice& device, Digest& digest)
{
    std::vector<char> buffer(kChunk);
    qint64 n;
    while ((n = device.read(buffer.data(), kChunk)) > 0)
        digest.add(buffer.data(), n);
    return n == 0;
}

// The offsets of the seek case; bench/device_bench.py draws the same ones.
std::uint64_t nextOffset(std::uint64_t& state, std::uint64_t size)
{
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return (state >> 33) % (size - 1024);
}

int fail(const char* what, const QString& why = {})
{
    std::fprintf(stderr, "device_bench: %s %s\n", what, qPrintable(why));
    return 1;
}

} // namespace

int main(int argc, char* argv[])
{
    const std::string mode = argc > 1 ? argv[1] : "";
    Digest digest;
    if (mode == "idle" && argc == 3)
        return digest.save(argv[2]) ? 0 : 1;
    if (mode == "read" && argc == 4) {
        KFsCryptedDevice device(QString::fromLocal8Bit(argv[2]));
        if (!device.open(QIODevice::ReadOnly) || !readAll(device, digest))
            return fail("read", device.errorString());
        return digest.save(argv[3]) ? 0 : 1;
    }
    if (mode == "decrypt-read" && argc == 5) {
        if (!KFsCryptedFile::decrypt(argv[2], argv[3]))
            return fail("decrypt");
        QFile file(QString::fromLocal8Bit(argv[3]));
        if (!file.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !readAll(file, digest))
            return fail("read back");
        file.remove();
        return digest.save(argv[4]) ? 0 : 1;
    }
    if (mode == "seek" && argc == 5) {
        KFsCryptedDevice device(QString::fromLocal8Bit(argv[2]));
        if (!device.open(QIODevice::ReadOnly))
            return fail("open", device.errorString());
        const std::uint64_t size = std::uint64_t(device.storedSize());
        std::uint64_t state = 1;
        char buffer[1024];
        for (int i = std::atoi(argv[3]); i > 0; --i) {
            if (!device.seek(qint64(nextOffset(state, size)))
                || device.read(buffer, sizeof buffer) != sizeof buffer)
                return fail("seek", device.errorString());
            digest.add(buffer, sizeof buffer);
        }
        return digest.save(argv[4]) ? 0 : 1;
    }
    if ((mode == "small-device" || mode == "small-handle") && argc == 5) {
        for (int i = std::atoi(argv[3]); i > 0; --i) {
            digest = {};
            if (mode == "small-device") {
                KFsCryptedDevice device(QString::fromLocal8Bit(argv[2]));
                if (!device.open(QIODevice::ReadOnly) || !readAll(device, digest))
                    return fail("small-device", device.errorString());
            } else {
                KFsCryptedFile handle(argv[2], KFsRead);
                QFile file(QString::fromLocal8Bit(handle.getDecryptedFilePath().c_str()));
                if (!file.open(QIODevice::ReadOnly) || !readAll(file, digest))
                    return fail("small-handle");
            }
        }
        return digest.save(argv[4]) ? 0 : 1;
    }
    if (mode == "write" && argc == 4) {
        QFile plain(QString::fromLocal8Bit(argv[2]));
        KFsCryptedDevice device(QString::fromLocal8Bit(argv[3]));
        if (!plain.open(QIODevice::ReadOnly | QIODevice::Unbuffered) || !device.open(QIODevice::WriteOnly))
            return fail("write", device.errorString());
        std::vector<char> buffer(kChunk);
        qint64 n;
        while ((n = plain.read(buffer.data(), kChunk)) > 0) {
            if (device.write(buffer.data(), n) != n)
                return fail("write", device.errorString());
        }
        return n == 0 && device.commit() ? 0 : fail("commit", device.errorString());
    }
    if ((mode == "crypt" || mode == "crypt-sync") && argc == 4) {
        if (!KFsCryptedFile::crypt(argv[3], argv[2]))
            return fail("crypt");
        if (mode == "crypt")
            return 0;
        const int fd = ::open(argv[3], O_RDONLY | O_CLOEXEC);
        return fd >= 0 && ::fdatasync(fd) == 0 && ::close(fd) == 0 ? 0 : fail("sync");
    }
    std::fprintf(stderr, "usage: see the head of device_bench.cpp\n");
    return 2;
}

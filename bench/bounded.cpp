// The whole-file operations as commands for the bounded-memory benchmark,
// each reporting the peak of its anonymous resident memory (file mappings
// left out), and the peers they are measured against:
//   bounded add|remove|verify <file>      the checksum trailer calls
//   bounded decrypt <source> <target>     KFsCryptedFile::decrypt
//   bounded handle <source>               a read handle (working copy made and removed)
//   bounded crc <file>                    one streaming CRC pass, 1 MiB reads
//   bounded whole-add|whole-remove <file> the trailer as it was done before:
//                                         the whole file in memory, qChecksum,
//                                         append / rewrite beside and rename
// Prints "peak-anon <bytes>" on success.
#include <CFileSystem.h>
#include <KFsCryptedFile.h>

#include <QByteArrayView>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>

#include <fcntl.h>
#include <unistd.h>

#include "crc16_p.h"
#include "peerio.h"

namespace {

std::uint64_t anonymousResident()
{
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 8, "RssAnon:") == 0)
            return std::stoull(line.substr(8)) * 1024;
    return 0;
}

// Samples the anonymous resident memory every few milliseconds.
class PeakSampler {
public:
    PeakSampler()
        : _thread([this] {
            while (!_stop) {
                sample();
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
        })
    {
    }
    std::uint64_t stop()
    {
        _stop = true;
        _thread.join();
        sample();
        return _peak;
    }

private:
    void sample()
    {
        const std::uint64_t now = anonymousResident();
        if (now > _peak)
            _peak = now;
    }
    std::atomic<bool> _stop { false };
    std::uint64_t _peak = 0;
    std::thread _thread;
};

bool crcPass(const char* path)
{
    const int fd = ::open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        return false;
    std::unique_ptr<std::uint8_t[]> buffer(new std::uint8_t[1 << 20]);
    korv::Crc16X25 crc;
    ssize_t n;
    while ((n = ::read(fd, buffer.get(), 1 << 20)) > 0)
        crc.update(buffer.get(), std::size_t(n));
    ::close(fd);
    std::printf("crc %04x\n", crc.value());
    return n == 0;
}

quint16 wholeChecksum(const std::vector<std::uint8_t>& bytes, std::size_t n)
{
    return qChecksum(QByteArrayView(reinterpret_cast<const char*>(bytes.data()), qsizetype(n)));
}

bool wholeAdd(const char* path)
{
    std::vector<std::uint8_t> bytes;
    if (!peer::readWhole(path, bytes))
        return false;
    const quint16 sum = wholeChecksum(bytes, bytes.size());
    const std::uint8_t trailer[] = { std::uint8_t(sum >> 8), std::uint8_t(sum) };
    const int fd = ::open(path, O_WRONLY | O_APPEND | O_CLOEXEC);
    const bool ok = fd >= 0 && ::write(fd, trailer, 2) == 2;
    return ::close(fd) == 0 && ok;
}

bool wholeRemove(const char* path)
{
    std::vector<std::uint8_t> bytes;
    if (!peer::readWhole(path, bytes) || bytes.size() < 4)
        return false;
    const std::size_t body = bytes.size() - 2;
    if (wholeChecksum(bytes, body) != ((bytes[body] << 8) | bytes[body + 1]))
        return false;
    const std::string temporary = std::string(path) + ".new";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    std::size_t done = 0;
    while (fd >= 0 && done < body) {
        const ssize_t n = ::write(fd, bytes.data() + done, body - done);
        if (n <= 0)
            break;
        done += std::size_t(n);
    }
    const bool ok = fd >= 0 && done == body && ::fdatasync(fd) == 0;
    return ::close(fd) == 0 && ok && ::rename(temporary.c_str(), path) == 0;
}

bool handle(const char* source)
{
    KFsCryptedFile file(source, KFsRead);
    return !file.getDecryptedFilePath().empty();
}

} // namespace

int main(int argc, char* argv[])
{
    if (argc < 3 || (std::strcmp(argv[1], "decrypt") == 0 && argc != 4)) {
        std::fprintf(stderr,
            "usage: %s add|remove|verify|handle|crc|whole-add|whole-remove <file>\n"
            "       %s decrypt <source> <target>\n",
            argv[0], argv[0]);
        return 2;
    }
    const std::string op = argv[1];
    const QString file = QString::fromLocal8Bit(argv[2]);
    PeakSampler sampler;
    bool ok = false;
    if (op == "add")
        ok = CFileSystem::addCheckSum(file, nullptr);
    else if (op == "remove")
        ok = CFileSystem::removeCheckSum(file);
    else if (op == "verify")
        ok = CFileSystem::verifyCheckSum(file);
    else if (op == "decrypt")
        ok = KFsCryptedFile::decrypt(argv[2], argv[3]);
    else if (op == "handle")
        ok = handle(argv[2]);
    else if (op == "crc")
        ok = crcPass(argv[2]);
    else if (op == "whole-add")
        ok = wholeAdd(argv[2]);
    else if (op == "whole-remove")
        ok = wholeRemove(argv[2]);
    const std::uint64_t peak = sampler.stop();
    if (!ok) {
        std::fprintf(stderr, "%s %s failed\n", argv[1], argv[2]);
        return 1;
    }
    std::printf("peak-anon %llu\n", static_cast<unsigned long long>(peak));
    return 0;
}

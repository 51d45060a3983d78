// Fuzz target: removeCheckSum (and addCheckSum) on arbitrary files. Property:
// removeCheckSum succeeds exactly when the file has a body of two bytes or
// more whose CRC-16/X.25, computed here independently, matches the stored
// big-endian trailer; it then leaves the body, else the file unchanged.
// addCheckSum followed by removeCheckSum gives any file of two bytes or more back.
#include "CFileSystem.h"
#include "fuzzcheck.h"
#include "scratchdir.h"

#include <cstring>

using namespace korvfuzz;

namespace {

// CRC-16/X.25, bit by bit: reflected polynomial 0x1021, start and final xor 0xFFFF.
std::uint16_t crc16x25(const std::uint8_t* data, std::size_t n)
{
    std::uint16_t crc = 0xFFFF;
    for (std::size_t i = 0; i < n; ++i) {
        crc ^= data[i];
        for (int bit = 0; bit < 8; ++bit)
            crc = (crc & 1) ? (crc >> 1) ^ 0x8408 : crc >> 1;
    }
    return crc ^ 0xFFFF;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string file = scratchPath("f");
    const QString qfile = QString::fromStdString(file);
    const bool matches
        = size >= 4 && crc16x25(data, size - 2) == ((std::uint16_t(data[size - 2]) << 8) | data[size - 1]);

    writeBytes(file, data, size);
    KORV_FUZZ_CHECK(CFileSystem::removeCheckSum(qfile) == matches);
    KORV_FUZZ_CHECK(sameBytes(readBytes(file), data, matches ? size - 2 : size));
    expectOnly(scratchDir(), { "tmp", "f" });

    writeBytes(file, data, size);
    CFileSystem::addCheckSum(qfile);
    const std::vector<std::uint8_t> withTrailer = readBytes(file);
    const std::uint16_t sum = crc16x25(data, size);
    KORV_FUZZ_CHECK(
        withTrailer.size() == size + 2 && (size == 0 || std::memcmp(withTrailer.data(), data, size) == 0));
    KORV_FUZZ_CHECK(withTrailer[size] == sum >> 8 && withTrailer[size + 1] == (sum & 0xFF));
    KORV_FUZZ_CHECK(CFileSystem::removeCheckSum(qfile) == (size >= 2));
    KORV_FUZZ_CHECK(sameBytes(readBytes(file), withTrailer.data(), size >= 2 ? size : size + 2));
    expectOnly(scratchDir(), { "tmp", "f" });
    return 0;
}

// Fuzz target: decrypt (and crypt) on arbitrary source bytes through real
// files in a scratch directory under TMPDIR, to a target and in place.
// Properties: a failed decrypt leaves the target byte for byte as it was and
// the flag untouched; a crypted source gives what the block decodes to; a
// plain source is copied exactly; nothing is left beside the files; crypt
// then decrypt gives the bytes back.
#include "KFsCryptedFile.h"
#include "cryptedformat_p.h"
#include "fuzzcheck.h"

#include <algorithm>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {

std::string g_dir;

void removeScratch()
{
    ::nftw(
        g_dir.c_str(), [](const char* p, const struct stat*, int, FTW*) { return ::remove(p), 0; }, 8,
        FTW_DEPTH | FTW_PHYS);
}

std::string path(const char* name)
{
    return g_dir + "/" + name;
}

void writeBytes(const std::string& file, const void* data, std::size_t n, mode_t mode)
{
    ::unlink(file.c_str());
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, mode);
    KORV_FUZZ_CHECK(fd >= 0);
    KORV_FUZZ_CHECK(n == 0 || ::write(fd, data, n) == ssize_t(n));
    ::close(fd);
}

std::vector<std::uint8_t> readBytes(const std::string& file)
{
    std::vector<std::uint8_t> bytes;
    const int fd = ::open(file.c_str(), O_RDONLY);
    KORV_FUZZ_CHECK(fd >= 0);
    std::uint8_t buffer[1 << 16];
    for (ssize_t r; (r = ::read(fd, buffer, sizeof buffer)) > 0;)
        bytes.insert(bytes.end(), buffer, buffer + r);
    ::close(fd);
    return bytes;
}

bool sameBytes(const std::vector<std::uint8_t>& a, const std::uint8_t* b, std::size_t n)
{
    return a.size() == n && (n == 0 || std::memcmp(a.data(), b, n) == 0);
}

mode_t modeOf(const std::string& file)
{
    struct stat st;
    KORV_FUZZ_CHECK(::stat(file.c_str(), &st) == 0);
    return st.st_mode & 07777;
}

// Nothing but the named files may be in the scratch directory.
void expectOnly(std::vector<std::string> names)
{
    DIR* d = ::opendir(g_dir.c_str());
    KORV_FUZZ_CHECK(d);
    std::size_t count = 0;
    while (const dirent* e = ::readdir(d)) {
        const std::string name = e->d_name;
        if (name == "." || name == "..")
            continue;
        KORV_FUZZ_CHECK(std::find(names.begin(), names.end(), name) != names.end());
        ++count;
    }
    ::closedir(d);
    KORV_FUZZ_CHECK(count == names.size());
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/korv-fuzz-XXXXXX";
    KORV_FUZZ_CHECK(::mkdtemp(pattern.data()));
    g_dir = pattern;
    std::atexit(removeScratch);
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    using korv::format::DecodeResult;
    const std::string src = path("src"), target = path("target"), back = path("back");
    const bool marked = korv::format::hasMarker(data, size);
    std::vector<std::uint8_t> decoded;
    bool decodes = !marked;
    if (marked) {
        korv::MemorySink sink;
        decodes = korv::format::decodeBlock(data + 2, size - 2, sink) == DecodeResult::Ok;
        decoded = std::move(sink.bytes);
    }
    const std::uint8_t* expected = marked ? decoded.data() : data;
    const std::size_t expectedSize = marked ? decoded.size() : size;

    // To an existing target, read-only for every other input length.
    static const char old[] = "the target's old content";
    const mode_t targetMode = size % 2 ? 0444 : 0640;
    writeBytes(src, data, size, 0644);
    writeBytes(target, old, sizeof old, targetMode);
    bool flag = !marked;
    const bool ok = KFsCryptedFile::decrypt(src, target, &flag);
    KORV_FUZZ_CHECK(ok == decodes);
    if (ok) {
        KORV_FUZZ_CHECK(flag == marked);
        KORV_FUZZ_CHECK(sameBytes(readBytes(target), expected, expectedSize));
    } else {
        KORV_FUZZ_CHECK(flag == !marked);
        KORV_FUZZ_CHECK(sameBytes(readBytes(target), reinterpret_cast<const std::uint8_t*>(old), sizeof old));
        KORV_FUZZ_CHECK(modeOf(target) == targetMode);
    }
    KORV_FUZZ_CHECK(sameBytes(readBytes(src), data, size));
    expectOnly({"src", "target"});

    // In place.
    KORV_FUZZ_CHECK(KFsCryptedFile::decrypt(src, src) == decodes);
    KORV_FUZZ_CHECK(sameBytes(readBytes(src), decodes ? expected : data, decodes ? expectedSize : size));
    expectOnly({"src", "target"});

    // Any bytes crypt and decrypt back, in place and through a second file.
    writeBytes(src, data, size, 0644);
    KORV_FUZZ_CHECK(KFsCryptedFile::crypt(src, src));
    KORV_FUZZ_CHECK(KFsCryptedFile::decrypt(src, back, &flag) && flag);
    KORV_FUZZ_CHECK(sameBytes(readBytes(back), data, size));
    expectOnly({"src", "target", "back"});
    ::unlink(back.c_str());
    return 0;
}

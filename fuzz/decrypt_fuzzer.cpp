// Fuzz target: decrypt (and crypt, and a read handle) on arbitrary source
// bytes through real files, to a target and in place. Properties: a failed
// decrypt leaves the target byte for byte as it was and the flag untouched; a
// crypted source gives what its block decodes to; a plain source is copied
// exactly; a handle's working copy holds the same, or the handle refuses the
// file; nothing is left beside the files or in the temporary directory;
// crypt then decrypt gives the bytes back.
#include "KFsCryptedFile.h"
#include "cryptedformat_p.h"
#include "fuzzcheck.h"
#include "scratchdir.h"

#include <unistd.h>

using namespace korvfuzz;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string src = scratchPath("src"), target = scratchPath("target"), back = scratchPath("back");
    const std::vector<std::string> files { "tmp", "src", "target" };
    const bool marked = korv::format::hasMarker(data, size);
    std::vector<std::uint8_t> decoded;
    bool decodes = !marked;
    if (marked) {
        korv::MemorySink sink;
        decodes = korv::format::decodeBlock(data + 2, size - 2, sink) == korv::format::DecodeResult::Ok;
        decoded = std::move(sink.bytes);
    }
    const std::uint8_t* expected = marked ? decoded.data() : data;
    const std::size_t expectedSize = marked ? decoded.size() : size;

    // To an existing target, read-only for every other input length.
    static const char old[] = "the target's old content";
    const unsigned targetMode = size % 2 ? 0444 : 0640;
    writeBytes(src, data, size);
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
    expectOnly(scratchDir(), files);

    // A read handle's working copy.
    {
        KFsCryptedFile handle(src, KFsRead);
        const std::string& copy = handle.getDecryptedFilePath();
        KORV_FUZZ_CHECK(copy.empty() == !decodes);
        if (decodes)
            KORV_FUZZ_CHECK(sameBytes(readBytes(copy), expected, expectedSize));
    }
    expectOnly(scratchPath("tmp"), {});

    // In place.
    KORV_FUZZ_CHECK(KFsCryptedFile::decrypt(src, src) == decodes);
    KORV_FUZZ_CHECK(sameBytes(readBytes(src), decodes ? expected : data, decodes ? expectedSize : size));
    expectOnly(scratchDir(), files);

    // Any bytes crypt and decrypt back, in place and through a second file.
    writeBytes(src, data, size);
    KORV_FUZZ_CHECK(KFsCryptedFile::crypt(src, src));
    KORV_FUZZ_CHECK(KFsCryptedFile::decrypt(src, back, &flag) && flag);
    KORV_FUZZ_CHECK(sameBytes(readBytes(back), data, size));
    expectOnly(scratchDir(), { "tmp", "src", "target", "back" });
    ::unlink(back.c_str());
    return 0;
}

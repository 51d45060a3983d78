// In-process benchmarks: decoding and encoding a crypted block, against the
// libraries our peers use, small files through decrypt and a read handle
// (against the bare system calls a handle needs), and qChecksum over buffers.
#include <QByteArray>
#include <QDir>
#include <benchmark/benchmark.h>
#include <libdeflate.h>
#include <zlib.h>

#include <QTemporaryDir>
#include <fcntl.h>
#include <fstream>
#include <unistd.h>

#include "corpus.h"
#include "KFsCryptedFile.h"
#include "cryptedformat_p.h"
#include "transforms_p.h"

namespace {

constexpr std::size_t kCorpusSize = 16 << 20;

// A sink whose map() hands out one buffer that is reused, already faulted
// in, so that the decode is measured and not the page faults.
class ReusedSink final : public korv::ByteSink {
public:
    bool write(const void* data, std::size_t n) override
    {
        if (written + n > buffer.size())
            buffer.resize(written + n);
        std::memcpy(buffer.data() + written, data, n);
        written += n;
        return true;
    }
    std::uint8_t* map(std::size_t n) override
    {
        if (n > buffer.size())
            buffer.resize(n);
        written = 0;
        return buffer.data();
    }
    bool unmap(std::size_t used) override
    {
        written = used;
        return true;
    }
    bool reset() override
    {
        written = 0;
        return true;
    }
    std::vector<std::uint8_t> buffer;
    std::size_t written = 0;
};

const std::string& plain(bool text)
{
    static const std::string texts = corpus::generate(true, kCorpusSize);
    static const std::string binaries = corpus::generate(false, kCorpusSize);
    return text ? texts : binaries;
}

// The crypted block (after the marker): the length and the zlib stream.
const QByteArray& block(bool text)
{
    static const QByteArray texts = qCompress(QByteArray::fromStdString(plain(true)));
    static const QByteArray binaries = qCompress(QByteArray::fromStdString(plain(false)));
    return text ? texts : binaries;
}

const std::uint8_t* bytes(const QByteArray& a)
{
    return reinterpret_cast<const std::uint8_t*>(a.constData());
}

void setThroughput(benchmark::State& state, std::size_t perIteration)
{
    state.SetBytesProcessed(std::int64_t(state.iterations()) * std::int64_t(perIteration));
}

void DecodeBlock(benchmark::State& state, bool text)
{
    const QByteArray& b = block(text);
    ReusedSink sink;
    for (auto _ : state) {
        if (korv::format::decodeBlock(bytes(b), std::size_t(b.size()), sink)
            != korv::format::DecodeResult::Ok)
            state.SkipWithError("decode failed");
        benchmark::DoNotOptimize(sink.buffer.data());
    }
    setThroughput(state, kCorpusSize);
}

void LibdeflateDecode(benchmark::State& state, bool text)
{
    const QByteArray& b = block(text);
    std::vector<std::uint8_t> out(kCorpusSize);
    libdeflate_decompressor* d = libdeflate_alloc_decompressor();
    for (auto _ : state) {
        std::size_t n = 0;
        libdeflate_zlib_decompress(d, bytes(b) + 4, std::size_t(b.size()) - 4, out.data(), out.size(), &n);
        benchmark::DoNotOptimize(out.data());
    }
    libdeflate_free_decompressor(d);
    setThroughput(state, kCorpusSize);
}

void ZlibUncompress(benchmark::State& state, bool text)
{
    const QByteArray& b = block(text);
    std::vector<std::uint8_t> out(kCorpusSize);
    for (auto _ : state) {
        uLongf n = out.size();
        uncompress(out.data(), &n, bytes(b) + 4, uLong(b.size() - 4));
        benchmark::DoNotOptimize(out.data());
    }
    setThroughput(state, kCorpusSize);
}

void QUncompress(benchmark::State& state, bool text)
{
    const QByteArray& b = block(text);
    for (auto _ : state)
        benchmark::DoNotOptimize(qUncompress(b));
    setThroughput(state, kCorpusSize);
}

void Encode(benchmark::State& state, bool text)
{
    const std::string& p = plain(text);
    ReusedSink sink;
    for (auto _ : state) {
        sink.reset();
        if (!korv::format::encode(reinterpret_cast<const std::uint8_t*>(p.data()), p.size(), sink))
            state.SkipWithError("encode failed");
        benchmark::DoNotOptimize(sink.buffer.data());
    }
    setThroughput(state, kCorpusSize);
}

void Compress2(benchmark::State& state, bool text)
{
    const std::string& p = plain(text);
    std::vector<std::uint8_t> out(compressBound(uLong(p.size())));
    for (auto _ : state) {
        uLongf n = out.size();
        compress2(
            out.data(), &n, reinterpret_cast<const Bytef*>(p.data()), uLong(p.size()), Z_DEFAULT_COMPRESSION);
        benchmark::DoNotOptimize(out.data());
    }
    setThroughput(state, kCorpusSize);
}

// A whole decrypt of a small crypted file into a new file beside others:
// the fixed cost of opening, mapping, creating and renaming.
void DecryptSmallFile(benchmark::State& state)
{
    QTemporaryDir dir;
    const std::string source = dir.path().toStdString() + "/small.kr";
    const std::string target = dir.path().toStdString() + "/small.txt";
    const QByteArray crypted
        = "kr" + qCompress(QByteArray::fromStdString(corpus::generate(true, std::size_t(state.range(0)))));
    std::ofstream(source, std::ios::binary).write(crypted.constData(), crypted.size());
    for (auto _ : state) {
        if (!korv::decryptFile(source, target, nullptr))
            state.SkipWithError("decrypt failed");
    }
    setThroughput(state, std::size_t(state.range(0)));
}

// A crypted file of `size` plain bytes in a private directory.
struct SmallCryptedFile {
    explicit SmallCryptedFile(std::size_t size)
    {
        const QByteArray crypted = "kr" + qCompress(QByteArray::fromStdString(corpus::generate(true, size)));
        std::ofstream(path, std::ios::binary).write(crypted.constData(), crypted.size());
    }
    QTemporaryDir dir;
    std::string path = dir.path().toStdString() + "/small.kr";
};

// A read handle: the working copy made in the temporary directory, then removed.
void ReadHandle(benchmark::State& state)
{
    SmallCryptedFile file(std::size_t(state.range(0)));
    for (auto _ : state) {
        KFsCryptedFile handle(file.path, KFsRead);
        if (handle.getDecryptedFilePath().empty())
            state.SkipWithError("no working copy");
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
}

// The system calls a read handle cannot do without, for comparison: open and
// read the source, create a temporary file, write the plain bytes and read
// them back, remove it.
void BareHandleSyscalls(benchmark::State& state)
{
    SmallCryptedFile file(std::size_t(state.range(0)));
    const std::string plainBytes = corpus::generate(true, std::size_t(state.range(0)));
    const std::string temp = QDir::tempPath().toStdString() + "/kr2-bench-bare";
    std::vector<char> buffer(plainBytes.size() * 2 + 4096);
    for (auto _ : state) {
        int in = ::open(file.path.c_str(), O_RDONLY | O_CLOEXEC);
        benchmark::DoNotOptimize(::read(in, buffer.data(), buffer.size()));
        ::close(in);
        int out = ::open(temp.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        benchmark::DoNotOptimize(::write(out, plainBytes.data(), plainBytes.size()));
        benchmark::DoNotOptimize(::pread(out, buffer.data(), buffer.size(), 0));
        ::close(out);
        ::unlink(temp.c_str());
    }
    state.SetItemsProcessed(std::int64_t(state.iterations()));
}

void QChecksum(benchmark::State& state)
{
    const std::string& p = plain(true);
    const auto n = std::size_t(state.range(0));
    for (auto _ : state)
        benchmark::DoNotOptimize(qChecksum(QByteArrayView(p.data(), qsizetype(n))));
    setThroughput(state, n);
}

} // namespace

BENCHMARK_CAPTURE(DecodeBlock, text, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(DecodeBlock, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LibdeflateDecode, text, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(LibdeflateDecode, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ZlibUncompress, text, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(ZlibUncompress, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(QUncompress, text, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(QUncompress, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Encode, text, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Encode, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compress2, text, true)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(Compress2, binary, false)->Unit(benchmark::kMillisecond);
BENCHMARK(DecryptSmallFile)->Arg(4 << 10)->Arg(64 << 10)->Arg(1 << 20);
BENCHMARK(ReadHandle)->Arg(4 << 10)->Unit(benchmark::kMicrosecond);
BENCHMARK(BareHandleSyscalls)->Arg(4 << 10)->Unit(benchmark::kMicrosecond);
BENCHMARK(QChecksum)->Arg(4 << 10)->Arg(1 << 20)->Arg(16 << 20);

BENCHMARK_MAIN();

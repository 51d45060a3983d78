// Each dependency does real work here, so a wrong build or a missing DLL
// fails a test rather than passing unnoticed.
#include <QByteArray>
#include <QCryptographicHash>
#include <QString>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <libdeflate.h>
#include <zlib.h>

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace {

std::vector<std::uint8_t> sample()
{
    std::vector<std::uint8_t> data(1 << 16);
    for (std::size_t i = 0; i < data.size(); ++i)
        data[i] = static_cast<std::uint8_t>((i * 7) ^ (i >> 5));
    return data;
}

TEST(Toolchain, PointerWidthMatchesTarget)
{
#if defined(_WIN64)
    EXPECT_EQ(sizeof(void *), 8u);
#else
    EXPECT_EQ(sizeof(void *), 4u);
#endif
}

TEST(Toolchain, QtCoreWorks)
{
    const QByteArray sha = QCryptographicHash::hash("abc", QCryptographicHash::Sha256).toHex();
    EXPECT_EQ(sha, QByteArray("ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"));
    EXPECT_EQ(QString::fromLocal8Bit("plain").toStdString(), "plain");
}

TEST(Toolchain, ZlibAndLibdeflateAgree)
{
    const auto data = sample();
    uLongf packedSize = compressBound(static_cast<uLong>(data.size()));
    std::vector<std::uint8_t> packed(packedSize);
    ASSERT_EQ(compress(packed.data(), &packedSize, data.data(), static_cast<uLong>(data.size())), Z_OK);

    libdeflate_decompressor *d = libdeflate_alloc_decompressor();
    ASSERT_NE(d, nullptr);
    std::vector<std::uint8_t> out(data.size());
    std::size_t got = 0;
    EXPECT_EQ(libdeflate_zlib_decompress(d, packed.data(), packedSize, out.data(), out.size(), &got),
              LIBDEFLATE_SUCCESS);
    libdeflate_free_decompressor(d);
    EXPECT_EQ(got, data.size());
    EXPECT_EQ(out, data);
    EXPECT_EQ(libdeflate_crc32(0, data.data(), data.size()), crc32(0, data.data(), static_cast<uInt>(data.size())));
}

TEST(Toolchain, IsalInflatesZlibDeflate)
{
    const auto data = sample();
    uLongf packedSize = compressBound(static_cast<uLong>(data.size()));
    std::vector<std::uint8_t> packed(packedSize);
    ASSERT_EQ(compress2(packed.data(), &packedSize, data.data(), static_cast<uLong>(data.size()), 9), Z_OK);

    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_ZLIB;
    std::vector<std::uint8_t> out(data.size());
    state.next_in = packed.data();
    state.avail_in = static_cast<std::uint32_t>(packedSize);
    state.next_out = out.data();
    state.avail_out = static_cast<std::uint32_t>(out.size());
    ASSERT_EQ(isal_inflate_stateless(&state), ISAL_DECOMP_OK);
    EXPECT_EQ(state.total_out, data.size());
    EXPECT_EQ(out, data);
}

struct Sink {
    virtual ~Sink() = default;
    virtual void put(int value) = 0;
};
struct MockSink : Sink {
    MOCK_METHOD(void, put, (int value), (override));
};

TEST(Toolchain, ThreadsAndGMock)
{
    MockSink sink;
    EXPECT_CALL(sink, put(testing::Ge(0))).Times(4);
    std::atomic<int> counter{0};
    std::vector<std::thread> threads;
    for (int i = 0; i < 4; ++i)
        threads.emplace_back([&counter] { counter.fetch_add(1); });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < counter.load(); ++i)
        sink.put(i);
}

} // namespace

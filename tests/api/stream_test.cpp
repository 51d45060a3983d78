// CFileSystem streams: reading crypted and plain files, the stdio wrappers,
// writing through to the file at close, calls on closed objects, copies.
#include "CFileSystem.h"
#include "platform_p.h"
#include "testhooks_p.h"
#include "testutil.h"

#include <cstdio>
#include <cstring>

using namespace korvtest;

namespace {

// Stands in for Windows, where a file open in a stream cannot be removed.
bool streamOpen = false;
bool refuseWhileOpen(const std::string&)
{
    return streamOpen;
}

} // namespace

class Stream : public WorkingCopyTest {
protected:
    void TearDown() override
    {
        korv::platform::removeFault = nullptr;
        WorkingCopyTest::TearDown();
    }
};

TEST_F(Stream, ReadsCryptedAndPlainFilesAsPlainText)
{
    const std::string plain = textContent(200000);
    writeFile(path("data.kr"), qtCrypted(plain));
    writeFile(path("plain.txt"), "just plain\n");
    CFileSystem stream;
    ASSERT_EQ(stream.open(path("data.kr").c_str(), "rb"), 0);
#ifndef _WIN32
    // The working copy is already gone: the open stream alone holds it.
    EXPECT_TRUE(workingCopies().empty());
#endif
    EXPECT_EQ(readAll(stream), plain);
    EXPECT_NE(stream.eof(), 0);
    EXPECT_EQ(stream.error(), 0);
    EXPECT_EQ(stream.close(), 0);
    EXPECT_TRUE(workingCopies().empty());

    // Where an open file cannot be removed, close() removes the copy.
    korv::platform::removeFault = refuseWhileOpen;
    streamOpen = true;
    ASSERT_EQ(stream.open(path("data.kr").c_str(), "rb"), 0);
    EXPECT_EQ(workingCopies().size(), 1u);
    streamOpen = false;
    EXPECT_EQ(stream.close(), 0);
    EXPECT_TRUE(workingCopies().empty());

    ASSERT_EQ(stream.open(path("plain.txt").c_str(), "r"), 0);
    EXPECT_EQ(readAll(stream), "just plain\n");
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(readFile(path("data.kr")), qtCrypted(plain));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Stream, MissingFileInReadModesFailsWithoutATemporaryFile)
{
    CFileSystem stream;
    for (const char* mode : { "r", "rb", "rt", "r+", "rb+" }) {
        EXPECT_EQ(stream.open(path("missing.kr").c_str(), mode), 1) << mode;
        EXPECT_TRUE(workingCopies().empty()) << mode;
        EXPECT_EQ(stream.getc(), EOF);
    }
    EXPECT_FALSE(fileExists(path("missing.kr")));
    EXPECT_EQ(stream.open(nullptr, "r"), 1);
    EXPECT_EQ(stream.open(path("missing.kr").c_str(), nullptr), 1);
}

TEST_F(Stream, LineCharacterAndPositionCalls)
{
    const std::string text = "line one\nline two\nend";
    writeFile(path("data.kr"), qtCrypted(text));
    CFileSystem stream;
    ASSERT_EQ(stream.open(path("data.kr").c_str(), "rb"), 0);
    char line[64];
    ASSERT_EQ(stream.gets(line, sizeof line), line);
    EXPECT_STREQ(line, "line one\n");
    EXPECT_EQ(stream.getc(), 'l');
    EXPECT_EQ(stream.tell(), 10);
    EXPECT_EQ(stream.seek(-3, SEEK_END), 0);
    ASSERT_EQ(stream.gets(line, sizeof line), line);
    EXPECT_STREQ(line, "end");
    EXPECT_NE(stream.eof(), 0);
    EXPECT_EQ(stream.getc(), EOF);
    stream.rewind();
    EXPECT_EQ(stream.eof(), 0);
    EXPECT_EQ(stream.tell(), 0);
    EXPECT_EQ(stream.seek(5, SEEK_SET), 0);
    EXPECT_EQ(stream.getc(), 'o');
    EXPECT_EQ(stream.seek(-100, SEEK_CUR), -1);
}

TEST_F(Stream, CloseIsIdempotentAndASecondOpenReplacesTheFirst)
{
    writeFile(path("a.kr"), qtCrypted("first"));
    writeFile(path("b.kr"), qtCrypted("second"));
    CFileSystem stream;
    EXPECT_EQ(stream.close(), 0);
    ASSERT_EQ(stream.open(path("a.kr").c_str(), "rb"), 0);
    ASSERT_EQ(stream.open(path("b.kr").c_str(), "rb"), 0);
    EXPECT_EQ(readAll(stream), "second");
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(stream.close(), 0);

    // A failed open leaves the object closed, the earlier stream included.
    ASSERT_EQ(stream.open(path("a.kr").c_str(), "rb"), 0);
    EXPECT_EQ(stream.open(path("missing").c_str(), "rb"), 1);
    EXPECT_EQ(stream.getc(), EOF);
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Stream, CallsOnAClosedObjectFailAsStdioDoes)
{
    CFileSystem stream;
    char buffer[8] = "abc";
    EXPECT_EQ(stream.read(buffer, 1, sizeof buffer) + stream.write(buffer, 1, 3), 0u);
    EXPECT_EQ(stream.gets(buffer, sizeof buffer), nullptr);
    for (int result : { stream.puts("x"), stream.getc(), stream.putc('x'), stream.flush() })
        EXPECT_EQ(result, EOF);
    EXPECT_EQ(stream.seek(0, SEEK_SET), -1);
    EXPECT_EQ(stream.tell(), -1);
    stream.rewind();
    EXPECT_EQ(stream.eof() + stream.error(), 0);
}

TEST_F(Stream, WritingModesReachTheFileOnlyAtClose)
{
    writeFile(path("w.kr"), qtCrypted("old content"));
    CFileSystem stream;
    ASSERT_EQ(stream.open(path("w.kr").c_str(), "wb"), 0);
    EXPECT_EQ(readFile(path("w.kr")), qtCrypted("old content")) << "not emptied by the open";
    EXPECT_EQ(stream.write("hel", 1, 3), 3u);
    EXPECT_GE(stream.puts("l"), 0);
    EXPECT_EQ(stream.putc('o'), 'o');
    EXPECT_EQ(stream.flush(), 0) << "to the working copy only";
    EXPECT_EQ(readFile(path("w.kr")), qtCrypted("old content"));
    EXPECT_EQ(workingCopies().size(), 1u);
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(readFile(path("w.kr")), qtCrypted("hello"));
    EXPECT_TRUE(workingCopies().empty());

    writeFile(path("a.kr"), qtCrypted("X"));
    writeFile(path("a.txt"), "plain X");
    for (const std::string& file : { path("a.kr"), path("a.txt") }) {
        ASSERT_EQ(stream.open(file.c_str(), "ab"), 0);
        EXPECT_EQ(stream.write("Y", 1, 1), 1u);
        EXPECT_EQ(stream.close(), 0);
    }
    EXPECT_EQ(readFile(path("a.kr")), qtCrypted("XY"));
    EXPECT_EQ(readFile(path("a.txt")), qtCrypted("plain XY"));

    writeFile(path("u.kr"), qtCrypted("0123456789"));
    ASSERT_EQ(stream.open(path("u.kr").c_str(), "r+b"), 0);
    EXPECT_EQ(stream.seek(4, SEEK_SET), 0);
    EXPECT_EQ(stream.write("ab", 1, 2), 2u);
    EXPECT_EQ(stream.seek(0, SEEK_SET), 0);
    EXPECT_EQ(stream.getc(), '0');
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(readFile(path("u.kr")), qtCrypted("0123ab6789"));

    ASSERT_EQ(stream.open(path("new/dir/n.kr").c_str(), "w"), 0);
    EXPECT_GE(stream.puts("created\n"), 0);
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(readFile(path("new/dir/n.kr")), qtCrypted(std::string("created") + kTextNewline));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Stream, DestructionWritesBackLikeClose)
{
    {
        CFileSystem stream;
        ASSERT_EQ(stream.open(path("d.kr").c_str(), "wb"), 0);
        stream.puts("by destruction");
    }
    EXPECT_EQ(readFile(path("d.kr")), qtCrypted("by destruction"));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Stream, AFailedWriteBackIsReportedAndTheFileKept)
{
    // A path under a regular file can never be written.
    writeFile(path("file"), "regular");
    CFileSystem stream;
    ASSERT_EQ(stream.open(path("file/sub").c_str(), "wb"), 0);
    stream.puts("unsaved");
    EXPECT_EQ(stream.close(), EOF);
    const auto copies = workingCopies();
    ASSERT_EQ(copies.size(), 1u) << "the copy is all that is left of the content";
    EXPECT_EQ(readFile(copies.front()), "unsaved");

    // After a failed call on the stream the copy may be incomplete: the file stays.
    writeFile(path("a.kr"), qtCrypted("kept"));
    ASSERT_EQ(stream.open(path("a.kr").c_str(), "ab"), 0);
    stream.puts("more");
    EXPECT_EQ(stream.getc(), EOF); // reading an append-only stream fails
    EXPECT_NE(stream.error(), 0);
    EXPECT_EQ(stream.close(), EOF);
    EXPECT_EQ(readFile(path("a.kr")), qtCrypted("kept"));
    EXPECT_EQ(workingCopies(), copies);

    // Every misuse fails alike and keeps the file; rewind clears it as it
    // clears the stream's own error.
    char line[8];
    for (const char* mode : { "wb", "ab", "rb" }) {
        ASSERT_EQ(stream.open(path("a.kr").c_str(), mode), 0) << mode;
        const bool reads = mode[0] == 'r';
        EXPECT_EQ(reads ? stream.puts("x") : stream.getc(), EOF) << mode;
        EXPECT_EQ(reads ? stream.write("x", 1, 1) : stream.read(line, 1, 1), 0u) << mode;
        if (!reads) {
            EXPECT_EQ(stream.gets(line, sizeof line), nullptr) << mode;
        }
        EXPECT_NE(stream.error(), 0) << mode;
        EXPECT_EQ(stream.close(), reads ? 0 : EOF) << mode;
        EXPECT_EQ(readFile(path("a.kr")), qtCrypted("kept")) << mode;
    }
    ASSERT_EQ(stream.open(path("a.kr").c_str(), "ab"), 0);
    stream.getc();
    stream.rewind();
    EXPECT_EQ(stream.error(), 0);
    stream.puts(" too");
    EXPECT_EQ(stream.close(), 0);
    EXPECT_EQ(readFile(path("a.kr")), qtCrypted("kept too"));
}

TEST_F(Stream, NothingOpensWithoutAWorkingCopy)
{
    const std::string corrupt = "kr" + fromHex("00000005") + "junk!";
    writeFile(path("bad.kr"), corrupt);
    writeFile(path("data.kr"), qtCrypted("content"));
    CFileSystem stream;
    for (const char* mode : { "rb", "wb", "ab", "r+" })
        EXPECT_EQ(stream.open(path("bad.kr").c_str(), mode), 1) << mode;
    setTempDirectory(path("no/such/dir"));
    for (const char* mode : { "rb", "wb", "ab", "r+" })
        EXPECT_EQ(stream.open(path("data.kr").c_str(), mode), 1) << mode;
    EXPECT_EQ(stream.open(path("new.kr").c_str(), "wb"), 1);

    EXPECT_EQ(readFile(path("bad.kr")), corrupt);
    EXPECT_EQ(readFile(path("data.kr")), qtCrypted("content"));
    EXPECT_FALSE(fileExists(path("new.kr")));
    EXPECT_TRUE(workingCopies().empty());
}

TEST_F(Stream, CopiesShareOneStreamClosedByTheLastHolder)
{
    writeFile(path("r.kr"), qtCrypted("abcdef"));
    CFileSystem original;
    ASSERT_EQ(original.open(path("r.kr").c_str(), "rb"), 0);
    EXPECT_EQ(original.getc(), 'a');
    {
        CFileSystem copy(original);
        EXPECT_EQ(copy.getc(), 'b') << "one stream, one position";
        EXPECT_EQ(copy.close(), 0);
        EXPECT_EQ(copy.getc(), EOF) << "closed for this holder only";
    }
    EXPECT_EQ(original.getc(), 'c');

    CFileSystem writer;
    ASSERT_EQ(writer.open(path("w.kr").c_str(), "wb"), 0);
    writer.puts("one ");
    CFileSystem other;
    ASSERT_EQ(other.open(path("r.kr").c_str(), "rb"), 0);
    other = writer; // releases other's stream on r.kr
    EXPECT_EQ(writer.close(), 0);
    EXPECT_FALSE(fileExists(path("w.kr"))) << "other still holds the stream";
    other.puts("two");
    CFileSystem& same = other;
    other = same;
    EXPECT_EQ(other.close(), 0);
    EXPECT_EQ(readFile(path("w.kr")), qtCrypted("one two"));

    original = CFileSystem();
    EXPECT_EQ(original.getc(), EOF);
    EXPECT_TRUE(workingCopies().empty());
}

// korv run as a user runs it: exit statuses, what goes to stdout and what to
// stderr, the files it leaves, with pipes, signals and hostile trees.
#include "testutil.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <map>
#include <sstream>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace korvtest;

namespace {

struct KorvRun {
    int status; // the exit status, or 128 + the signal that ended it
    std::string out;
    std::string err;
};

// Starts korv (or `program`) with byte arguments, stdout and stderr going to
// the files `out` and `err`, standard input from `in` (or /dev/null).
pid_t start(const std::vector<std::string>& args, const std::string& out, const std::string& err,
    const std::string& in = "/dev/null", const char* program = KORV_PATH)
{
    const pid_t pid = ::fork();
    if (pid != 0)
        return pid;
    const int i = ::open(in.c_str(), O_RDONLY);
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (i < 0 || o < 0 || e < 0 || ::dup2(i, 0) < 0 || ::dup2(o, 1) < 0 || ::dup2(e, 2) < 0)
        ::_exit(127);
    std::vector<char*> argv { const_cast<char*>(program) };
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    ::execv(program, argv.data());
    ::_exit(127);
}

int waitFor(pid_t pid)
{
    int status = -1;
    if (::waitpid(pid, &status, 0) != pid)
        return -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

class Korv : public TempDirTest {
protected:
    // Output files live beside the test directory, not in the trees korv walks.
    KorvRun korv(const std::vector<std::string>& args, const std::string& in = "/dev/null")
    {
        const int status = waitFor(start(args, _out, _err, in));
        return { status, readFile(_out), readFile(_err) };
    }
    // A bash script with $KORV naming the tool.
    KorvRun shell(const std::string& script)
    {
        ::setenv("KORV", KORV_PATH, 1);
        const int status = waitFor(start({ "-c", script }, _out, _err, "/dev/null", "/bin/bash"));
        return { status, readFile(_out), readFile(_err) };
    }
    void SetUp() override { ::mkdir(tree().c_str(), 0755); }
    // The trees korv walks; its stdout and stderr files are beside them.
    std::string tree(const std::string& name = "") const { return path("t/" + name); }

    const std::string _out = path("stdout");
    const std::string _err = path("stderr");
};

std::vector<std::string> lines(const std::string& text)
{
    std::vector<std::string> result;
    std::size_t start = 0;
    for (std::size_t nl; (nl = text.find('\n', start)) != std::string::npos; start = nl + 1)
        result.push_back(text.substr(start, nl - start));
    return result;
}

} // namespace

TEST_F(Korv, UsageErrorsExitTwoAndEveryCommandHasHelp)
{
    for (const std::vector<std::string>& args : std::vector<std::vector<std::string>> { {}, { "frob" },
             { "decrypt" }, { "crypt", "-o", "x", "a", "b" }, { "info", "-x", "a" }, { "checksum", "a" },
             { "cat", "-r" }, { "test", "-j", "many", "a" } }) {
        const KorvRun r = korv(args);
        EXPECT_EQ(r.status, 2) << (args.empty() ? "" : args[0]);
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err.rfind("korv: ", 0), 0u) << r.err;
    }
    for (const std::string command : { "decrypt", "crypt", "cat", "test", "info", "checksum" }) {
        const KorvRun r = korv({ command, "--help" });
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: korv " + command, 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
}

// Results land under --to at their path below the argument; stdout stays
// empty without -v; crypted files are skipped by crypt unless --again.
TEST_F(Korv, TreesConvertInPlaceAndToADirectory)
{
    const std::string a = textContent(300000), b = noiseContent(5000);
    ::mkdir(tree("d").c_str(), 0755);
    writeFile(tree("d/a.kr"), qtCrypted(a));
    writeFile(tree("b.txt"), b);
    KorvRun r = korv({ "decrypt", "-r", "-q", "--to", path("out"), tree() });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out + r.err, "");
    EXPECT_EQ(readFile(path("out/d/a.kr")), a);
    EXPECT_EQ(readFile(path("out/b.txt")), b);

    r = korv({ "crypt", "-r", tree() });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("korv: " + tree("d/a.kr") + ": already crypted"), std::string::npos) << r.err;
    EXPECT_EQ(readFile(tree("d/a.kr")), qtCrypted(a));
    EXPECT_EQ(readFile(tree("b.txt")), qtCrypted(b));

    r = korv({ "crypt", "--again", "-v", "-o", path("twice"), tree("b.txt") });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind(tree("b.txt") + " -> " + path("twice") + ": crypted", 0), 0u) << r.out;
    EXPECT_EQ(readFile(path("twice")), qtCrypted(qtCrypted(b)));

    // In place a plain file is left alone and counted as skipped.
    writeFile(tree("plain"), "p");
    r = korv({ "decrypt", "-r", tree() });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(readFile(tree("d/a.kr")), a);
    EXPECT_EQ(readFile(tree("plain")), "p");
    EXPECT_NE(r.err.find("2 files decrypted, 1 skipped, 0 failed"), std::string::npos) << r.err;
}

TEST_F(Korv, AFailedFileIsNamedOnStderrAndTheOthersAreStillDone)
{
    writeFile(tree("good.kr"), qtCrypted("good"));
    writeFile(tree("bad.kr"), qtCrypted(textContent(10000)).substr(0, 50));
    writeFile(path("exists"), "keep me");
    ::mkdir(tree("dir").c_str(), 0755);
    const KorvRun r
        = korv({ "decrypt", "-j", "1", tree("missing"), tree("bad.kr"), tree("dir"), tree("good.kr") });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(readFile(tree("good.kr")), "good");
    EXPECT_EQ(readFile(tree("bad.kr")), qtCrypted(textContent(10000)).substr(0, 50));
    const std::vector<std::string> err = lines(r.err);
    ASSERT_EQ(err.size(), 4u) << r.err; // three failures, then the summary
    EXPECT_EQ(err[0], "korv: " + tree("dir") + ": is a directory (use -r to walk it)");
    EXPECT_EQ(err[1].rfind("korv: " + tree("missing") + ": ", 0), 0u);
    EXPECT_EQ(err[2].rfind("korv: " + tree("bad.kr") + ": ", 0), 0u);

    // An existing result is replaced only with -f.
    const KorvRun refused = korv({ "decrypt", "-o", path("exists"), tree("good.kr") });
    EXPECT_EQ(refused.status, 1);
    EXPECT_EQ(readFile(path("exists")), "keep me");
    EXPECT_EQ(korv({ "decrypt", "-f", "-o", path("exists"), tree("good.kr") }).status, 0);
    EXPECT_EQ(readFile(path("exists")), "good");
}

// decrypt and test name the same damage with the same words, said once.
TEST_F(Korv, DecryptAndTestNameDamageOnce)
{
    const std::string good = qtCrypted(textContent(1 << 20));
    std::string adler = good;
    adler.back() ^= 1;
    const std::pair<std::string, std::string> files[]
        = { { "truncated.kr", "corrupt data: the compressed stream ends early" },
              { "adler.kr", "corrupt data: the Adler-32 checksum does not match" } };
    writeFile(tree("truncated.kr"), good.substr(0, good.size() / 2));
    writeFile(tree("adler.kr"), adler);
    for (const auto& [name, message] : files) {
        for (const std::vector<std::string>& args :
            std::vector<std::vector<std::string>> { { "decrypt", "-o", path("out"), tree(name) }, { "test", tree(name) } }) {
            const KorvRun r = korv(args);
            EXPECT_EQ(r.status, 1) << args[0] << " " << name;
            ASSERT_FALSE(lines(r.err).empty()) << args[0] << " " << name;
            EXPECT_EQ(lines(r.err)[0], "korv: " + tree(name) + ": " + message) << args[0];
        }
    }
}

TEST_F(Korv, InfoJsonParsesBackAndNamesThatAreNotUtf8SurviveAsEscapes)
{
    writeFile(tree("c\xff.kr"), withStoredLength(qtCrypted(textContent(4000)), 4000));
    writeFile(tree("p.txt"), "plain text");
    const KorvRun r = korv({ "info", "--json", "-j", "2", tree("c\xff.kr"), tree("p.txt") });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    const std::vector<std::string> out = lines(r.out);
    ASSERT_EQ(out.size(), 3u) << r.out; // in argument order whatever -j does, then the summary
    EXPECT_EQ(out[2].rfind("{\"summary\":true,\"command\":\"info\",\"files\":2,", 0), 0u) << out[2];
    EXPECT_NE(out[0].find("\"path\":\"" + tree("c") + "\\udcff.kr\""), std::string::npos) << out[0];
    QJsonParseError error;
    const QJsonObject c = QJsonDocument::fromJson(QByteArray::fromStdString(out[0]), &error).object();
    ASSERT_EQ(error.error, QJsonParseError::NoError) << out[0];
    EXPECT_TRUE(c["crypted"].toBool());
    EXPECT_EQ(c["stored_size"].toInteger(), 4000);
    EXPECT_EQ(c["file_size"].toInteger(), qint64(readFile(tree("c\xff.kr")).size()));
    EXPECT_NEAR(c["ratio"].toDouble(), double(readFile(tree("c\xff.kr")).size()) / 4000, 1e-4);
    const QJsonObject p = QJsonDocument::fromJson(QByteArray::fromStdString(out[1])).object();
    EXPECT_EQ(p["path"].toString().toStdString(), tree("p.txt"));
    EXPECT_FALSE(p["crypted"].toBool());
    EXPECT_TRUE(p["stored_size"].isNull());
    EXPECT_EQ(p["file_size"].toInteger(), 10);
}

// Links inside a tree are not followed (a loop cannot trap the walk), FIFOs
// are never opened, and names are bytes.
TEST_F(Korv, RecursiveWalksSkipLinksAndFifosAndKeepBytesOfNames)
{
    ::mkdir(tree("sub\xe9").c_str(), 0755);
    writeFile(tree("sub\xe9/f\x80"), "content");
    ASSERT_EQ(::symlink("..", tree("sub\xe9/loop").c_str()), 0);
    ASSERT_EQ(::mkfifo(tree("fifo").c_str(), 0644), 0);
    KorvRun r = korv({ "crypt", "-r", tree() });
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(readFile(tree("sub\xe9/f\x80")), qtCrypted("content"));
    EXPECT_NE(r.err.find(tree("sub\xe9/loop") + ": symbolic link, skipped"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(tree("fifo") + ": not a regular file, skipped"), std::string::npos);
    EXPECT_EQ(listDirectory(tree("sub\xe9")), (std::vector<std::string> { "f\x80", "loop" }));
    r = korv({ "decrypt", "-r", "-q", "--to", path("out\xfe"), tree() });
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(readFile(path("out\xfe/sub\xe9/f\x80")), "content");
}

// SIGINT or SIGTERM mid-batch: every file is its old or its new content,
// nothing is left beside them, and the status says which signal it was.
TEST_F(Korv, AnInterruptedBatchLeavesEveryFileWhole)
{
    const std::string content = textContent(3 << 20) + noiseContent(1 << 20);
    const std::string crypted = qtCrypted(content);
    const int files = 40;
    for (const int signal : { SIGINT, SIGTERM }) {
        for (int i = 0; i < files; ++i)
            writeFile(tree("f" + std::to_string(i)), content);
        const pid_t pid = start({ "crypt", "-r", "-j", "2", tree() }, _out, _err);
        // Signal only once a new file stands beside the others: korv is then
        // mid-batch with its handlers in place, however slowly it started.
        for (int waited = 0; waited < 2000 && listDirectory(tree()).size() == std::size_t(files); ++waited)
            ::usleep(10000);
        ::kill(pid, signal);
        EXPECT_EQ(waitFor(pid), 128 + signal);
        EXPECT_NE(readFile(_err).find("korv: interrupted: "), std::string::npos) << readFile(_err);
        int done = 0;
        for (int i = 0; i < files; ++i) {
            const std::string now = readFile(tree("f" + std::to_string(i)));
            EXPECT_TRUE(now == crypted || now == content) << "f" << i;
            done += now == crypted;
        }
        EXPECT_LT(done, files);
        EXPECT_EQ(listDirectory(tree()).size(), std::size_t(files));
    }
}

TEST_F(Korv, CatStreamsFilesAndStandardInputAndStopsAtDamage)
{
    const std::string plain = textContent(3 << 20);
    writeFile(tree("a.kr"), qtCrypted(plain));
    writeFile(tree("p"), "plain\n");
    KorvRun r = korv({ "cat", tree("a.kr"), "-", tree("p") }, tree("a.kr"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "");
    EXPECT_TRUE(r.out == plain + plain + "plain\n");

    const std::string crypted = qtCrypted(plain);
    writeFile(tree("cut.kr"), crypted.substr(0, crypted.size() / 2));
    r = korv({ "cat", tree("cut.kr") });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("korv: " + tree("cut.kr") + ": ", 0), 0u) << r.err;
    EXPECT_GT(r.out.size(), 0u);
    EXPECT_EQ(plain.compare(0, r.out.size(), r.out), 0) << "the bytes before the damage are the content";
}

// `korv cat big | head`, `korv crypt -v -r | head`: the reader leaving is
// no error, and a batch stops with every file whole.
TEST_F(Korv, AReaderThatLeavesEndsCatAndBatchesQuietly)
{
    const auto intoClosedPipe = [&](const std::vector<std::string>& args) {
        int fds[2];
        EXPECT_EQ(::pipe2(fds, O_CLOEXEC), 0);
        const pid_t pid = start(args, "/dev/fd/" + std::to_string(fds[1]), _err);
        ::close(fds[1]);
        char buffer[100];
        EXPECT_EQ(::read(fds[0], buffer, sizeof buffer), ssize_t(sizeof buffer));
        ::close(fds[0]);
        return waitFor(pid);
    };
    writeFile(path("big.kr"), qtCrypted(textContent(20 << 20)));
    int status = intoClosedPipe({ "cat", path("big.kr") });
    EXPECT_TRUE(status == 0 || status == 141) << status;
    EXPECT_EQ(readFile(_err), "");

    // More report lines than a pipe holds, so korv is still writing.
    const std::string name(200, 'n');
    for (int i = 0; i < 400; ++i)
        writeFile(tree(name + std::to_string(i)), "content");
    EXPECT_EQ(intoClosedPipe({ "crypt", "-r", "-v", "-j", "2", tree() }), 141);
    EXPECT_EQ(readFile(_err), "");
    EXPECT_EQ(listDirectory(tree()).size(), 400u);
    for (int i = 0; i < 400; ++i) {
        const std::string now = readFile(tree(name + std::to_string(i)));
        EXPECT_TRUE(now == "content" || now == qtCrypted("content")) << i;
    }
}

TEST_F(Korv, TestNamesBadFilesAndWarnsAboutAWrongStoredLength)
{
    const std::string crypted = qtCrypted(textContent(100000));
    writeFile(tree("good.kr"), crypted);
    writeFile(tree("long.kr"), withStoredLength(crypted, 5));
    std::string flipped = crypted;
    flipped[flipped.size() - 2] ^= 1; // the Adler-32
    writeFile(tree("bad.kr"), flipped);
    writeFile(tree("plain"), "plain");
    const KorvRun r = korv({ "test", "-r", "-q", tree() });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    const std::vector<std::string> err = lines(r.err);
    ASSERT_EQ(err.size(), 1u) << r.err;
    EXPECT_EQ(err[0].rfind("korv: " + tree("bad.kr") + ": ", 0), 0u);
    const KorvRun warned = korv({ "test", tree("long.kr") });
    EXPECT_EQ(warned.status, 0);
    EXPECT_NE(warned.err.find(tree("long.kr") + ": warning: stored length 5"), std::string::npos)
        << warned.err;
}

TEST_F(Korv, ChecksumsAreAddedVerifiedAndStripped)
{
    writeFile(tree("a"), "123456789");
    writeFile(tree("b"), "abc");
    EXPECT_EQ(korv({ "checksum", "add", "-r", tree() }).status, 0);
    EXPECT_EQ(readFile(tree("a")), "123456789" + fromHex("906e"));
    KorvRun r = korv({ "checksum", "verify", "-v", tree("a"), tree("b") });
    if (r.err.find("not available yet") != std::string::npos)
        GTEST_SKIP() << "the library linked here cannot verify a trailer yet";
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, tree("a") + ": checksum OK\n" + tree("b") + ": checksum OK\n");
    writeFile(tree("b"), "abd" + readFile(tree("b")).substr(3));
    const std::string damaged = readFile(tree("b"));
    r = korv({ "checksum", "verify", tree("a"), tree("b") });
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.rfind("korv: " + tree("b") + ": ", 0), 0u) << r.err;
    EXPECT_EQ(korv({ "checksum", "strip", tree("a"), tree("b") }).status, 1);
    EXPECT_EQ(readFile(tree("a")), "123456789");
    EXPECT_EQ(readFile(tree("b")), damaged);
}

// The JSON lines of a run: the objects for files, then the summary.
struct JsonRun {
    std::map<std::string, QJsonObject> files; // by path
    std::vector<QJsonObject> summaries;
    std::size_t lines = 0;
};

JsonRun parseJson(const std::string& out)
{
    JsonRun run;
    for (const std::string& line : lines(out)) {
        QJsonParseError error;
        const QJsonObject o = QJsonDocument::fromJson(QByteArray::fromStdString(line), &error).object();
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line;
        ++run.lines;
        if (o["summary"].toBool())
            run.summaries.push_back(o);
        else
            run.files[o["path"].toString().toStdString()] = o;
    }
    return run;
}

// Under --to a listed name keeps its path (without the leading slash).
std::string listedTarget(const std::string& out, const std::string& name)
{
    return out + name;
}

// Lists from find: any byte but NUL in a name, one run, one summary; a missing
// name fails alone and is named once.
TEST_F(Korv, ListedNamesAreArgumentsTakenAsBytes)
{
    const std::vector<std::string> names { tree("new\nline.kr"), tree("not utf8 \xff.kr"), tree("sub/c.kr") };
    ::mkdir(tree("sub").c_str(), 0755);
    std::string list0;
    for (const std::string& name : names) {
        writeFile(name, qtCrypted("content of " + name));
        list0 += name + '\0';
    }
    list0 += tree("missing") + '\0';
    writeFile(path("list0"), list0);
    KorvRun r = korv({ "decrypt", "-j", "2", "--files0-from=-", "--to", path("out") }, path("list0"));
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err.find(tree("missing")), r.err.rfind(tree("missing"))) << r.err;
    EXPECT_NE(r.err.find("korv: " + tree("missing") + ": "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("3 files decrypted, 0 skipped, 1 failed"), std::string::npos) << r.err;
    for (const std::string& name : names)
        EXPECT_EQ(readFile(listedTarget(path("out"), name)), "content of " + name) << name;

    // One name a line, blank lines ignored; a listed directory needs -r.
    writeFile(path("list"), "\n" + names[2] + "\n\n" + tree("sub") + "\n");
    r = korv({ "test", "--files-from", path("list") });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(tree("sub") + ": is a directory (use -r to walk it)"), std::string::npos) << r.err;
    EXPECT_EQ(korv({ "test", "-r", "--files-from", path("list") }).status, 0);

    // A list that cannot be read is a usage error, before any file is touched.
    for (const std::string& list : { path("no list"), tree("sub") }) {
        r = korv({ "crypt", tree("sub/c.kr"), "--again", "--files-from", list });
        EXPECT_EQ(r.status, 2) << list;
        EXPECT_NE(r.err.find("korv: cannot read the list " + list + ": "), std::string::npos) << r.err;
    }
    EXPECT_EQ(readFile(tree("sub/c.kr")), qtCrypted("content of " + names[2]));
    EXPECT_EQ(korv({ "cat", "--files0-from", path("list0") }).out.find("content of " + names[0]), 0u);
}

// Every command reports each file and one summary as JSON lines: a damaged
// file is found by its path with the library's code for the failure.
TEST_F(Korv, JsonLinesNameEachFileAndItsFailure)
{
    const std::string crypted = qtCrypted(textContent(50000));
    std::string damaged = crypted;
    damaged[damaged.size() - 2] ^= 1; // the Adler-32
    writeFile(tree("good.kr"), crypted);
    writeFile(tree("bad\xfe.kr"), damaged);
    writeFile(tree("plain"), "plain text");
    const auto expectSummary = [](const JsonRun& run, int files, int done, int skipped, int failed) {
        ASSERT_EQ(run.summaries.size(), 1u);
        const QJsonObject& s = run.summaries[0];
        EXPECT_EQ(run.files.size() + 1, run.lines) << "one line per file";
        EXPECT_EQ(s["files"].toInt(), files);
        EXPECT_EQ(s["done"].toInt(), done);
        EXPECT_EQ(s["skipped"].toInt(), skipped);
        EXPECT_EQ(s["failed"].toInt(), failed);
        EXPECT_EQ(s["status"].toInt(), failed ? 1 : 0);
    };
    const std::string bad = tree("bad") + "\xfe.kr";
    const QString badJson = QString::fromStdString(tree("bad")) + QChar(0xdcfe) + ".kr";

    KorvRun r = korv({ "decrypt", "--json", "-q", "-r", "--to", path("out"), tree() });
    EXPECT_EQ(r.status, 1);
    JsonRun run = parseJson(r.out);
    expectSummary(run, 3, 2, 0, 1);
    QJsonObject good = run.files[tree("good.kr")];
    EXPECT_EQ(good["command"].toString(), "decrypt");
    EXPECT_EQ(good["result"].toString(), "done");
    EXPECT_EQ(good["bytes_in"].toInteger(), qint64(crypted.size()));
    EXPECT_EQ(good["bytes_out"].toInteger(), 50000);
    EXPECT_EQ(good["target"].toString().toStdString(), path("out/good.kr"));
    EXPECT_NE(r.out.find("\"path\":\"" + tree("bad") + "\\udcfe.kr\""), std::string::npos) << r.out;
    EXPECT_EQ(run.summaries[0]["command"].toString(), "decrypt");

    r = korv({ "test", "--json", "-r", tree() });
    run = parseJson(r.out);
    expectSummary(run, 3, 1, 1, 1);
    EXPECT_EQ(run.files[badJson.toStdString()]["error"].toString(), "corrupt");
    EXPECT_FALSE(run.files[badJson.toStdString()]["message"].toString().isEmpty());
    EXPECT_EQ(run.files[tree("plain")]["result"].toString(), "skipped");
    EXPECT_EQ(run.files[tree("good.kr")]["bytes_out"].toInteger(), 50000);

    ::unlink(bad.c_str()); // the trailer calls cannot change a name that is not UTF-8
    EXPECT_EQ(korv({ "checksum", "add", "-r", tree() }).status, 0);
    writeFile(tree("plain"), "plain texT" + readFile(tree("plain")).substr(10));
    r = korv({ "checksum", "verify", "--json", "-r", tree() });
    if (r.err.find("not available yet") != std::string::npos)
        GTEST_SKIP() << "the library linked here cannot verify a trailer yet";
    run = parseJson(r.out);
    expectSummary(run, 2, 1, 0, 1);
    EXPECT_EQ(run.files[tree("plain")]["command"].toString(), "checksum verify");
    EXPECT_EQ(run.files[tree("plain")]["error"].toString(), "checksum_mismatch");
    EXPECT_EQ(run.files[tree("good.kr")]["result"].toString(), "done");

    // info keeps its fields first, as they always were.
    r = korv({ "info", "--json", tree("plain") });
    EXPECT_EQ(r.out.rfind("{\"path\":\"" + tree("plain")
                  + "\",\"crypted\":false,\"file_size\":12,\"stored_size\":null,\"ratio\":null,\"command\":\"info\"",
                  0),
        0u)
        << r.out;
}

// The script `korv --completion bash` writes (and the build installs) completes
// commands and options in bash as readline would ask it to.
TEST_F(Korv, BashCompletesCommandsAndOptions)
{
    const KorvRun r = shell("source <(\"$KORV\" --completion bash) || exit 9\n"
                            "try() { COMP_WORDS=(korv \"$@\"); COMP_CWORD=$#; _korv; echo \"${COMPREPLY[*]}\"; }\n"
                            "try dec; try decrypt --fi; try checksum v; try -d --ag\n");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "decrypt\n--files-from --files0-from\nverify\n\n") << r.err;
    EXPECT_EQ(korv({ "--completion", "tcsh" }).status, 2);
}

// GNU parallel splitting one list over four local workers: their JSON lines
// add up to the whole tree, and the one damaged file is reported once.
TEST_F(Korv, SharesOfAListAddUpToTheWholeTree)
{
    if (std::system("parallel --version >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "GNU parallel is not installed (scripts/install-deps.sh installs it)";
    const int files = 60;
    for (int i = 0; i < files; ++i) {
        ::mkdir(tree("d" + std::to_string(i % 7)).c_str(), 0755);
        writeFile(tree("d" + std::to_string(i % 7) + "/f" + std::to_string(i)), qtCrypted(std::to_string(i)));
    }
    writeFile(tree("d3/f3"), qtCrypted("3").substr(0, 8));
    const KorvRun r = shell("cd '" + tree() + "' && find . -type f -print0 | parallel --will-cite --pipe --recend '\\0' "
        "-N 7 -j 4 \"$KORV\" decrypt --json -q -j 1 --files0-from=- --to '" + path("out") + "'");
    EXPECT_EQ(r.status, 1) << "parallel counts the one worker that failed: " << r.err;
    const JsonRun run = parseJson(r.out);
    EXPECT_EQ(run.files.size(), std::size_t(files));
    EXPECT_EQ(run.files.size() + run.summaries.size(), run.lines) << "each file once";
    EXPECT_GE(run.summaries.size(), 8u);
    int done = 0, failed = 0, counted = 0;
    for (const QJsonObject& s : run.summaries) {
        done += s["done"].toInt();
        failed += s["failed"].toInt();
        counted += s["files"].toInt();
    }
    EXPECT_EQ(counted, files);
    EXPECT_EQ(done, files - 1);
    EXPECT_EQ(failed, 1);
    EXPECT_EQ(run.files.at("./d3/f3")["error"].toString(), "corrupt");
    EXPECT_EQ(readFile(path("out/d5/f5")), "5");
}

namespace {

// The system calls korv makes per small file, from strace -c over two trees
// of different sizes (what start-up and the end cost cancels out); -1 when
// strace cannot run.
double callsPerFile(const std::function<KorvRun(const std::string&)>& run, const std::string& root,
    const std::function<std::vector<std::string>(const std::string& dir)>& args)
{
    long totals[2] = { 0, 0 };
    const int sizes[2] = { 20, 60 };
    for (int t = 0; t < 2; ++t) {
        const std::string dir = root + "/tree" + std::to_string(sizes[t]);
        ::mkdir(dir.c_str(), 0755);
        for (int i = 0; i < sizes[t]; ++i)
            writeFile(dir + "/f" + std::to_string(i), qtCrypted(textContent(3000, unsigned(i))));
        std::string script = "strace -f -c -o " + root + "/counts \"$KORV\"";
        for (const std::string& a : args(dir))
            script += " '" + a + "'";
        const KorvRun r = run(script);
        if (r.status != 0)
            return -1;
        // The last line: "100.00 seconds usecs/call calls errors total".
        const std::vector<std::string> summary = lines(readFile(root + "/counts"));
        if (summary.empty())
            return -1;
        std::istringstream last(summary.back());
        std::string percent, seconds, perCall;
        last >> percent >> seconds >> perCall >> totals[t];
    }
    return double(totals[1] - totals[0]) / (sizes[1] - sizes[0]);
}

} // namespace

// Each fact about a file is asked once: a small file costs a fixed handful
// of system calls, in place (durable) and to a new directory.
TEST_F(Korv, SmallFilesCostAFewSystemCallsEach)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime makes system calls of its own";
#endif
    if (shell("command -v strace && strace -f -o /dev/null true").status != 0)
        GTEST_SKIP() << "strace is not available (scripts/install-deps.sh installs it)";
    const auto run = [this](const std::string& script) { return shell(script); };
    const double inPlace = callsPerFile(run, tree(), [](const std::string& dir) {
        return std::vector<std::string> { "decrypt", "-q", "-j", "1", "-r", dir };
    });
    ::mkdir(path("new").c_str(), 0755);
    const double toNewDir = callsPerFile(run, path("new"), [this](const std::string& dir) {
        return std::vector<std::string> { "decrypt", "-q", "-j", "1", "-r", "--to", dir + ".out", dir };
    });
    EXPECT_GT(inPlace, 5);
    // A fraction above the whole number is the directory's sync and the
    // batch's syncfs, once per batch; where syncfs is not trusted (tmpfs,
    // overlayfs), each file syncs its own.
    const bool grouped = readFile(tree() + "/counts").find(" syncfs") != std::string::npos;
    EXPECT_LE(inPlace, grouped ? 11.1 : 12.1);
    EXPECT_LE(toNewDir, 10.1);
    std::printf("system calls per small file: in place %.2f, to a new directory %.2f\n", inPlace, toNewDir);
}

// syncfs stands in for the files' own syncs only where it flushes as they
// do; on tmpfs, as on FUSE or FAT, each file syncs its own.
TEST_F(Korv, FilesSyncTheirOwnWhereTheFileSystemsSyncIsNotTrusted)
{
    struct statfs fs;
    if (::statfs("/dev/shm", &fs) != 0 || fs.f_type != TMPFS_MAGIC)
        GTEST_SKIP() << "no tmpfs at /dev/shm";
    if (shell("command -v strace && strace -f -o /dev/null true").status != 0)
        GTEST_SKIP() << "strace is not available (scripts/install-deps.sh installs it)";
    char dir[] = "/dev/shm/korv-test-XXXXXX";
    ASSERT_NE(::mkdtemp(dir), nullptr);
    constexpr int kFiles = 8;
    for (int i = 0; i < kFiles; ++i)
        writeFile(std::string(dir) + "/f" + std::to_string(i), qtCrypted("content " + std::to_string(i)));
    // LeakSanitizer cannot work under strace: a sanitized korv goes without.
    const KorvRun r = shell("ASAN_OPTIONS=$ASAN_OPTIONS:detect_leaks=0 strace -f -e trace=syncfs,fdatasync -o "
        + path("trace") + " \"$KORV\" decrypt -q -r -j 1 " + dir + "; status=$?; rm -rf " + dir + "; exit $status");
    ASSERT_EQ(r.status, 0) << r.err;
    const std::string trace = readFile(path("trace"));
    EXPECT_EQ(trace.find("syncfs("), std::string::npos) << trace;
    int syncs = 0;
    for (std::size_t at = trace.find("fdatasync("); at != std::string::npos; at = trace.find("fdatasync(", at + 1))
        ++syncs;
    EXPECT_GE(syncs, kFiles) << trace;
}

// Files waiting for their commit hold descriptors: many jobs under a low
// limit must wait for each other's commits, not fail with EMFILE.
TEST_F(Korv, ManyJobsUnderALowDescriptorLimitConvertEveryFile)
{
    constexpr int kFiles = 300;
    for (int i = 0; i < kFiles; ++i)
        writeFile(tree("f" + std::to_string(i)), qtCrypted("content " + std::to_string(i)));
    const KorvRun r = shell("ulimit -n 100 && exec \"$KORV\" decrypt -r -j 8 " + tree());
    EXPECT_EQ(r.status, 0) << r.err.substr(0, 500);
    for (int i = 0; i < kFiles; i += 37)
        EXPECT_EQ(readFile(tree("f" + std::to_string(i))), "content " + std::to_string(i));
    EXPECT_NE(r.err.find(std::to_string(kFiles) + " files decrypted, 0 skipped, 0 failed"), std::string::npos)
        << r.err.substr(0, 500);
}

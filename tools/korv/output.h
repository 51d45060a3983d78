// Everything korv writes: messages on stderr, reports on stdout in the order
// of the files, the progress line, all as whole lines under one lock.
#pragma once

#include <KFsError.h>

#include <cstddef>
#include <map>
#include <mutex>
#include <string>

namespace korv {

class Output {
public:
    static Output& instance();

    void setQuiet(bool quiet) { _quiet = quiet; }
    bool quiet() const { return _quiet; }

    // "korv: <path>: <reason>" on stderr; printed even with -q.
    void error(const std::string& path, const std::string& reason);
    // The same form for a note (a skipped file, a warning); silenced by -q.
    void note(const std::string& path, const std::string& reason);
    // "korv: <text>" on stderr, silenced by -q.
    void message(const std::string& text);

    // Reports on stdout come out in the order of the files whatever order
    // the jobs finish in: job `index` hands its text (possibly empty) once.
    void resetOrder();
    void report(std::size_t index, const std::string& text);
    // Text for stdout now (headers, the data of cat).
    void data(const std::string& text);

    // The progress line: drawn only when stderr is a terminal, wiped before
    // any other line goes to stderr and at the end.
    bool progressAllowed() const;
    void drawProgress(const std::string& line);
    void clearProgress();

    // True once a write to stdout found the reader gone (EPIPE).
    bool stdoutClosed() const { return _stdoutClosed; }

private:
    void writeStderr(const std::string& text);
    void writeStdout(const std::string& text);

    std::mutex _mutex;
    bool _quiet = false;
    bool _progressShown = false;
    bool _stdoutClosed = false;
    std::size_t _nextReport = 0;
    std::map<std::size_t, std::string> _waiting;
};

// Writes all of [data, data+size) to fd, retrying short writes and EINTR.
// False on failure, errno set.
bool writeAll(int fd, const char* data, std::size_t size);

// A path as a JSON string. Bytes that are not UTF-8 become "\udcXX", the
// escape Python's surrogateescape uses, so os.fsencode() gives the name back.
std::string jsonString(const std::string& bytes);

// The failure codes of the JSON reports: the library's, named
// ("not_found", "corrupt", ...), and errno values mapped onto them.
const char* errorCode(KFsErrorCode code);
const char* errorCode(int error);

// "1.5 MB", "320 kB", "12 B".
std::string humanBytes(double bytes);

} // namespace korv

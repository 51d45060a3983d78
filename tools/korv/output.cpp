// Whole lines on stdout and stderr under one lock, in file order for reports.
#include "output.h"

#include "jobs.h"
#include "sysinfo.h"

#include <cerrno>
#include <cstdio>
#include <unistd.h>

namespace korv {

Output& Output::instance()
{
    static Output output;
    return output;
}

bool writeAll(int fd, const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= std::size_t(n);
    }
    return true;
}

void Output::writeStderr(const std::string& text)
{
    if (_progressShown) {
        writeAll(STDERR_FILENO, "\r\033[K", 4);
        _progressShown = false;
    }
    writeAll(STDERR_FILENO, text.data(), text.size());
}

void Output::writeStdout(const std::string& text)
{
    if (_stdoutClosed || text.empty())
        return;
    if (!writeAll(STDOUT_FILENO, text.data(), text.size()) && errno == EPIPE) {
        // The reader is gone (SIGPIPE ignored by whoever started us): stop
        // the work quietly, as a killed pipeline member would.
        _stdoutClosed = true;
        requestStop(kBrokenPipeStatus);
    }
}

void Output::error(const std::string& path, const std::string& reason)
{
    std::lock_guard<std::mutex> lock(_mutex);
    writeStderr("korv: " + path + ": " + reason + "\n");
}

void Output::note(const std::string& path, const std::string& reason)
{
    if (_quiet)
        return;
    error(path, reason);
}

void Output::message(const std::string& text)
{
    if (_quiet)
        return;
    std::lock_guard<std::mutex> lock(_mutex);
    writeStderr("korv: " + text + "\n");
}

void Output::resetOrder()
{
    std::lock_guard<std::mutex> lock(_mutex);
    _nextReport = 0;
    _waiting.clear();
}

void Output::report(std::size_t index, const std::string& text)
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (index != _nextReport) {
        _waiting.emplace(index, text);
        return;
    }
    writeStdout(text);
    ++_nextReport;
    for (auto it = _waiting.begin(); it != _waiting.end() && it->first == _nextReport;
         it = _waiting.erase(it), ++_nextReport)
        writeStdout(it->second);
}

void Output::data(const std::string& text)
{
    std::lock_guard<std::mutex> lock(_mutex);
    writeStdout(text);
}

bool Output::progressAllowed() const
{
    return !_quiet && stderrIsTerminal();
}

void Output::drawProgress(const std::string& line)
{
    std::lock_guard<std::mutex> lock(_mutex);
    const std::string text = "\r" + line + "\033[K";
    writeAll(STDERR_FILENO, text.data(), text.size());
    _progressShown = true;
}

void Output::clearProgress()
{
    std::lock_guard<std::mutex> lock(_mutex);
    if (_progressShown) {
        writeAll(STDERR_FILENO, "\r\033[K", 4);
        _progressShown = false;
    }
}

namespace {

// Length of the valid UTF-8 sequence at s[i], 0 when there is none.
std::size_t utf8Length(const std::string& s, std::size_t i)
{
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char c = byte(i);
    std::size_t n;
    unsigned min;
    unsigned value;
    if (c < 0x80)
        return 1;
    if ((c & 0xE0) == 0xC0)
        n = 2, min = 0x80, value = c & 0x1F;
    else if ((c & 0xF0) == 0xE0)
        n = 3, min = 0x800, value = c & 0x0F;
    else if ((c & 0xF8) == 0xF0)
        n = 4, min = 0x10000, value = c & 0x07;
    else
        return 0;
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; ++k) {
        if ((byte(i + k) & 0xC0) != 0x80)
            return 0;
        value = (value << 6) | (byte(i + k) & 0x3F);
    }
    // Over-long forms, surrogates and values beyond Unicode are not UTF-8.
    if (value < min || (value >= 0xD800 && value <= 0xDFFF) || value > 0x10FFFF)
        return 0;
    return n;
}

} // namespace

std::string jsonString(const std::string& bytes)
{
    std::string out = "\"";
    char escape[8];
    for (std::size_t i = 0; i < bytes.size();) {
        const unsigned char c = static_cast<unsigned char>(bytes[i]);
        const std::size_t n = utf8Length(bytes, i);
        if (n == 0) {
            std::snprintf(escape, sizeof escape, "\\udc%02x", c);
            out += escape;
            ++i;
            continue;
        }
        if (c == '"' || c == '\\') {
            out += '\\';
            out += char(c);
        } else if (c < 0x20) {
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out.append(bytes, i, n);
        }
        i += n;
    }
    return out + "\"";
}

const char* errorCode(KFsErrorCode code)
{
    switch (code) {
    case KFsErrorCode::None:
        return "none";
    case KFsErrorCode::NotFound:
        return "not_found";
    case KFsErrorCode::PermissionDenied:
        return "permission_denied";
    case KFsErrorCode::NotRegularFile:
        return "not_regular_file";
    case KFsErrorCode::Corrupt:
        return "corrupt";
    case KFsErrorCode::ChecksumMismatch:
        return "checksum_mismatch";
    case KFsErrorCode::NoSpace:
        return "no_space";
    case KFsErrorCode::TooLarge:
        return "too_large";
    case KFsErrorCode::Cancelled:
        return "cancelled";
    case KFsErrorCode::Exists:
        return "exists";
    case KFsErrorCode::IoError:
        break;
    }
    return "io_error";
}

const char* errorCode(int error)
{
    switch (error) {
    case ENOENT:
    case ENOTDIR:
        return errorCode(KFsErrorCode::NotFound);
    case EACCES:
    case EPERM:
        return errorCode(KFsErrorCode::PermissionDenied);
    case EISDIR:
        return errorCode(KFsErrorCode::NotRegularFile);
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
        return errorCode(KFsErrorCode::NoSpace);
    default:
        return errorCode(KFsErrorCode::IoError);
    }
}

std::string humanBytes(double bytes)
{
    static const char* const units[] = { "B", "kB", "MB", "GB", "TB" };
    int unit = 0;
    while (bytes >= 1000 && unit < 4) {
        bytes /= 1000;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", bytes, units[unit]);
    return text;
}

} // namespace korv

// Reading a list of names in pieces, so that a long one is held only as the
// batch it becomes.
#include "names.h"

#include "files.h"

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace korv {

Names::Names(const std::vector<std::string>& arguments, const std::string& listFile, char separator)
    : _arguments(arguments)
    , _listFile(listFile)
    , _separator(separator)
{
    _end = listFile.empty();
}

Names::~Names()
{
    if (_fd > STDIN_FILENO)
        closeDescriptor(_fd);
}

bool Names::fill()
{
    if (_fd < 0) {
        FileStatus st;
        _fd = _listFile == "-" ? STDIN_FILENO : openDescriptor(_listFile, true, st);
        if (_fd < 0) {
            _error = std::strerror(st.error);
            return false;
        }
    }
    _buffer.erase(0, _start);
    _start = 0;
    char chunk[64 << 10];
    for (;;) {
        const ssize_t n = ::read(_fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            _error = std::strerror(errno);
            return false;
        }
        if (n == 0)
            _end = true;
        _buffer.append(chunk, std::size_t(n));
        return true;
    }
}

bool Names::next(std::string& name, bool& listed)
{
    if (_nextArgument < _arguments.size()) {
        name = _arguments[_nextArgument++];
        listed = false;
        return true;
    }
    listed = true;
    for (;;) {
        if (!_error.empty())
            return false;
        const std::size_t stop = _buffer.find(_separator, _start);
        if (stop != std::string::npos || (_end && _start < _buffer.size())) {
            const std::size_t length = (stop == std::string::npos ? _buffer.size() : stop) - _start;
            name.assign(_buffer, _start, length);
            _start += length + 1;
            // Empty names (a blank line, a closing separator) name no file.
            if (!name.empty())
                return true;
            continue;
        }
        if (_end || !fill())
            return false;
    }
}

std::string listedRelative(const std::string& name)
{
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= name.size()) {
        std::size_t slash = name.find('/', start);
        if (slash == std::string::npos)
            slash = name.size();
        const std::string part = name.substr(start, slash - start);
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        start = slash + 1;
    }
    std::string relative;
    for (const std::string& part : parts)
        relative += (relative.empty() ? "" : "/") + part;
    return relative;
}

} // namespace korv

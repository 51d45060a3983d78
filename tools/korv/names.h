// The names a batch works on: the arguments, then those of a list file
// (--files-from, --files0-from), read as it goes rather than all at once.
#pragma once

#include <string>
#include <vector>

namespace korv {

class Names {
public:
    // `listFile` empty: the arguments only; "-": the list is standard input.
    Names(const std::vector<std::string>& arguments, const std::string& listFile, char separator);
    ~Names();
    Names(const Names&) = delete;
    Names& operator=(const Names&) = delete;

    // The next name, its bytes as given; `listed` when it came from the
    // list. False at the end, or when the list cannot be read (error()).
    bool next(std::string& name, bool& listed);
    // Why the list could not be read; empty while it could.
    const std::string& error() const { return _error; }

private:
    bool fill();

    const std::vector<std::string>& _arguments;
    std::size_t _nextArgument = 0;
    const std::string _listFile;
    const char _separator;
    int _fd = -1;
    bool _end = false;
    std::string _buffer;
    std::size_t _start = 0;
    std::string _error;
};

// Where a listed name lands under --to: its own path, without leading
// slashes and with "." and ".." resolved inside it, so that it stays under
// the directory and two listed files with one base name do not meet.
std::string listedRelative(const std::string& name);

} // namespace korv

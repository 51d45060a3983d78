// CFileSystem: the stream on a working copy, shared between copies of the
// object and written back into the crypted file when the last holder closes.
#include "CFileSystem.h"

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <utility>

#include "KFsCryptedFile.h"
#include "platform_p.h"

struct CFileSystem::Stream {
    std::atomic<int> holders { 1 };
    std::FILE* file = nullptr;
    // Owns the working copy: close() crypts it back for a writing mode and
    // removes it for a reading one where it could not go at open.
    std::unique_ptr<KFsCryptedFile> handle;
    bool writes = false;
    bool reads = false;
    // A write to the working copy failed, though rewind() has since cleared
    // the error indicator that said so: the copy is not crypted back.
    bool lost = false;
    // A read on a write-only stream or a write on a read-only one. The C
    // runtimes disagree on these (one returns a byte that was never in the
    // file and writes it back later), so they never reach the stream.
    bool misused = false;

    bool refuse()
    {
        misused = true;
        errno = EBADF;
        return false;
    }
    bool canRead() { return reads || refuse(); }
    bool canWrite() { return writes || refuse(); }
};

namespace {

bool modeWrites(const char* mode)
{
    return mode[0] == 'w' || mode[0] == 'a' || std::strchr(mode, '+') != nullptr;
}

bool modeReads(const char* mode)
{
    return mode[0] == 'r' || std::strchr(mode, '+') != nullptr;
}

} // namespace

CFileSystem::CFileSystem()
    : _stream(nullptr)
{
}

CFileSystem::CFileSystem(const CFileSystem& other)
    : _stream(other._stream)
{
    if (_stream)
        _stream->holders.fetch_add(1, std::memory_order_relaxed);
}

CFileSystem& CFileSystem::operator=(const CFileSystem& other)
{
    if (_stream == other._stream)
        return *this;
    Stream* shared = other._stream;
    if (shared)
        shared->holders.fetch_add(1, std::memory_order_relaxed);
    close();
    _stream = shared;
    return *this;
}

CFileSystem::~CFileSystem()
{
    close();
}

int CFileSystem::open(const char* path, const char* mode)
{
    close();
    if (!path || !mode)
        return 1;
    // "r+" on a missing file fails as fopen would, without a working copy.
    const bool writes = modeWrites(mode) && (mode[0] != 'r' || korv::platform::exists(path));
    auto handle = std::make_unique<KFsCryptedFile>(path, writes ? KFsWrite : KFsRead);
    const std::string& copy = handle->getDecryptedFilePath();
    // Without a working copy there is nothing to open: never the file itself.
    std::FILE* file = copy.empty() || copy == path ? nullptr : std::fopen(copy.c_str(), mode);
    if (!file) {
        handle->finish(false);
        return 1;
    }
    // A reading mode needs no copy on disk once the stream is open; where
    // an open file cannot be removed (Windows) close() removes it.
    if (!writes)
        korv::platform::removeFile(copy);
    _stream = new Stream;
    _stream->file = file;
    _stream->handle = std::move(handle);
    _stream->writes = modeWrites(mode);
    _stream->reads = modeReads(mode);
    return 0;
}

int CFileSystem::close()
{
    Stream* stream = std::exchange(_stream, nullptr);
    if (!stream || stream->holders.fetch_sub(1, std::memory_order_acq_rel) != 1)
        return 0;
    const bool failedBefore = std::ferror(stream->file) != 0 || stream->misused || stream->lost;
    int result = std::fclose(stream->file);
    // A working copy that missed a write is not crypted back over the file.
    const bool complete = result == 0 && !failedBefore;
    if (stream->writes) {
        if (!stream->handle->finish(complete) || !complete)
            result = EOF;
    } else {
        stream->handle->finish(false);
    }
    delete stream;
    return result;
}

unsigned CFileSystem::read(void* buffer, unsigned size, unsigned count)
{
    return _stream && _stream->canRead()
        ? static_cast<unsigned>(std::fread(buffer, size, count, _stream->file))
        : 0;
}

unsigned CFileSystem::write(const void* data, unsigned size, unsigned count)
{
    return _stream && _stream->canWrite()
        ? static_cast<unsigned>(std::fwrite(data, size, count, _stream->file))
        : 0;
}

char* CFileSystem::gets(char* buffer, int size)
{
    return _stream && _stream->canRead() ? std::fgets(buffer, size, _stream->file) : nullptr;
}

int CFileSystem::puts(const char* text)
{
    return _stream && _stream->canWrite() ? std::fputs(text, _stream->file) : EOF;
}

int CFileSystem::getc()
{
    return _stream && _stream->canRead() ? std::fgetc(_stream->file) : EOF;
}

int CFileSystem::putc(int c)
{
    return _stream && _stream->canWrite() ? std::fputc(c, _stream->file) : EOF;
}

int CFileSystem::flush()
{
    return _stream ? std::fflush(_stream->file) : EOF;
}

int CFileSystem::seek(long offset, int origin)
{
    return _stream ? std::fseek(_stream->file, offset, origin) : -1;
}

long CFileSystem::tell()
{
    return _stream ? std::ftell(_stream->file) : -1L;
}

void CFileSystem::rewind()
{
    if (!_stream)
        return;
    // Clears the error indicator, as rewind does for the stream's own. A
    // write that failed, before or in the flush rewind makes without telling,
    // is still missing from the working copy.
    _stream->misused = false;
    if (_stream->writes && (std::fflush(_stream->file) != 0 || std::ferror(_stream->file) != 0))
        _stream->lost = true;
    std::rewind(_stream->file);
}

int CFileSystem::eof()
{
    return _stream ? std::feof(_stream->file) : 0;
}

int CFileSystem::error()
{
    if (!_stream)
        return 0;
    return _stream->misused ? 1 : std::ferror(_stream->file);
}

// KFsCryptedFile: the exported transforms and the working-copy handle with
// its process-wide list of working copies still to be removed.
#include "KFsCryptedFile.h"

#include <QMutexLocker>

#include "cancel_p.h"
#include "error_p.h"
#include "platform_p.h"
#include "outputfile_p.h"
#include "transforms_p.h"

std::vector<std::string> KFsCryptedFile::_unremovedFiles;
QMutex KFsCryptedFile::_unremovedFilesMutex;

bool KFsCryptedFile::crypt(const std::string& target, const std::string& source)
{
    return korv::cryptFile(target, source);
}

bool KFsCryptedFile::decrypt(const std::string& source, const std::string& target, bool* crypted)
{
    return korv::decryptFile(source, target, crypted);
}

bool KFsCryptedFile::crypt(const std::string& target, const std::string& source, KFsError* error)
{
    korv::error::begin();
    const bool ok = korv::cryptFile(target, source);
    return korv::error::report(ok, error, source, target);
}

bool KFsCryptedFile::decrypt(
    const std::string& source, const std::string& target, bool* crypted, KFsError* error)
{
    korv::error::begin();
    const bool ok = korv::decryptFile(source, target, crypted);
    return korv::error::report(ok, error, source, target);
}

void KFsCryptedFile::setCancelFlag(const std::atomic<bool>* flag)
{
    korv::setCancelFlag(flag);
}

KFsCryptedFile::KFsCryptedFile(const std::string& filePath, KFsOpenMode openMode)
    : _crypted(true)
    , _filePath(filePath)
    , _openMode(openMode)
{
    namespace platform = korv::platform;
    if (openMode == KFsRead && !platform::exists(filePath)) {
        _decryptedFilePath = filePath;
        return;
    }
    platform::OutputFile copy;
    if (!copy.createWorkingCopy())
        return;
    if (korv::decryptFile(_filePath, copy, &_crypted)) {
        _decryptedFilePath = copy.path();
        return;
    }
    // A file that does not exist yet starts empty. One that exists but cannot
    // be read, or is corrupt, is refused: an empty copy crypted back would
    // destroy it, and reading one would report its content as empty.
    if (openMode != KFsRead && !platform::exists(filePath)) {
        _decryptedFilePath = copy.path();
        return;
    }
    platform::removeFile(copy.path());
}

KFsCryptedFile::KFsCryptedFile(const KFsCryptedFile& other) = default;

KFsCryptedFile& KFsCryptedFile::operator=(const KFsCryptedFile& other)
{
    if (this == &other)
        return *this;
    // The working copy held so far would otherwise be forgotten on disk.
    if (_decryptedFilePath != other._decryptedFilePath)
        finish(true);
    _crypted = other._crypted;
    _filePath = other._filePath;
    _decryptedFilePath = other._decryptedFilePath;
    _openMode = other._openMode;
    return *this;
}

KFsCryptedFile::~KFsCryptedFile()
{
    finish(true);
}

const std::string& KFsCryptedFile::getDecryptedFilePath()
{
    return _decryptedFilePath;
}

bool KFsCryptedFile::finish(bool writeBack)
{
    namespace platform = korv::platform;
    const bool hasCopy = !_decryptedFilePath.empty() && _decryptedFilePath != _filePath;
    bool written = true;
    if (hasCopy && writeBack && _openMode == KFsWrite) {
        // The working copy is removed below, so the new content must be on
        // disk before it replaces the file and becomes the only copy.
        written = korv::cryptFile(
            _filePath, _decryptedFilePath, platform::WriteMode::Replace, korv::Sync::Always);
    }

    QMutexLocker lock(&_unremovedFilesMutex);
    // An entry whose file is gone is dropped too: kept, it could one day
    // remove another handle's working copy that got the same name.
    for (auto it = _unremovedFiles.begin(); it != _unremovedFiles.end();) {
        if (platform::removeFile(*it) != platform::RemoveResult::Failed)
            it = _unremovedFiles.erase(it);
        else
            ++it;
    }
    // A working copy whose write-back failed holds the only copy of its
    // content: it stays. A copy that is already gone (removed through another
    // copy of this handle) needs no entry.
    if (hasCopy && written && platform::removeFile(_decryptedFilePath) == platform::RemoveResult::Failed)
        _unremovedFiles.push_back(_decryptedFilePath);
    lock.unlock();

    if (hasCopy)
        _decryptedFilePath.clear();
    return written;
}

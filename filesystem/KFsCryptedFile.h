// KFsCryptedFile: conversion of whole files between plain and crypted form.
//
// A crypted file is the two bytes "kr", the length of the plain content as a
// 32-bit big-endian number, and one zlib stream of the whole plain content
// (exactly what qCompress makes). Any file without the marker is plain.
#pragma once

#include <string>

#include "korvfilesystem_export.h"

// Tells a crypted-file handle whether its working copy is crypted back.
enum KFsOpenMode : int { KFsRead = 0, KFsWrite = 1 };

class KORVFILESYSTEM_EXPORT KFsCryptedFile {
public:
    // Writes the crypted form of the plain file `source` to `target`,
    // creating missing directories and replacing an existing (even read-only)
    // target atomically. `source` is not examined for a marker: crypting a
    // crypted file wraps it again. source == target crypts in place.
    // Returns false, with every existing file unchanged, when the source
    // cannot be read, is not a regular file, is 4 GiB or larger, or the
    // target cannot be written. Thread-safe (no shared state).
    static bool crypt(const std::string& target, const std::string& source);

    // Writes the plain content of `source` to `target`: a crypted source is
    // decompressed, a plain one (no marker) copied byte for byte.
    // source == target decrypts in place. Missing directories are created and
    // an existing target is replaced atomically and left writable. When
    // `crypted` is not null it receives true for a crypted source, false for
    // a plain one; it is untouched on failure. Returns false, with every
    // existing file unchanged, when the source cannot be read or is not a
    // regular file, a crypted source is corrupt or truncated, or the target
    // cannot be written. Thread-safe (no shared state).
    static bool decrypt(const std::string& source, const std::string& target,
                        bool* crypted = nullptr);
};

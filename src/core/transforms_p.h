// The whole-file transforms behind KFsCryptedFile::crypt and ::decrypt, with
// the choice of how the target is written. Internal: not installed.
#pragma once

#include <string>

#include "platform_p.h"
#include "outputfile_p.h"

namespace korv {

// When new content replacing a file is flushed to disk before the rename:
// only when it replaces its own source, or always (the caller is about to
// drop the only other copy).
enum class Sync { InPlace, Always };

enum class Operation { Crypt, Decrypt };

// A conversion whose new content is complete but has not replaced its
// target yet. Dropped uncommitted, the new content is removed and a target
// made writable for it is made read-only again: every file as it was.
struct PendingConversion {
    PendingConversion() = default;
    ~PendingConversion();
    PendingConversion(const PendingConversion&) = delete;
    PendingConversion& operator=(const PendingConversion&) = delete;

    platform::OutputFile out;
    std::string target;
    bool inPlace = false; // the target is the source itself
    bool crypted = false; // decrypt: the source was crypted (else copied)
    bool committed = false;
    bool wasReadOnly = false;
    // Made for the target, from the top down: their entries in their parents
    // are as new as the target's.
    std::vector<std::string> madeDirectories;
};

// What a caller converting many files hands each conversion.
struct ConversionContext {
    // What new files get in each directory, learnt as they are made.
    platform::NewFileFacts* newFiles = nullptr;
    // False: a target other than the source that exists fails the
    // conversion (EEXIST), before anything is written and at the rename.
    bool replaceExisting = true;
};

// Converts source into new content for target, leaving target untouched
// (a plain source to decrypt is copied at once: nothing to commit then).
// False, the failure noted, with every existing file as it was.
bool prepareConversion(Operation operation, const std::string& source, const std::string& target,
    PendingConversion& p, platform::WriteMode mode = platform::WriteMode::Replace,
    const ConversionContext& context = {});
// Replaces the target with the new content, synced first when sync is set.
// A synced rename is made durable as well: its directory is synced here, or,
// when directoryToSync is given, named there for the caller to sync once.
bool commitConversion(PendingConversion& p, bool sync, std::string* directoryToSync = nullptr);

bool cryptFile(const std::string& target, const std::string& source,
    platform::WriteMode mode = platform::WriteMode::Replace, Sync sync = Sync::InPlace);

bool decryptFile(const std::string& source, const std::string& target, bool* crypted,
    platform::WriteMode mode = platform::WriteMode::Replace);

// Decrypts (or copies) source into a working copy already created; commits
// it when the whole content is there, else leaves it for the caller to drop.
bool decryptFile(const std::string& source, platform::OutputFile& workingCopy, bool* crypted);

} // namespace korv

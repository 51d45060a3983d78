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

bool cryptFile(const std::string& target, const std::string& source,
    platform::WriteMode mode = platform::WriteMode::Replace, Sync sync = Sync::InPlace);

bool decryptFile(const std::string& source, const std::string& target, bool* crypted,
    platform::WriteMode mode = platform::WriteMode::Replace);

// Decrypts (or copies) source into a working copy already created; commits
// it when the whole content is there, else leaves it for the caller to drop.
bool decryptFile(const std::string& source, platform::OutputFile& workingCopy, bool* crypted);

} // namespace korv

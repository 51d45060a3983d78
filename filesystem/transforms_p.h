// The whole-file transforms behind KFsCryptedFile::crypt and ::decrypt, with
// the choice of how the target is written. Internal: not installed.
#pragma once

#include <string>

#include "platform_p.h"

namespace korv {

bool cryptFile(const std::string& target, const std::string& source,
    platform::WriteMode mode = platform::WriteMode::Replace);

bool decryptFile(const std::string& source, const std::string& target, bool* crypted,
    platform::WriteMode mode = platform::WriteMode::Replace);

} // namespace korv

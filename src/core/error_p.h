// Why a whole-file call failed: noted where the failure is seen, turned into
// the caller's KFsError in one place. Internal: not installed.
#pragma once

#include <cstdint>
#include <string>

#include "KFsError.h"

namespace korv::error {

// The file a failure concerns.
enum class File { Source, Target };

// The code and the message of a platform error (platform::lastError()).
KFsErrorCode codeOf(int platformError);
QString messageOf(int platformError);

// The message of damaged crypted data: "corrupt data: " and what the decoder
// found. The one place that words it, for the whole-file calls and the device.
QString corruptMessage(const char* what);

// Starts a call on this thread: forgets earlier failures, the platform's too.
void begin();
// Notes that the call fails on file for the reason the platform recorded
// (platform::lastError()). Returns false, for `return systemFailure(...)`.
bool systemFailure(File file);
// The same for a reason the library found in the platform's terms (EEXIST).
bool systemFailure(File file, int platformError);
// Notes a failure the library itself found. Returns false.
bool failure(File file, KFsErrorCode code, const char* message, std::int64_t offset = -1);

// Fills *error (when not null) with the outcome of the call: code None when
// ok, else the failure noted last, naming source or target. Returns ok.
bool report(bool ok, KFsError* error, const QString& source, const QString& target);
// The same for paths as the system's 8-bit text, as the whole-file calls take them.
bool report(bool ok, KFsError* error, const std::string& source, const std::string& target);

} // namespace korv::error

// How a crypted source is read and which decoder runs on it, decided in one
// place for the whole-file calls. Internal: not installed.
#pragma once

#include "bytesink_p.h"
#include "cryptedformat_p.h"
#include "inputfile_p.h"

namespace korv {

// Loads a crypted source whose header was parsed: a small one is read whole;
// a large one whose content the fast decoder finishes well within the
// kernel's lease-break time is mapped under a read lease; any other is left
// to be read a piece at a time while it is decoded. False, the failure
// noted, when a small source cannot be read.
bool loadCryptedSource(platform::InputFile& in, const format::Header& header);

// What decoding a loaded source came to.
struct DecodeOutcome {
    format::DecodeResult result = format::DecodeResult::NeedsStreaming;
    format::Damage damage; // for Corrupt, offset from the start of the file
    bool readFailed = false; // the source could not be read to its end
};

// Decodes the block of a source loaded as above (header is its parsed
// header) into out. A leased source
// runs the fast decoder alone; a block that needs more, and a source in no
// memory at all, is decoded by the streaming decoder as it is read. The
// source is given back (closed) before this returns.
DecodeOutcome decodeCryptedSource(platform::InputFile& in, const format::Header& header, ByteSink& out);

} // namespace korv

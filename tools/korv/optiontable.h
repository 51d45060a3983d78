// korv's commands and options as data: --help, the parser and the shell
// completions all read these tables, so an option is described once.
#pragma once

#include "options.h"

#include <cstddef>

namespace korv {

using CommandMask = unsigned;
constexpr CommandMask maskOf(Command c)
{
    return 1u << unsigned(c);
}

struct CommandSpec {
    const char* name;
    Command command;
    const char* letter; // gzip's flag for the same job, or nullptr
    const char* summary;
};

enum class OptionId { Stdout, Again, Json, Output, To, Force, Keep, Recursive, Jobs, FilesFrom, Files0From, Quiet, Verbose, Help };
// What an option's value is, for the completions.
enum class ValueKind { None, Number, File, Directory };

struct OptionSpec {
    OptionId id;
    const char* letters; // short forms, "" for none
    const char* name; // the long form without "--"
    ValueKind value;
    const char* valueName; // "N", "DIR", ...; nullptr without a value
    CommandMask commands; // the commands that take it
    const char* help; // lines for --help; nullptr: accepted, not shown
};

extern const CommandSpec kCommands[];
extern const std::size_t kCommandCount;
extern const OptionSpec kOptions[];
extern const std::size_t kOptionCount;
extern const char* const kChecksumActions[3];

bool takes(const OptionSpec& option, Command command);

} // namespace korv

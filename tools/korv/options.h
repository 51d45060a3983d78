// The command line: the subcommand, its options and its paths, and the
// table of options that the help text, the parser and the shell
// completions are all made from.
#pragma once

#include <string>
#include <vector>

namespace korv {

enum class Command { None, Decrypt, Crypt, Cat, Test, Info, Checksum };
enum class ChecksumAction { None, Add, Verify, Strip };

struct Options {
    Command command = Command::None;
    ChecksumAction checksum = ChecksumAction::None;
    std::vector<std::string> paths;
    std::string listFile; // --files-from, --files0-from: more paths ("-": stdin)
    char listSeparator = '\n';
    std::string output; // -o: the one result's path
    std::string toDir; // --to: results under this directory
    std::string completion; // --completion: the shell to write a script for
    bool toStdout = false; // -c: decrypt to stdout, as cat
    bool recursive = false;
    bool quiet = false;
    bool verbose = false;
    bool keep = false;
    bool force = false;
    bool again = false;
    bool json = false;
    int jobs = 0; // 0: one per CPU
};

enum class Parsed { Run, Help, Version, Completion, UsageError };

// Fills `options` from argv; for UsageError, `error` says what was wrong.
Parsed parseOptions(int argc, char* argv[], Options& options, std::string& error);

// The --help text of `command` (Command::None: of korv itself).
std::string helpText(Command command);

// A completion script for `shell` (bash, zsh or fish); empty for others.
std::string completionScript(const std::string& shell);

// The name of the work in reports: "decrypt", "checksum verify".
std::string commandName(const Options& options);

} // namespace korv

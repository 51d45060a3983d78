// Option parsing as gzip users know it: bundled short flags (-rv), values
// attached or apart (-j4, -j 4, --jobs=4), "--" ending the options.
#include "options.h"

#include "optiontable.h"

#include <cstdlib>
#include <cstring>

namespace korv {

namespace {

constexpr CommandMask kWriting = maskOf(Command::Decrypt) | maskOf(Command::Crypt);
constexpr CommandMask kBatch = kWriting | maskOf(Command::Test) | maskOf(Command::Info) | maskOf(Command::Checksum);
constexpr CommandMask kAll = kBatch | maskOf(Command::Cat);

bool parseJobs(const std::string& text, int& jobs)
{
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 0 || n > 1024)
        return false;
    jobs = int(n);
    return true;
}

bool takesPaths(Command c)
{
    return c != Command::Cat;
}

class Parser {
public:
    Parser(int argc, char* argv[], Options& options, std::string& error)
        : _argc(argc)
        , _argv(argv)
        , _o(options)
        , _error(error)
    {
    }

    Parsed parse();

private:
    Parsed fail(const std::string& message)
    {
        _error = message;
        return Parsed::UsageError;
    }
    // The value of an option: the rest of this argument or the next one.
    bool value(int& i, const std::string& attached, std::string& out)
    {
        if (!attached.empty()) {
            out = attached;
            return true;
        }
        if (i + 1 >= _argc)
            return false;
        out = _argv[++i];
        return true;
    }
    const OptionSpec* find(char letter, const std::string& name) const;
    Parsed apply(const OptionSpec& option, const std::string& shown, const std::string& value);
    Parsed shortFlags(int& i, const std::string& arg);
    Parsed longOption(int& i, const std::string& arg);

    int _argc;
    char** _argv;
    Options& _o;
    std::string& _error;
};

const OptionSpec* Parser::find(char letter, const std::string& name) const
{
    for (std::size_t k = 0; k < kOptionCount; ++k) {
        const OptionSpec& option = kOptions[k];
        const bool named = letter ? std::strchr(option.letters, letter) != nullptr : name == option.name;
        if (named && takes(option, _o.command))
            return &option;
    }
    return nullptr;
}

Parsed Parser::apply(const OptionSpec& option, const std::string& shown, const std::string& v)
{
    switch (option.id) {
    case OptionId::Stdout:
        _o.toStdout = true;
        break;
    case OptionId::Again:
        _o.again = true;
        break;
    case OptionId::Json:
        _o.json = true;
        break;
    case OptionId::Output:
        _o.output = v;
        break;
    case OptionId::To:
        _o.toDir = v;
        break;
    case OptionId::Force:
        _o.force = true;
        break;
    case OptionId::Keep:
        _o.keep = true;
        break;
    case OptionId::Recursive:
        _o.recursive = true;
        break;
    case OptionId::Jobs:
        if (!parseJobs(v, _o.jobs))
            return fail(shown + " needs a number of jobs (0 for one per CPU)");
        break;
    case OptionId::FilesFrom:
    case OptionId::Files0From:
        if (!_o.listFile.empty())
            return fail("one list only (--files-from or --files0-from)");
        _o.listFile = v;
        _o.listSeparator = option.id == OptionId::FilesFrom ? '\n' : '\0';
        break;
    case OptionId::Quiet:
        _o.quiet = true;
        _o.verbose = false;
        break;
    case OptionId::Verbose:
        _o.verbose = true;
        _o.quiet = false;
        break;
    case OptionId::Help:
        return Parsed::Help;
    }
    return Parsed::Run;
}

Parsed Parser::shortFlags(int& i, const std::string& arg)
{
    for (std::size_t k = 1; k < arg.size(); ++k) {
        const char letter = arg[k];
        const OptionSpec* option = letter == 'h' ? &kOptions[kOptionCount - 1] : find(letter, "");
        if (!option)
            return fail(std::string("invalid option -- '") + letter + "'");
        const std::string shown = std::string("-") + letter;
        std::string v;
        if (option->value != ValueKind::None) {
            if (!value(i, arg.substr(k + 1), v) || v.empty())
                return fail(shown + " needs a " + (option->value == ValueKind::Number ? "number" : "path"));
            return apply(*option, shown, v);
        }
        const Parsed p = apply(*option, shown, v);
        if (p != Parsed::Run)
            return p;
    }
    return Parsed::Run;
}

Parsed Parser::longOption(int& i, const std::string& arg)
{
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const std::string attached = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    const OptionSpec* option = name == "help" ? &kOptions[kOptionCount - 1] : find(0, name);
    if (!option || (option->value == ValueKind::None && eq != std::string::npos))
        return fail("unrecognized option '" + arg + "'");
    const std::string shown = "--" + name;
    std::string v;
    if (option->value != ValueKind::None && (!value(i, attached, v) || v.empty()))
        return fail(shown + " needs a " + (option->value == ValueKind::Number ? "number" : "path"));
    return apply(*option, shown, v);
}

Parsed Parser::parse()
{
    if (_argc < 2)
        return fail("no command given");
    const std::string first = _argv[1];
    if (first == "--help" || first == "-h" || first == "help")
        return Parsed::Help;
    if (first == "--version" || first == "-V")
        return Parsed::Version;
    if (first.rfind("--completion", 0) == 0) {
        int i = 1;
        const std::size_t eq = first.find('=');
        if (first != "--completion" && eq != 12)
            return fail("unrecognized option '" + first + "'");
        if (!value(i, eq == std::string::npos ? "" : first.substr(eq + 1), _o.completion)
            || completionScript(_o.completion).empty())
            return fail("--completion needs bash, zsh or fish");
        return Parsed::Completion;
    }
    for (std::size_t k = 0; k < kCommandCount; ++k)
        if (first == kCommands[k].name || (kCommands[k].letter && first == kCommands[k].letter))
            _o.command = kCommands[k].command;
    if (_o.command == Command::None)
        return fail("unknown command '" + first + "'");

    int i = 2;
    if (_o.command == Command::Checksum) {
        const std::string action = i < _argc ? _argv[i] : "";
        if (action == "--help" || action == "-h")
            return Parsed::Help;
        for (int a = 0; a < 3; ++a)
            if (action == kChecksumActions[a])
                _o.checksum = ChecksumAction(a + 1);
        if (_o.checksum == ChecksumAction::None)
            return fail("checksum needs add, verify or strip");
        ++i;
    }

    bool optionsEnded = false;
    for (; i < _argc; ++i) {
        const std::string arg = _argv[i];
        if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
            _o.paths.push_back(arg);
            continue;
        }
        Parsed p;
        if (arg == "--")
            optionsEnded = true, p = Parsed::Run;
        else if (arg.compare(0, 2, "--") == 0)
            p = longOption(i, arg);
        else
            p = shortFlags(i, arg);
        if (p != Parsed::Run)
            return p;
    }

    const bool listed = !_o.listFile.empty();
    if (!_o.output.empty() && !_o.toDir.empty())
        return fail("-o and --to exclude each other");
    if (_o.toStdout && (!_o.output.empty() || !_o.toDir.empty()))
        return fail("-c writes to standard output: no -o or --to with it");
    if (_o.toStdout && _o.json)
        return fail("-c writes data to standard output: no --json with it");
    if (!_o.output.empty() && (_o.paths.size() != 1 || listed))
        return fail("-o takes exactly one input file");
    if (!_o.output.empty() && _o.recursive)
        return fail("-o takes one file; use --to DIR with -r");
    if (takesPaths(_o.command) && !_o.toStdout && _o.paths.empty() && !listed)
        return fail("no file given");
    return Parsed::Run;
}

// "  -j, -T, --jobs N  work on ..." with continuation lines under the text.
std::string optionLines(Command command)
{
    constexpr std::size_t column = 20;
    std::string text;
    for (std::size_t k = 0; k < kOptionCount; ++k) {
        const OptionSpec& option = kOptions[k];
        if (!option.help || !takes(option, command))
            continue;
        std::string left = "  ";
        for (const char* l = option.letters; *l; ++l)
            left += std::string("-") + *l + ", ";
        if (!*option.letters)
            left += "    ";
        left += std::string("--") + option.name;
        if (option.valueName)
            left += std::string(" ") + option.valueName;
        left += left.size() + 2 <= column ? std::string(column - left.size(), ' ')
                                          : "\n" + std::string(column, ' ');
        for (const char* h = option.help; *h; ++h) {
            left += *h;
            if (*h == '\n')
                left += std::string(column, ' ');
        }
        text += left + "\n";
    }
    return text;
}

} // namespace

const CommandSpec kCommands[] = {
    { "decrypt", Command::Decrypt, "-d", "write the plain content, in place or elsewhere" },
    { "crypt", Command::Crypt, nullptr, "crypt plain files, in place or elsewhere" },
    { "cat", Command::Cat, nullptr, "the plain content to standard output" },
    { "test", Command::Test, "-t", "check that crypted files decode completely" },
    { "info", Command::Info, "-l", "crypted or plain, sizes and ratio" },
    { "checksum", Command::Checksum, nullptr, "add, verify or strip a checksum trailer" },
};
const std::size_t kCommandCount = sizeof kCommands / sizeof kCommands[0];
const char* const kChecksumActions[3] = { "add", "verify", "strip" };

// In the order --help shows them; -h stays last (the parser finds it there).
const OptionSpec kOptions[] = {
    { OptionId::Stdout, "c", "stdout", ValueKind::None, nullptr, maskOf(Command::Decrypt),
        "write the plain content to standard output, as korv cat" },
    { OptionId::Again, "", "again", ValueKind::None, nullptr, maskOf(Command::Crypt),
        "crypt already crypted files once more (a second layer)" },
    { OptionId::Json, "", "json", ValueKind::None, nullptr, maskOf(Command::Info),
        "one JSON object per line: path, crypted, file_size,\n"
        "stored_size, ratio and the fields every command reports;\n"
        "a summary object last (see korv(1))" },
    { OptionId::Json, "", "json", ValueKind::None, nullptr, kBatch & ~maskOf(Command::Info),
        "JSON Lines on standard output: one object per file, a\n"
        "summary object last (see korv(1))" },
    { OptionId::Output, "o", "output", ValueKind::File, "OUT", kWriting, "write the one result to OUT" },
    { OptionId::To, "", "to", ValueKind::Directory, "DIR", kWriting,
        "write each result under DIR, at its path relative to the\n"
        "argument it was found under (a listed name: its own path)" },
    { OptionId::Force, "f", "force", ValueKind::None, nullptr, kWriting, "overwrite existing results (-o, --to)" },
    { OptionId::Keep, "k", "keep", ValueKind::None, nullptr, kWriting,
        "accepted for gzip habits: korv never removes an input" },
    { OptionId::Recursive, "r", "recursive", ValueKind::None, nullptr, kBatch,
        "walk directories (symbolic links in them are not followed;\n"
        "files that are not regular are skipped with a note)" },
    { OptionId::Jobs, "jT", "jobs", ValueKind::Number, "N", kBatch,
        "work on N files at once (default: one per CPU; 1: in turn)" },
    { OptionId::FilesFrom, "", "files-from", ValueKind::File, "FILE", kAll,
        "the paths in FILE too, one per line (-: standard input)" },
    { OptionId::Files0From, "", "files0-from", ValueKind::File, "FILE", kAll,
        "the same with names ended by NUL bytes (find -print0)" },
    { OptionId::Quiet, "q", "quiet", ValueKind::None, nullptr, kBatch,
        "no notes, warnings, progress line or summary" },
    { OptionId::Quiet, "q", "quiet", ValueKind::None, nullptr, maskOf(Command::Cat), "no messages but errors" },
    { OptionId::Verbose, "v", "verbose", ValueKind::None, nullptr, kBatch, "one line per file on standard output" },
    { OptionId::Verbose, "v", "verbose", ValueKind::None, nullptr, maskOf(Command::Cat), nullptr },
    { OptionId::Help, "h", "help", ValueKind::None, nullptr, kAll, "this text" },
};
const std::size_t kOptionCount = sizeof kOptions / sizeof kOptions[0];

bool takes(const OptionSpec& option, Command command)
{
    return (option.commands & maskOf(command)) != 0;
}

Parsed parseOptions(int argc, char* argv[], Options& options, std::string& error)
{
    return Parser(argc, argv, options, error).parse();
}

std::string commandName(const Options& options)
{
    for (std::size_t k = 0; k < kCommandCount; ++k)
        if (kCommands[k].command == options.command)
            return options.command != Command::Checksum
                ? kCommands[k].name
                : std::string(kCommands[k].name) + " " + kChecksumActions[int(options.checksum) - 1];
    return "";
}

std::string helpText(Command command)
{
    static const char* const status
        = "\nExit status: 0 all done, 1 a file failed, 2 usage error; 130/143 when\n"
          "interrupted by SIGINT/SIGTERM. See korv(1).\n";
    std::string intro;
    switch (command) {
    case Command::Decrypt:
        intro = "Usage: korv decrypt [-o OUT | --to DIR | -c] [-r] [OPTION]... PATH...\n"
                "Writes the plain content of crypted files: in place by default. A plain file\n"
                "is left alone in place (counted as skipped) and copied to a target.\n\n";
        break;
    case Command::Crypt:
        intro = "Usage: korv crypt [-o OUT | --to DIR] [-r] [--again] [OPTION]... PATH...\n"
                "Crypts plain files: in place by default. A file that is already crypted is\n"
                "skipped and reported.\n\n";
        break;
    case Command::Cat:
        intro = "Usage: korv cat [PATH | -]...\n"
                "Writes the plain content of each file to standard output: crypted files are\n"
                "decoded as they are read, plain ones passed through. No PATH or \"-\" reads\n"
                "standard input. Damaged data: the good bytes, then a message and status 1.\n\n";
        break;
    case Command::Test:
        intro = "Usage: korv test [-r] [OPTION]... PATH...\n"
                "Decodes every crypted file completely and checks it, writing nothing. One\n"
                "line on standard error per bad file; a stored length that differs from the\n"
                "content is a warning. Plain files are skipped.\n\n";
        break;
    case Command::Info:
        intro = "Usage: korv info [-r] [--json] [OPTION]... PATH...\n"
                "Per file: crypted or plain, file size, stored plain length, ratio (file size\n"
                "over plain length). Reads only the header: use korv test to check the data.\n\n";
        break;
    case Command::Checksum:
        intro = "Usage: korv checksum add|verify|strip [-r] [OPTION]... PATH...\n"
                "The 2-byte CRC-16 trailer: add appends it, verify checks it without changing\n"
                "the file, strip checks it and removes it.\n\n";
        break;
    case Command::None: {
        std::string commands;
        for (std::size_t k = 0; k < kCommandCount; ++k) {
            const CommandSpec& c = kCommands[k];
            commands += "  " + std::string(c.name) + std::string(10 - std::strlen(c.name), ' ') + c.summary
                + (c.letter ? std::string(" (") + c.letter + ")" : "") + "\n";
        }
        return "Usage: korv COMMAND [OPTION]... [PATH]...\n"
               "Works with crypted data files (the marker \"kr\", the plain length and one\n"
               "zlib stream), over whole trees and in parallel.\n\n"
               "Commands:\n"
            + commands + "\nkorv COMMAND --help describes each command.\n" + status;
    }
    }
    return intro + optionLines(command) + status;
}

} // namespace korv

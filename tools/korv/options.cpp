// Option parsing as gzip users know it: bundled short flags (-rv), values
// attached or apart (-j4, -j 4, --jobs=4), "--" ending the options.
#include "options.h"

#include <cstdlib>
#include <cstring>

namespace korv {

namespace {

struct CommandName {
    const char* name;
    Command command;
};

const CommandName kCommands[] = {
    { "decrypt", Command::Decrypt },
    { "crypt", Command::Crypt },
    { "cat", Command::Cat },
    { "test", Command::Test },
    { "info", Command::Info },
    { "checksum", Command::Checksum },
};

// gzip's letters for the same jobs, accepted in place of the subcommand.
Command commandFromFlag(const std::string& arg)
{
    if (arg == "-d")
        return Command::Decrypt;
    if (arg == "-t")
        return Command::Test;
    if (arg == "-l")
        return Command::Info;
    return Command::None;
}

bool parseJobs(const std::string& text, int& jobs)
{
    char* end = nullptr;
    const long n = std::strtol(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || n < 0 || n > 1024)
        return false;
    jobs = int(n);
    return true;
}

// Which options a subcommand takes; the others are usage errors.
bool takesPaths(Command c)
{
    return c != Command::Cat;
}
bool writesFiles(Command c)
{
    return c == Command::Decrypt || c == Command::Crypt;
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
    bool allowed(char flag) const;
    Parsed shortFlags(int& i, const std::string& arg);
    Parsed longOption(int& i, const std::string& arg);

    int _argc;
    char** _argv;
    Options& _o;
    std::string& _error;
};

bool Parser::allowed(char flag) const
{
    const Command c = _o.command;
    switch (flag) {
    case 'r':
    case 'j':
    case 'T':
        return takesPaths(c);
    case 'o':
    case 'k':
    case 'f':
        return writesFiles(c);
    case 'c':
        return c == Command::Decrypt;
    case 'q':
    case 'v':
        return true;
    default:
        return false;
    }
}

Parsed Parser::shortFlags(int& i, const std::string& arg)
{
    for (std::size_t k = 1; k < arg.size(); ++k) {
        const char flag = arg[k];
        if (flag == 'h')
            return Parsed::Help;
        if (!allowed(flag))
            return fail(std::string("invalid option -- '") + flag + "'");
        std::string v;
        switch (flag) {
        case 'r':
            _o.recursive = true;
            break;
        case 'q':
            _o.quiet = true;
            _o.verbose = false;
            break;
        case 'v':
            _o.verbose = true;
            _o.quiet = false;
            break;
        case 'k':
            _o.keep = true;
            break;
        case 'f':
            _o.force = true;
            break;
        case 'c':
            _o.toStdout = true;
            break;
        case 'j':
        case 'T':
            if (!value(i, arg.substr(k + 1), v) || !parseJobs(v, _o.jobs))
                return fail(std::string("-") + flag + " needs a number of jobs (0 for one per CPU)");
            return Parsed::Run;
        case 'o':
            if (!value(i, arg.substr(k + 1), _o.output) || _o.output.empty())
                return fail("-o needs a file name");
            return Parsed::Run;
        }
    }
    return Parsed::Run;
}

Parsed Parser::longOption(int& i, const std::string& arg)
{
    const std::size_t eq = arg.find('=');
    const std::string name = arg.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
    const std::string attached = eq == std::string::npos ? std::string() : arg.substr(eq + 1);
    const Command c = _o.command;
    const auto flag = [&](bool ok, bool& target) {
        if (!ok || eq != std::string::npos)
            return fail("unrecognized option '" + arg + "'");
        target = true;
        return Parsed::Run;
    };
    std::string v;
    if (name == "help")
        return Parsed::Help;
    if (name == "recursive")
        return flag(takesPaths(c), _o.recursive);
    if (name == "quiet") {
        _o.verbose = false;
        return flag(true, _o.quiet);
    }
    if (name == "verbose") {
        _o.quiet = false;
        return flag(true, _o.verbose);
    }
    if (name == "keep")
        return flag(writesFiles(c), _o.keep);
    if (name == "force")
        return flag(writesFiles(c), _o.force);
    if (name == "stdout")
        return flag(c == Command::Decrypt, _o.toStdout);
    if (name == "again")
        return flag(c == Command::Crypt, _o.again);
    if (name == "json")
        return flag(c == Command::Info, _o.json);
    if (name == "jobs" && takesPaths(c)) {
        if (!value(i, attached, v) || !parseJobs(v, _o.jobs))
            return fail("--jobs needs a number of jobs (0 for one per CPU)");
        return Parsed::Run;
    }
    if ((name == "to" || name == "output") && writesFiles(c)) {
        std::string& target = name == "to" ? _o.toDir : _o.output;
        if (!value(i, attached, target) || target.empty())
            return fail("--" + name + " needs a path");
        return Parsed::Run;
    }
    return fail("unrecognized option '" + arg + "'");
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
    _o.command = commandFromFlag(first);
    for (const CommandName& c : kCommands)
        if (first == c.name)
            _o.command = c.command;
    if (_o.command == Command::None)
        return fail("unknown command '" + first + "'");

    int i = 2;
    if (_o.command == Command::Checksum) {
        const std::string action = i < _argc ? _argv[i] : "";
        if (action == "--help" || action == "-h")
            return Parsed::Help;
        if (action == "add")
            _o.checksum = ChecksumAction::Add;
        else if (action == "verify")
            _o.checksum = ChecksumAction::Verify;
        else if (action == "strip")
            _o.checksum = ChecksumAction::Strip;
        else
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

    if (!_o.output.empty() && !_o.toDir.empty())
        return fail("-o and --to exclude each other");
    if (_o.toStdout && (!_o.output.empty() || !_o.toDir.empty()))
        return fail("-c writes to standard output: no -o or --to with it");
    if (!_o.output.empty() && _o.paths.size() != 1)
        return fail("-o takes exactly one input file");
    if (!_o.output.empty() && _o.recursive)
        return fail("-o takes one file; use --to DIR with -r");
    if (takesPaths(_o.command) && !_o.toStdout && _o.paths.empty())
        return fail("no file given");
    return Parsed::Run;
}

} // namespace

Parsed parseOptions(int argc, char* argv[], Options& options, std::string& error)
{
    return Parser(argc, argv, options, error).parse();
}

std::string helpText(Command command)
{
    static const char* const common
        = "  -r, --recursive   walk directories (symbolic links in them are not followed;\n"
          "                    files that are not regular are skipped with a note)\n"
          "  -j, -T, --jobs N  work on N files at once (default: one per CPU; 1: in turn)\n"
          "  -q, --quiet       no notes, warnings, progress line or summary\n"
          "  -v, --verbose     one line per file on standard output\n"
          "  -h, --help        this text\n";
    static const char* const targets
        = "  -o, --output OUT  write the one result to OUT\n"
          "      --to DIR      write each result under DIR, at its path relative to the\n"
          "                    argument it was found under\n"
          "  -f, --force       overwrite existing results (-o, --to)\n"
          "  -k, --keep        accepted for gzip habits: korv never removes an input\n";
    static const char* const status
        = "\nExit status: 0 all done, 1 a file failed, 2 usage error; 130/143 when\n"
          "interrupted by SIGINT/SIGTERM. See korv(1).\n";
    switch (command) {
    case Command::Decrypt:
        return std::string("Usage: korv decrypt [-o OUT | --to DIR | -c] [-r] [OPTION]... PATH...\n"
                           "Writes the plain content of crypted files: in place by default. A plain file\n"
                           "is left alone in place (counted as skipped) and copied to a target.\n\n"
                           "  -c, --stdout      write the plain content to standard output, as korv cat\n")
            + targets + common + status;
    case Command::Crypt:
        return std::string("Usage: korv crypt [-o OUT | --to DIR] [-r] [--again] [OPTION]... PATH...\n"
                           "Crypts plain files: in place by default. A file that is already crypted is\n"
                           "skipped and reported.\n\n"
                           "      --again       crypt already crypted files once more (a second layer)\n")
            + targets + common + status;
    case Command::Cat:
        return std::string("Usage: korv cat [PATH | -]...\n"
                           "Writes the plain content of each file to standard output: crypted files are\n"
                           "decoded as they are read, plain ones passed through. No PATH or \"-\" reads\n"
                           "standard input. Damaged data: the good bytes, then a message and status 1.\n\n"
                           "  -q, --quiet       no messages but errors\n"
                           "  -h, --help        this text\n")
            + status;
    case Command::Test:
        return std::string("Usage: korv test [-r] [OPTION]... PATH...\n"
                           "Decodes every crypted file completely and checks it, writing nothing. One\n"
                           "line on standard error per bad file; a stored length that differs from the\n"
                           "content is a warning. Plain files are skipped.\n\n")
            + common + status;
    case Command::Info:
        return std::string("Usage: korv info [-r] [--json] [OPTION]... PATH...\n"
                           "Per file: crypted or plain, file size, stored plain length, ratio (file size\n"
                           "over plain length). Reads only the header: use korv test to check the data.\n\n"
                           "      --json        one JSON object per line: path, crypted, file_size,\n"
                           "                    stored_size, ratio (see korv(1))\n")
            + common + status;
    case Command::Checksum:
        return std::string("Usage: korv checksum add|verify|strip [-r] [OPTION]... PATH...\n"
                           "The 2-byte CRC-16 trailer: add appends it, verify checks it without changing\n"
                           "the file, strip checks it and removes it.\n\n")
            + common + status;
    case Command::None:
        break;
    }
    return "Usage: korv COMMAND [OPTION]... [PATH]...\n"
           "Works with crypted data files (the marker \"kr\", the plain length and one\n"
           "zlib stream), over whole trees and in parallel.\n\n"
           "Commands:\n"
           "  decrypt   write the plain content, in place or elsewhere (-d)\n"
           "  crypt     crypt plain files, in place or elsewhere\n"
           "  cat       the plain content to standard output\n"
           "  test      check that crypted files decode completely (-t)\n"
           "  info      crypted or plain, sizes and ratio (-l)\n"
           "  checksum  add, verify or strip a checksum trailer\n\n"
           "korv COMMAND --help describes each command.\n"
        + std::string(status);
}

} // namespace korv

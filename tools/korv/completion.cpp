// Shell completions written from the option table, so that they offer what
// the parser takes: `korv --completion bash|zsh|fish`, also run at build time
// for the installed scripts.
#include "optiontable.h"

#include <string>

namespace korv {

namespace {

// The help of an option on one line, for a menu.
std::string oneLine(const char* help)
{
    std::string text = help;
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    return text;
}

// Inside single quotes: ' becomes '\''.
std::string quoted(const std::string& text)
{
    std::string out = "'";
    for (const char c : text)
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// The words that select a command: its name and gzip's letter.
std::string commandPattern(const CommandSpec& c, const char* separator)
{
    return std::string(c.name) + (c.letter ? separator + std::string(c.letter) : "");
}

std::string bash()
{
    std::string commands;
    std::string perCommand;
    std::string fileValues;
    std::string directoryValues;
    std::string numberValues;
    for (std::size_t k = 0; k < kOptionCount; ++k) {
        const OptionSpec& o = kOptions[k];
        std::string names = std::string("--") + o.name;
        for (const char* l = o.letters; *l; ++l)
            names += std::string("|-") + *l;
        std::string& list = o.value == ValueKind::File ? fileValues
            : o.value == ValueKind::Directory          ? directoryValues
                                                       : numberValues;
        if (o.value != ValueKind::None && list.find(names) == std::string::npos)
            list += (list.empty() ? "" : "|") + names;
    }
    for (std::size_t c = 0; c < kCommandCount; ++c) {
        const CommandSpec& command = kCommands[c];
        commands += std::string(c ? " " : "") + command.name;
        std::string words;
        for (std::size_t k = 0; k < kOptionCount; ++k) {
            const OptionSpec& o = kOptions[k];
            if (!o.help || !takes(o, command.command))
                continue;
            for (const char* l = o.letters; *l; ++l)
                words += std::string(" -") + *l;
            words += std::string(" --") + o.name;
        }
        perCommand += "        " + commandPattern(command, "|") + ") options='" + words.substr(1) + "' ;;\n";
    }
    std::string actions;
    for (const char* a : kChecksumActions)
        actions += std::string(actions.empty() ? "" : " ") + a;
    return "# bash completion for korv; written by `korv --completion bash`\n"
           "_korv()\n"
           "{\n"
           "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]} options\n"
           "    # --opt=value arrives as three words: --opt, = and the value.\n"
           "    if [[ $cur == = ]]; then\n"
           "        prev=${COMP_WORDS[COMP_CWORD-1]} cur=\n"
           "    elif [[ $prev == = ]]; then\n"
           "        prev=${COMP_WORDS[COMP_CWORD-2]}\n"
           "    fi\n"
           "    COMPREPLY=()\n"
           "    if ((COMP_CWORD == 1)); then\n"
           "        mapfile -t COMPREPLY < <(compgen -W '"
        + commands
        + " --help --version' -- \"$cur\")\n"
          "        return\n"
          "    fi\n"
          "    case ${COMP_WORDS[1]} in\n"
        + perCommand
        + "        *) return ;;\n"
          "    esac\n"
          "    if [[ ${COMP_WORDS[1]} == checksum ]] && ((COMP_CWORD == 2)); then\n"
          "        mapfile -t COMPREPLY < <(compgen -W '"
        + actions
        + "' -- \"$cur\")\n"
          "        return\n"
          "    fi\n"
          "    case $prev in\n"
          "        "
        + fileValues
        + ")\n"
          "            compopt -o filenames 2>/dev/null\n"
          "            mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
          "            return ;;\n"
          "        "
        + directoryValues
        + ")\n"
          "            compopt -o filenames 2>/dev/null\n"
          "            mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")\n"
          "            return ;;\n"
          "        "
        + numberValues
        + ") return ;;\n"
          "    esac\n"
          "    if [[ $cur == -* ]]; then\n"
          "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
          "        return\n"
          "    fi\n"
          "    compopt -o filenames 2>/dev/null\n"
          "    mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
          "}\n"
          "complete -F _korv korv\n";
}

// A zsh _arguments description: no brackets, colons or backslashes in it.
std::string zshText(const std::string& help)
{
    std::string out;
    for (const char c : help)
        if (c != '[' && c != ']' && c != ':' && c != '\\')
            out += c;
    return out;
}

std::string zshAction(ValueKind value)
{
    switch (value) {
    case ValueKind::File:
        return "_files";
    case ValueKind::Directory:
        return "_files -/";
    case ValueKind::Number:
        return " ";
    case ValueKind::None:
        break;
    }
    return "";
}

std::string zsh()
{
    std::string commands;
    std::string perCommand;
    for (std::size_t c = 0; c < kCommandCount; ++c) {
        const CommandSpec& command = kCommands[c];
        commands += "        " + quoted(std::string(command.name) + ":" + zshText(command.summary)) + "\n";
        std::string zshArguments;
        if (command.command == Command::Checksum) {
            std::string actions;
            for (const char* a : kChecksumActions)
                actions += std::string(actions.empty() ? "" : " ") + a;
            zshArguments += " '1:action:(" + actions + ")'";
        }
        for (std::size_t k = 0; k < kOptionCount; ++k) {
            const OptionSpec& o = kOptions[k];
            if (!o.help || !takes(o, command.command))
                continue;
            const std::string text = "[" + zshText(oneLine(o.help)) + "]";
            const std::string value
                = o.valueName ? ":" + zshText(o.valueName) + ":" + zshAction(o.value) : std::string();
            for (const char* l = o.letters; *l; ++l)
                zshArguments += " " + quoted(std::string("-") + *l + text + value);
            zshArguments += " " + quoted(std::string("--") + o.name + (o.valueName ? "=" : "") + text + value);
        }
        perCommand += "        " + commandPattern(command, "|") + ")\n            _arguments -s" + zshArguments
            + " '*:file:_files' ;;\n";
    }
    return "#compdef korv\n"
           "# zsh completion for korv; written by `korv --completion zsh`\n"
           "_korv() {\n"
           "    if ((CURRENT == 2)); then\n"
           "        local -a commands\n"
           "        commands=(\n"
        + commands
        + "        )\n"
          "        _describe command commands\n"
          "        return\n"
          "    fi\n"
          "    local command=$words[2]\n"
          "    shift words\n"
          "    ((CURRENT--))\n"
          "    case $command in\n"
        + perCommand
        + "    esac\n"
          "}\n"
          "_korv \"$@\"\n";
}

std::string fish()
{
    std::string text = "# fish completion for korv; written by `korv --completion fish`\n"
                       "complete -c korv -f -n __fish_use_subcommand -l help -d 'describe korv'\n"
                       "complete -c korv -f -n __fish_use_subcommand -l version -d 'the version'\n";
    for (std::size_t c = 0; c < kCommandCount; ++c) {
        const CommandSpec& command = kCommands[c];
        text += "complete -c korv -f -n __fish_use_subcommand -a " + std::string(command.name) + " -d "
            + quoted(command.summary) + "\n";
    }
    text += "complete -c korv -f -n '__fish_seen_subcommand_from checksum; and not __fish_seen_subcommand_from "
            "add verify strip' -a 'add verify strip'\n";
    for (std::size_t k = 0; k < kOptionCount; ++k) {
        const OptionSpec& o = kOptions[k];
        if (!o.help)
            continue;
        std::string commands;
        for (std::size_t c = 0; c < kCommandCount; ++c)
            if (takes(o, kCommands[c].command))
                commands += " " + commandPattern(kCommands[c], " ");
        text += "complete -c korv -n '__fish_seen_subcommand_from" + commands + "'";
        for (const char* l = o.letters; *l; ++l)
            text += std::string(" -s ") + *l;
        text += std::string(" -l ") + o.name;
        if (o.value == ValueKind::File)
            text += " -r -F";
        else if (o.value == ValueKind::Directory)
            text += " -x -a '(__fish_complete_directories)'";
        else if (o.value == ValueKind::Number)
            text += " -x";
        text += " -d " + quoted(oneLine(o.help)) + "\n";
    }
    return text;
}

} // namespace

std::string completionScript(const std::string& shell)
{
    if (shell == "bash")
        return bash();
    if (shell == "zsh")
        return zsh();
    if (shell == "fish")
        return fish();
    return "";
}

} // namespace korv

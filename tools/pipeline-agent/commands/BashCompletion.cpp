#include "commands/BashCompletion.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <map>
#include <string>
#include <vector>

namespace {

// Whether the script offers the option: one with a name (not a command's
// arguments) in a group that --help shows.
bool offered(const CLI::Option& option) {
    return option.nonpositional() && !option.get_group().empty() &&
           option.get_group() != "Testing";
}

// What the script completes an option's value with: file, group, command or
// other (nothing); empty for a flag.
std::string valueKind(const CLI::Option& option) {
    if (option.get_items_expected_min() == 0) return "";
    const std::string type = option.get_type_name();
    if (type == "GROUP") return "group";
    if (type == "CMD" || type == "COMMAND") return "command";
    if (type == "N" || type == "CONNINFO" || type == "CODEC") return "other";
    return "file";
}

// The names of the offered options of app, each with its dashes, but those
// among known; each is added to known.
std::vector<std::string> optionNames(const CLI::App& app, std::vector<std::string>& known) {
    std::vector<std::string> names;
    auto add = [&](const std::string& name) {
        if (std::find(known.begin(), known.end(), name) != known.end()) return;
        names.push_back(name);
        known.push_back(name);
    };
    for (const CLI::Option* option : app.get_options()) {
        if (!offered(*option)) continue;
        for (const std::string& name : option->get_lnames()) add("--" + name);
        for (const std::string& name : option->get_snames()) add("-" + name);
    }
    return names;
}

std::string joined(const std::vector<std::string>& words, const std::string& separator) {
    std::string text;
    for (const std::string& word : words) text += (text.empty() ? "" : separator) + word;
    return text;
}

// One `case` branch per kind of value that the offered options of app take,
// `--a|--b) echo file; return ;;`, each line after indent.
std::string valueBranches(const CLI::App& app, const std::string& indent) {
    std::map<std::string, std::vector<std::string>> byKind;
    for (const CLI::Option* option : app.get_options()) {
        const std::string kind = valueKind(*option);
        if (!offered(*option) || kind.empty()) continue;
        for (const std::string& name : option->get_lnames()) byKind[kind].push_back("--" + name);
    }
    std::string branches;
    for (const auto& [kind, names] : byKind) {
        branches += indent + joined(names, "|") + ") echo " + kind + "; return ;;\n";
    }
    return branches;
}

std::vector<const CLI::App*> commandsOf(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App*) { return true; });
}

// function_value COMMAND OPTION: the kind of value OPTION takes after
// COMMAND, the command's own options first, then the shared ones.
std::string valueFunction(const CLI::App& app, const std::string& function) {
    std::string commands;
    for (const CLI::App* command : commandsOf(app)) {
        const std::string branches = valueBranches(*command, "                ");
        if (branches.empty()) continue;
        commands += "        " + command->get_name() + ")\n            case $2 in\n" + branches +
                    "            esac ;;\n";
    }
    return "# The kind of value that option $2 takes after command $1 (empty before\n"
           "# the command): file, group, command or other; nothing for a flag.\n" +
           function + "_value() {\n    case $1 in\n" + commands + "    esac\n    case $2 in\n" +
           valueBranches(app, "        ") + "    esac\n}\n";
}

// What the completion function does before it offers options: it finds the
// command, and whether the word under the cursor is an option's value
// (--option VALUE, or --option=VALUE, which bash splits at the '='), which
// it completes by its kind.
std::string findContext(const std::string& function) {
    return R"(    local cur=${COMP_WORDS[COMP_CWORD]} command= kind= word i
    COMPREPLY=()
    for ((i = 1; i < COMP_CWORD; i++)); do
        word=${COMP_WORDS[i]}
        kind=
        case $word in
            -*) kind=$()" +
           function + R"(_value "$command" "$word") ;;
            *) [[ -z $command ]] && command=$word; continue ;;
        esac
        [[ -z $kind ]] && continue
        if [[ ${COMP_WORDS[i + 1]-} == = ]]; then
            i=$((i + 1))
            if ((i == COMP_CWORD)); then
                cur=
                break
            fi
        fi
        ((i + 1 == COMP_CWORD)) && break
        i=$((i + 1))
        kind=
    done
    case $kind in
        file) compopt -o filenames 2>/dev/null; mapfile -t COMPREPLY < <(compgen -f -- "$cur"); return ;;
        group) mapfile -t COMPREPLY < <(compgen -g -- "$cur"); return ;;
        command) mapfile -t COMPREPLY < <(compgen -c -- "$cur"); return ;;
        other) return ;;
    esac
)";
}

// The options (or, before a command, the commands) the function offers for
// the word under the cursor; a word that is no option is a file.
std::string offerWords(const CLI::App& app) {
    std::vector<std::string> shared;
    const std::string sharedNames = joined(optionNames(app, shared), " ");
    std::vector<std::string> names;
    std::string branches;
    for (const CLI::App* command : commandsOf(app)) {
        names.push_back(command->get_name());
        std::vector<std::string> known = shared;
        const std::vector<std::string> own = optionNames(*command, known);
        if (own.empty()) continue;
        branches += "        " + command->get_name() + ") options+=\" " + joined(own, " ") + "\" ;;\n";
    }
    return "    local options=\"" + sharedNames + "\"\n    case $command in\n" +
           "        \"\")\n"
           "            if [[ $cur != -* ]]; then\n"
           "                mapfile -t COMPREPLY < <(compgen -W \"" +
           joined(names, " ") +
           "\" -- \"$cur\")\n"
           "                return\n"
           "            fi ;;\n" +
           branches + R"(    esac
    if [[ $cur == -* ]]; then
        mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
    else
        compopt -o filenames 2>/dev/null
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
    fi
)";
}

}  // namespace

std::string bashCompletion(const CLI::App& app, const std::string& program) {
    std::string function = "_" + program;
    std::replace(function.begin(), function.end(), '-', '_');
    return "# bash completion for " + program +
           ": its commands, each command's options and the\n"
           "# shared ones, and the values of options that name a file, a group or a\n"
           "# command. Made by `" +
           program + " --completion bash` from the program's own command line.\n\n" +
           valueFunction(app, function) + "\n" + function + "() {\n" + findContext(function) +
           offerWords(app) + "}\ncomplete -F " + function + " " + program + "\n";
}

"""``morvent completion bash|zsh``: a shell completion script, made from the parser itself.

The script knows the commands, their options and the values some options
take (choices, files, folders, AWS profile names), as the argument parser
declares them, so it never lags behind the command line.  Install it with

    morvent completion bash > ~/.local/share/bash-completion/completions/morvent
    morvent completion zsh > "${fpath[1]}/_morvent"

The commands ``demo`` and ``sim`` parse their own arguments; their options
are taken from their parsers when the simulator can be imported.
"""

from __future__ import annotations

import argparse
import importlib
import os
import shlex
import sys
from collections.abc import Iterator
from dataclasses import dataclass

from morvent.cli.output import PROG, say

SHELLS = ("bash", "zsh")
#: Commands whose parser lives with the program they hand over to.
_OWN_PARSERS = {"demo": "morvent.sim.demo", "sim": "morvent.sim.standalone"}


def add_parser(commands: argparse._SubParsersAction) -> None:
    sub = commands.add_parser(
        "completion", help="print a completion script for bash or zsh",
        description="Print a completion script for bash or zsh. bash: "
                    f"`{PROG} completion bash > ~/.local/share/bash-completion/completions/"
                    f"{PROG}`; zsh: `{PROG} completion zsh > \"${{fpath[1]}}/_{PROG}\"`.")
    sub.add_argument("shell", choices=SHELLS, help="the shell")


def run(args: argparse.Namespace, parser: argparse.ArgumentParser) -> int:
    try:
        say(script(parser, args.shell))
    except BrokenPipeError:  # `morvent completion bash | head`: the reader has had enough
        devnull = os.open(os.devnull, os.O_WRONLY)
        os.dup2(devnull, sys.stdout.fileno())
    return 0


# -- what the parser declares -----------------------------------------------------------

@dataclass(frozen=True)
class Option:
    flags: tuple[str, ...]
    help: str
    #: What the option's value is: None (takes none), "file", "folder",
    #: "profile", "choice" or "text".
    value: str | None = None
    choices: tuple[str, ...] = ()


@dataclass(frozen=True)
class Command:
    name: str
    help: str
    options: tuple[Option, ...]
    #: Choices of the first positional argument, if it has any.
    words: tuple[str, ...] = ()


def _options(parser: argparse.ArgumentParser) -> Iterator[Option]:
    for action in parser._actions:
        if not action.option_strings or action.help == argparse.SUPPRESS:
            continue
        if action.nargs == 0:
            value = None
        elif action.choices:
            value = "choice"
        elif action.metavar in ("FILE",) or action.dest == "config":
            value = "file"
        elif action.dest == "dir" or action.metavar in ("DIR", "D"):
            value = "folder"
        elif action.dest == "profile":
            value = "profile"
        else:
            value = "text"
        yield Option(tuple(action.option_strings), _short_help(action.help), value,
                     tuple(str(c) for c in action.choices or ()))


def _short_help(text: str | None) -> str:
    """The help text up to its first clause, for a menu line."""
    text = " ".join((text or "").split()).replace("%%", "%")
    for stop in ("; ", " (", ": "):
        if text.find(stop) >= 20:
            text = text[:text.index(stop)]
    return text if len(text) <= 70 else text[:67] + "..."


def _subparsers(parser: argparse.ArgumentParser) -> argparse._SubParsersAction:
    return next(a for a in parser._actions if isinstance(a, argparse._SubParsersAction))


def _own_parser(name: str) -> argparse.ArgumentParser | None:
    try:
        return importlib.import_module(_OWN_PARSERS[name])._parser()
    except Exception:  # the simulator's extra is not installed: commands only
        return None


def commands(parser: argparse.ArgumentParser) -> list[Command]:
    """Every command of ``parser`` with its options."""
    subs = _subparsers(parser)
    helps = {choice.dest: choice.help or "" for choice in subs._choices_actions}
    found = []
    for name, sub in subs.choices.items():
        if name in _OWN_PARSERS:
            sub = _own_parser(name) or sub
        positional = [a for a in sub._actions if not a.option_strings and a.choices]
        words = tuple(str(c) for c in positional[0].choices) if positional else ()
        found.append(Command(name, _short_help(helps.get(name)), tuple(_options(sub)), words))
    return found


def script(parser: argparse.ArgumentParser, shell: str) -> str:
    """The completion script of ``parser`` for ``shell``."""
    if shell == "bash":
        return _bash(list(_options(parser)), commands(parser))
    if shell == "zsh":
        return _zsh(list(_options(parser)), commands(parser))
    raise ValueError(f"no completion for {shell!r}")


# -- bash -------------------------------------------------------------------------------

#: Profile names in the shared AWS configuration and credentials files.
_PROFILES_SH = ("sed -n -e 's/^\\[profile \\(.*\\)\\]$/\\1/p' -e 's/^\\[\\([^ ]*\\)\\]$/\\1/p' "
                "\"${AWS_CONFIG_FILE:-$HOME/.aws/config}\" "
                "\"${AWS_SHARED_CREDENTIALS_FILE:-$HOME/.aws/credentials}\" 2>/dev/null "
                "| sort -u")


def _bash_words(words: list[str]) -> str:
    return shlex.quote(" ".join(words))


def _bash(top: list[Option], found: list[Command]) -> str:
    fn = f"_{PROG}"
    names = [c.name for c in found]
    value_cases = []
    option_cases = []
    for command in [Command("", "", tuple(top))] + found:
        for option in command.options:
            if option.value is None:
                continue
            action = {
                "choice": f"COMPREPLY=($(compgen -W {_bash_words(list(option.choices))} "
                          "-- \"$cur\"))",
                "file": "COMPREPLY=($(compgen -f -- \"$cur\")); compopt -o filenames",
                "folder": "COMPREPLY=($(compgen -d -- \"$cur\")); compopt -o filenames",
                "profile": f"COMPREPLY=($(compgen -W \"$({_PROFILES_SH})\" -- \"$cur\"))",
                "text": "COMPREPLY=()",
            }[option.value]
            pattern = "|".join(f"{command.name}:{flag}" for flag in option.flags)
            value_cases.append(f"        {pattern}) {action}; return ;;")
        flags = [flag for option in command.options for flag in option.flags]
        words = list(command.words) if command.name else names
        label = command.name or '""'
        option_cases.append(f"        {label}) flags={_bash_words(flags)}; "
                            f"words={_bash_words(words)} ;;")
    return "\n".join([
        f"# bash completion for {PROG}; made by `{PROG} completion bash`",
        f"{fn}() {{",
        "    local cur=${COMP_WORDS[COMP_CWORD]} prev=${COMP_WORDS[COMP_CWORD-1]}",
        "    local command='' flags words i",
        "    for ((i = 1; i < COMP_CWORD; i++)); do",
        "        case ${COMP_WORDS[i]} in",
        f"            {'|'.join(names)}) command=${{COMP_WORDS[i]}}; break ;;",
        "        esac",
        "    done",
        "    case $command:$prev in",
        *value_cases,
        "    esac",
        "    case $command in",
        *option_cases,
        "        *) flags=''; words='' ;;",
        "    esac",
        "    [[ $cur == -* ]] && words=$flags",
        "    COMPREPLY=($(compgen -W \"$words\" -- \"$cur\"))",
        "}",
        f"complete -F {fn} {PROG}",
        "",
    ])


# -- zsh --------------------------------------------------------------------------------

def _zsh_text(text: str) -> str:
    """``text`` inside a single-quoted _arguments spec's [description]."""
    for char in "\\[]:":
        text = text.replace(char, "\\" + char)
    return text.replace("'", "'\\''")


def _zsh_spec(option: Option) -> Iterator[str]:
    action = {
        None: "",
        "choice": f":{option.flags[-1].lstrip('-')}:({' '.join(option.choices)})",
        "file": ":file:_files",
        "folder": ":folder:_files -/",
        "profile": f":profile:_{PROG}_profiles",
        "text": ":value: ",
    }[option.value]
    for flag in option.flags:
        yield f"'{flag}[{_zsh_text(option.help)}]{action}'"


def _zsh(top: list[Option], found: list[Command]) -> str:
    fn = f"_{PROG}"
    menu = " ".join(f"'{c.name}:{_zsh_text(c.help)}'" for c in found)
    lines = [
        f"#compdef {PROG}",
        f"# zsh completion for {PROG}; made by `{PROG} completion zsh`",
        f"{fn}_profiles() {{",
        f"    local -a profiles; profiles=(${{(f)\"$({_PROFILES_SH})\"}})",
        "    _describe 'AWS profile' profiles",
        "}",
        f"{fn}() {{",
        "    local curcontext=$curcontext state line",
        "    typeset -A opt_args",
        "    _arguments -C \\",
        *[f"        {spec} \\" for option in top for spec in _zsh_spec(option)],
        "        '1: :->command' \\",
        "        '*:: :->args'",
        "    case $state in",
        "    command)",
        f"        local -a commands; commands=({menu})",
        "        _describe command commands ;;",
        "    args)",
        "        case $words[1] in",
    ]
    for command in found:
        specs = [spec for option in command.options for spec in _zsh_spec(option)]
        if command.words:
            specs.append(f"'1:{command.name}:({' '.join(command.words)})'")
        lines.append(f"        {command.name})")
        lines.append("            _arguments " + " ".join(specs) + " ;;" if specs
                     else "            ;;")
    lines += [
        "        esac ;;",
        "    esac",
        "}",
        f"{fn} \"$@\"",
        "",
    ]
    return "\n".join(lines)

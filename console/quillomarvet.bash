# bash completion for quillomarvet                                 -*- shell-script -*-
# The options come from the program's own --help, so they cannot drift from it; after --port,
# the ports of the adapters it finds (--list: the port, two spaces, the name), and when none of
# them fits, the files under /dev; after --log, files; after --settle and --expect, nothing.

_quillomarvet() {
    local cur=${COMP_WORDS[COMP_CWORD]} prev= before=
    ((COMP_CWORD > 0)) && prev=${COMP_WORDS[COMP_CWORD - 1]}
    ((COMP_CWORD > 1)) && before=${COMP_WORDS[COMP_CWORD - 2]}
    local program=${1:-quillomarvet} line name
    COMPREPLY=()

    # The shell splits --port=VALUE at the "=" (COMP_WORDBREAKS): "--port" "=" "VALUE".
    if [[ $cur == = && $prev == --* ]]; then
        before=$prev prev=$cur cur=
    fi
    [[ $prev == = ]] && prev=$before
    # Seconds, or the text of an answer's line: no option fits there.
    [[ $prev == --settle || $prev == --expect ]] && return 0

    if [[ $prev == --port ]]; then
        while IFS= read -r line; do
            line=${line%%  *}
            [[ $line == "$cur"* ]] && COMPREPLY+=("$line")
        done < <("$program" --list 2>/dev/null)
        if ((${#COMPREPLY[@]} == 0)); then
            # A path as typed, or a bare name (ttyUSB0) looked up under /dev; a glob, not
            # compgen's lines, so that a name holding a line end stays one candidate.
            local dir=
            [[ $cur == */* ]] || dir=/dev/
            for name in "$dir$cur"*; do
                [[ -e $name || -L $name ]] && COMPREPLY+=("${name#"$dir"}")
            done
        fi
        # Quote what the shell would otherwise split; mark directories with a slash.
        compopt -o filenames 2>/dev/null
        return 0
    fi

    if [[ $prev == --log ]]; then
        mapfile -t COMPREPLY < <(compgen -f -- "$cur")
        compopt -o filenames 2>/dev/null
        return 0
    fi

    local options
    options=$("$program" --help 2>/dev/null | sed -n 's/^  \(--[a-z-]*\).*/\1/p')
    mapfile -t COMPREPLY < <(compgen -W "$options" -- "$cur")
}
complete -F _quillomarvet quillomarvet

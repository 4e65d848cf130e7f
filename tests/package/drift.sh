#!/usr/bin/env bash
# Every command and option the tools' help lists must appear in the bash and zsh completion and
# in the man pages, so that a new option cannot be left out of them.
# Usage: drift.sh VORASEL VORASEL_ACCESSORYD SOURCE_DIR
set -euo pipefail
tool=$1 daemon=$2 src=$3
bash_c=$src/completions/vorasel.bash
zsh_c=$src/completions/_vorasel
status=0

need() {  # need WORD WHERE FILE...
    local word=$1 where=$2 f
    shift 2
    for f in "$@"; do
        grep -qF -- "$word" "$f" || { echo "$where: '$word' missing from ${f#"$src"/}"; status=1; }
    done
}

commands=$("$tool" --help | awk '/^commands:/ { on = 1; next } on && NF { print $1 }')
[ "$(echo "$commands" | wc -w)" -ge 10 ] || { echo "too few commands in vorasel --help"; exit 1; }
for opt in $("$tool" --help | sed -n '1,/^commands:/p' | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    need "$opt" "vorasel" "$bash_c" "$zsh_c" "$src/man/vorasel.1.scd"
done
for c in $commands; do
    need "$c" "command" "$bash_c" "$zsh_c"
    need "*$c" "command" "$src/man/vorasel.1.scd"
    for opt in $("$tool" "$c" --help | grep -o -- '--[a-z][a-z-]*' | sort -u); do
        need "$opt" "vorasel $c" "$bash_c" "$zsh_c" "$src/man/vorasel.1.scd"
    done
done
for opt in $("$daemon" --help 2>&1 | grep -o -- '--[a-z][a-z-]*' | sort -u); do
    [ "$opt" = --help ] && continue
    need "$opt" "vorasel-accessoryd" "$bash_c" "$zsh_c" "$src/man/vorasel-accessoryd.8.scd"
done

# What bash offers for `vorasel fi<Tab>`.
if [ -f /usr/share/bash-completion/bash_completion ]; then
    offered=$(bash -c '. /usr/share/bash-completion/bash_completion; . "$1"
        COMP_WORDS=(vorasel fi); COMP_CWORD=1; COMP_LINE="vorasel fi"; COMP_POINT=${#COMP_LINE}
        _vorasel vorasel fi vorasel; printf "%s\n" "${COMPREPLY[@]}"' _ "$bash_c")
    echo "$offered" | grep -qx firmware || { echo "vorasel fi<Tab> offers: $offered"; status=1; }
    echo "$offered" | grep -qx firmware-image || { echo "vorasel fi<Tab> offers: $offered"; status=1; }
fi
[ $status -eq 0 ] && echo "completion and man pages cover every command and option"
exit $status

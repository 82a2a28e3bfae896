#!/usr/bin/env bash
# Checks on Pitmix.exe beyond its runs through pipes:
#   windows_exe.sh resources EXE VERSION WINDRES
#     the manifest and the version resource linked into the executable;
#   windows_exe.sh console EXE WINE EXAMPLES
#     what a console shows for names beyond ASCII, read off a wine console
#     inside tmux.
set -euo pipefail
export LC_ALL=C.UTF-8
mode=$1 exe=$2

expect() {  # TEXT PATTERN...: every pattern must be found in the text
    local text=$1
    shift
    for pattern in "$@"; do
        grep -qF -- "$pattern" <<<"$text" || { printf 'missing: %s\nin:\n%s\n' "$pattern" "$text"; exit 1; }
    done
}

if [ "$mode" = resources ]; then
    version=$3 windres=$4
    # windres turns the executable's resources back into a resource script;
    # a quote in a string is doubled there.
    script=$("$windres" -J coff -i "$exe" -O rc)
    expect "$script" \
        '1 24 /* RT_MANIFEST */' \
        '<activeCodePage xmlns=""http://schemas.microsoft.com/SMI/2019/WindowsSettings"">UTF-8</activeCodePage>' \
        '<longPathAware xmlns=""http://schemas.microsoft.com/SMI/2016/WindowsSettings"">true</longPathAware>' \
        "FILEVERSION ${version//./, }" "PRODUCTVERSION ${version//./, }" \
        "VALUE \"FileVersion\", \"$version\"" "VALUE \"ProductVersion\", \"$version\"" \
        'VALUE "ProductName", "Pitmix"' 'VALUE "OriginalFilename", "Pitmix.exe"' \
        'VALUE "FileDescription", "Pitmix - ' 'VALUE "LegalCopyright", "Copyright'
    echo "ok: manifest and version $version"
    exit 0
fi

wine=$3 examples=$4
scratch=$(mktemp -d)
socket=pitmix-console-$$
trap 'tmux -L "$socket" kill-server 2>/dev/null || true; rm -rf "$scratch"' EXIT
cp "$examples/gp3-setup.bin" "$scratch/東京 race.bin"
cd "$scratch"
# One patched file and one missing one: the report on standard output, the
# message on standard error, both on the console.
tmux -L "$socket" new-session -d -x 150 -y 12 \
    "'$wine' '$exe' '東京 race.bin' 25 50 75; echo \"exit \$?\"; '$wine' '$exe' 'Łódź.bin'; echo \"exit \$?\";
     tmux -L $socket wait-for -S done; sleep 60"
timeout 60 tmux -L "$socket" wait-for done
screen=$(tmux -L "$socket" capture-pane -p | grep -v '^$')
expected="Pitmix v2.0 - writes a pit-stop strategy into a car setup file
GP3 Car Setup file '東京 race.bin' has been patched to a 3 stop strategy
with pitstops at 25%, 50%, and 75% of the total race distance.
exit 0
Pitmix v2.0 - writes a pit-stop strategy into a car setup file
Pitmix: cannot open Łódź.bin
exit 1"
[ "$screen" = "$expected" ] || { printf 'the console shows:\n%s\nexpected:\n%s\n' "$screen" "$expected"; exit 1; }
[ "$(od -An -tx1 -j42 -N5 '東京 race.bin' | tr -d ' ')" = 030219324b ] || { echo "strategy bytes not written"; exit 1; }
echo "ok: the console shows the names as typed"

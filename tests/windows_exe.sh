#!/usr/bin/env bash
# Checks on Pitmix.exe beyond its runs through pipes:
#   windows_exe.sh start|stop DISPLAY_FILE WINE WINESERVER [WINDOWS]
#     starts or ends an X display (Xvfb) and the wine server on it, for
#     the tests that follow; the display's name goes in DISPLAY_FILE; the
#     prefix ($WINEPREFIX, of $WINEARCH) reports the version WINDOWS
#     (winecfg's name: win7, winxp);
#   windows_exe.sh resources EXE VERSION WINDRES
#     the manifest and the version resource linked into the executable;
#   windows_exe.sh imports EXE OBJDUMP LIST
#     a 32-bit image that Windows XP loads: it asks for no Windows after
#     XP (5.1) and imports only the functions in LIST;
#   windows_exe.sh console EXE WINE EXAMPLES [EXE...]
#     what a console shows for names beyond ASCII, under a code page that
#     has none of them, read off a wine console inside tmux;
#   windows_exe.sh window EXE WINE EXAMPLES CC DISPLAY_FILE
#     a console window of Pitmix's own, as Explorer gives it ('start',
#     under Xvfb): Pitmix waits for a key before it closes;
#   windows_exe.sh batch EXE WINE EXAMPLES README PITMIX
#     the README's batch file, run by wine's cmd over a folder of awkward
#     names, against the command line PITMIX on copies of the same files;
#   windows_exe.sh probe ANSWER_FILE WINE
#     whether 32-bit Windows code runs here at all: some kernels run no
#     32-bit x86 code, and there WINE (32-bit) cannot even start; on some
#     machines 32-bit wine could not be installed. Writes "runs", or the
#     reason it does not, to ANSWER_FILE. PITMIX_ASSUME_NO_32BIT set to
#     anything makes it answer "does not", to try that path here;
#   windows_exe.sh runs ANSWER_FILE COMMAND...
#     COMMAND, where the probe found that 32-bit code runs; elsewhere a
#     skip (exit 77) with the reason.
set -euo pipefail
export LC_ALL=C.UTF-8
mode=$1

if [ "$mode" = probe ]; then
    answer=$2 wine=$3
    if [ -n "${PITMIX_ASSUME_NO_32BIT:-}" ]; then
        why="PITMIX_ASSUME_NO_32BIT is set"
    elif [ ! -x "$wine" ]; then
        why="32-bit wine is not installed: no $wine"
    elif version=$("$wine" --version 2>&1); then
        why=""
    elif grep -q 'Exec format error' <<<"$version"; then
        why="$wine: Exec format error"
    else
        # Anything else is a broken wine, which must fail, not skip.
        printf '%s does not start:\n%s\n' "$wine" "$version"
        exit 1
    fi
    if [ -z "$why" ]; then
        echo runs >"$answer"
        echo "this machine runs 32-bit code ($version)"
    else
        echo "$why" >"$answer"
        echo "no 32-bit Windows code runs here ($why)"
    fi
    exit 0
fi
if [ "$mode" = runs ]; then
    answer=$(cat "$2")
    shift 2
    [ "$answer" = runs ] || { echo "skipped: no 32-bit Windows code runs here ($answer)"; exit 77; }
    exec "$@"
fi

exe=$2

expect() {  # TEXT PATTERN...: every pattern must be found in the text
    local text=$1
    shift
    for pattern in "$@"; do
        grep -qF -- "$pattern" <<<"$text" || { printf 'missing: %s\nin:\n%s\n' "$pattern" "$text"; exit 1; }
    done
}

if [ "$mode" = start ]; then
    display_file=$2 wine=$3 wineserver=$4
    # Detached, with no output of theirs left open: ctest waits for the
    # output of what a test starts. The wine server's first process must
    # see the display, or no window of wine's can ever open on it.
    setsid Xvfb -displayfd 3 -nolisten tcp -screen 0 800x600x24 3>"$display_file.new" </dev/null >/dev/null 2>&1 &
    echo $! >"$display_file.pid"
    for _ in $(seq 100); do [ -s "$display_file.new" ] && break; sleep 0.1; done
    echo ":$(cat "$display_file.new")" >"$display_file"
    export DISPLAY=$(cat "$display_file")
    "$wineserver" -k 2>/dev/null || true  # one left from an earlier run knows no display
    # A prefix made before this wine could run its programs lacks their
    # system folder ("could not load kernel32.dll"): make it anew.
    [ -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] || rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    "$wineserver" -p </dev/null >/dev/null 2>&1
    "$wine" wineboot -i </dev/null >/dev/null 2>&1
    if [ -n "${5:-}" ]; then
        "$wine" winecfg -v "$5" </dev/null >/dev/null 2>&1
        "$wine" cmd /c ver </dev/null >/dev/null 2>&1  # the prefix is in use again before any test
    fi
    [ -e "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ] || { echo "wine made no prefix in $WINEPREFIX"; exit 1; }
    exit 0
fi
if [ "$mode" = stop ]; then
    display_file=$2 wineserver=$4
    "$wineserver" -k || true
    kill "$(cat "$display_file.pid")" 2>/dev/null || true
    rm -f "$display_file" "$display_file.new" "$display_file.pid"
    exit 0
fi

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

if [ "$mode" = imports ]; then
    objdump=$3 list=$4
    headers=$("$objdump" -p "$exe")
    expect "$headers" 'Magic			010b	(PE32)' 'Subsystem		00000003	(Windows CUI)'
    for field in MajorOSystemVersion MinorOSystemVersion MajorSubsystemVersion MinorSubsystemVersion; do
        value=$(awk -v field="$field" '$1 == field { print $2 }' <<<"$headers")
        limit=5
        [[ $field == Minor* ]] && limit=1
        [ -n "$value" ] && [ "$value" -le "$limit" ] || { echo "$field is '$value': Windows XP wants at most 5.1"; exit 1; }
    done
    imported=$(awk '/DLL Name:/ { dll = $3 } /^\t[0-9a-f]+\t +[0-9]+  [A-Za-z_]/ { print dll, $3 }' <<<"$headers")
    [ -n "$imported" ] || { echo "no imports found in $exe"; exit 1; }
    unknown=$(grep -vxF -f <(grep -v '^#' "$list") <<<"$imported" || true)
    [ -z "$unknown" ] || { printf 'imports not in %s:\n%s\n' "$list" "$unknown"; exit 1; }
    echo "ok: $(wc -l <<<"$imported") imports, all in Windows XP's KERNEL32.dll and msvcrt.dll"
    exit 0
fi

wine=$3 examples=$4
scratch=$(mktemp -d)
socket=pitmix-console-$$
cleanup=()
trap 'for step in "${cleanup[@]}"; do eval "$step"; done; rm -rf "$scratch"' EXIT
cd "$scratch"

if [ "$mode" = console ]; then
    cleanup+=('tmux -L "$socket" kill-server 2>/dev/null || true')
    # The names come in through the environment: cmd reads a batch file's
    # own text in the console's code page, which here has neither of them.
    printf '%s\r\n' '@echo off' 'chcp 850' '"%PITMIX%" "%SETUP%" 25 50 75' 'echo exit %errorlevel%' \
        '"%PITMIX%" "%MISSING%"' 'echo exit %errorlevel%' chcp >run.bat
    expected=""
    commands=""
    for build in "${@:2:1}" "${@:5}"; do
        cp "$examples/gp3-setup.bin" "東京 race.bin"
        commands+="PITMIX='$build' SETUP='東京 race.bin' MISSING='Łódź.bin' '$wine' cmd /c run.bat;"
        expected+="Active code page: 850
Pitmix v2.0 - writes a pit-stop strategy into a car setup file
GP3 Car Setup file '東京 race.bin' has been patched to a 3 stop strategy
with pitstops at 25%, 50%, and 75% of the total race distance.
exit 0
Pitmix v2.0 - writes a pit-stop strategy into a car setup file
Pitmix: cannot open Łódź.bin
exit 1
Active code page: 850
"
    done
    # Straight from a Unix shell, wine gives Pitmix a console of its own
    # that is not a window: it must not wait.
    commands+="'$wine' '$exe' 'Süd Café.bin'; echo \"exit \$?\";"
    expected+="Pitmix v2.0 - writes a pit-stop strategy into a car setup file
Pitmix: cannot open Süd Café.bin
exit 1"
    tmux -L "$socket" new-session -d -x 150 -y 40 "$commands tmux -L $socket wait-for -S done; sleep 60"
    timeout 60 tmux -L "$socket" wait-for done
    screen=$(tmux -L "$socket" capture-pane -p | grep -v '^$')
    [ "$screen" = "$expected" ] || { printf 'the console shows:\n%s\nexpected:\n%s\n' "$screen" "$expected"; exit 1; }
    [ "$(od -An -tx1 -j42 -N5 '東京 race.bin' | tr -d ' ')" = 030219324b ] || { echo "strategy bytes not written"; exit 1; }
    echo "ok: the console shows the names as typed and keeps its code page"
    exit 0
fi

if [ "$mode" = window ]; then
    cc=$5
    # Reads the screen of a console that another process owns, and can
    # press a key in it.
    cat >peek.c <<'PEEK'
#include <windows.h>
#include <tlhelp32.h>
#include <stdio.h>
// peek NAME [key]: prints the screen of the console of the process NAME.
int main(int argc, char** argv) {
    PROCESSENTRY32 entry = {sizeof entry};
    DWORD owner = 0;
    HANDLE all = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
    for (BOOL more = Process32First(all, &entry); more; more = Process32Next(all, &entry))
        if (lstrcmpiA(entry.szExeFile, argv[1]) == 0) owner = entry.th32ProcessID;
    FreeConsole();
    if (owner == 0 || !AttachConsole(owner)) return 1;
    HANDLE out = CreateFileW(L"CONOUT$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(out, &info)) return 1;
    for (SHORT y = 0; y <= info.dwCursorPosition.Y; ++y) {
        wchar_t line[512];
        char utf8[2048];
        DWORD n = 0;
        COORD at = {0, y};
        ReadConsoleOutputCharacterW(out, line, info.dwSize.X < 512 ? info.dwSize.X : 512, at, &n);
        while (n > 0 && line[n - 1] == L' ') --n;
        int length = WideCharToMultiByte(CP_UTF8, 0, line, (int)n, utf8, sizeof utf8, NULL, NULL);
        printf("%.*s\n", length, utf8);
    }
    if (argc > 2) {
        HANDLE in = CreateFileW(L"CONIN$", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, NULL, OPEN_EXISTING, 0, NULL);
        INPUT_RECORD key = {KEY_EVENT};
        key.Event.KeyEvent.bKeyDown = TRUE;
        key.Event.KeyEvent.wRepeatCount = 1;
        key.Event.KeyEvent.wVirtualKeyCode = 'X';
        key.Event.KeyEvent.uChar.UnicodeChar = L'x';
        DWORD written = 0;
        if (!WriteConsoleInputW(in, &key, 1, &written) || written != 1) return 1;
    }
    return 0;
}
PEEK
    "$cc" -O2 -o peek.exe peek.c
    DISPLAY=$(cat "$6")
    export DISPLAY
    cp "$exe" Pitmix.exe
    cp "$examples/gp4-setup.bin" "Süd Café.bin"
    # ARGS... then the screen expected before the key, and the exit status.
    in_a_window_of_its_own() {
        local expected=$1 status=$2
        shift 2
        rm -f status
        (set +e; "$wine" start /wait Pitmix.exe "$@"; echo $? >status) &
        # The first console window of a new prefix can take wine most of a
        # minute on a slow machine: the window is waited for by the clock.
        local screen="" until=$((SECONDS + 180))
        while [ $SECONDS -lt $until ]; do
            screen=$("$wine" peek.exe Pitmix.exe 2>/dev/null | tr -d '\r' | grep -v '^$' || true)
            [[ "$screen" == *"close this window."* ]] && break
            sleep 0.2
        done
        [ "$screen" = "$expected" ] || { printf 'the window shows:\n%s\nexpected:\n%s\n' "$screen" "$expected"; exit 1; }
        sleep 1
        [ ! -e status ] || { echo "Pitmix closed its window without waiting for a key"; exit 1; }
        "$wine" peek.exe Pitmix.exe key >/dev/null
        for _ in $(seq 150); do [ -s status ] && break; sleep 0.2; done
        [ "$(cat status 2>/dev/null)" = "$status" ] || { echo "exit status '$(cat status 2>/dev/null)' after the key, not $status"; exit 1; }
    }
    in_a_window_of_its_own "Pitmix v2.0 - writes a pit-stop strategy into a car setup file
GP4 Car Setup file 'Süd Café.bin' has been patched to a 0 stop strategy
Press any key to close this window." 0 "Süd Café.bin"
    [ "$(od -An -tx1 -j42 -N5 'Süd Café.bin' | tr -d ' ')" = 0002000000 ] || { echo "strategy bytes not written"; exit 1; }
    in_a_window_of_its_own "Pitmix v2.0 - writes a pit-stop strategy into a car setup file
Pitmix: cannot open Łódź.bin
Press any key to close this window." 1 "Łódź.bin" 25
    echo "ok: a window of its own waits for a key, then Pitmix exits with its status"
    exit 0
fi

# batch: the README's batch file, its two paths pointed at this folder and
# at the executable under test.
readme=$5 pitmix=$6
windows_path() { echo "Z:$1" | tr / '\\'; }
mkdir setups linux
script=$(sed -n '/^    @echo off$/,/^[^ ]/p' "$readme" | grep '^    ' | sed 's/^    //')
grep -qF 'C:\GP3\My setups' <<<"$script" && grep -qF 'C:\Games\Pitmix\Pitmix.exe' <<<"$script" ||
    { printf 'no batch file with the two paths in the README:\n%s\n' "$script"; exit 1; }
folder=$(windows_path "$scratch/setups") program=$(windows_path "$exe")
script=${script//'C:\GP3\My setups'/"$folder"}
script=${script//'C:\Games\Pitmix\Pitmix.exe'/"$program"}
mapfile -t lines <<<"$script"
printf '%s\r\n' "${lines[@]}" >patch-all.bat
percentages=$(sed -n 's/.*"%%~f" \(.*\)$/\1/p' <<<"$script")
samples=(gp2-setup.bin gp3-setup.bin gp3-2000-setup.bin gp4-setup.bin)
names=('100%.bin' '50% off %x%.bin' '%PATH%.bin' '%f.bin' '%%1 %~.bin' 'wow!.bin' '!x! & !y!.bin' 'a^b^^.bin'
       'R&D (v2).bin' 'a)b.bin' "it's.bin" '; x=y, z.bin' 'Łódź.bin' '東京 race.bin' 'flag 🏁.bin' 'Süd Café.bin'
       'Ελλάδα.bin')
for i in "${!names[@]}"; do
    cp "$examples/${samples[i % 4]}" "setups/${names[i]}"
done
echo 'Monza: two stops, soft tyres.' >"setups/notes.bin"
cp setups/* linux/
"$wine" cmd /c patch-all.bat </dev/null >wine.out 2>wine.err || true
expected_err=""
expected_out="Could not patch notes.bin"
for name in "${names[@]}" notes.bin; do
    # shellcheck disable=SC2086 # the percentages are separate words
    (cd linux && "$pitmix" "$name" $percentages >../linux.out 2>../linux.err) || true
    expected_out+=$'\n'$(tail -n +2 linux.out)
    expected_err+=$(cat linux.err)
    cmp -s "setups/$name" "linux/$name" || { echo "'$name' differs from the command line's on Linux"; exit 1; }
done
sorted() { tr -d '\r' | grep -v '^Pitmix v2.0 ' | grep -v '^$' | sort; }
[ "$(sorted <wine.out)" = "$(sorted <<<"$expected_out")" ] ||
    { printf 'the batch file printed:\n%s\nexpected, in any order:\n%s\n' "$(cat wine.out)" "$expected_out"; exit 1; }
[ "$(sorted <wine.err)" = "$(sorted <<<"$expected_err")" ] ||
    { printf 'the batch file reported:\n%s\nexpected:\n%s\n' "$(cat wine.err)" "$expected_err"; exit 1; }
echo "ok: the README's batch file patched ${#names[@]} awkward names and left notes.bin alone"

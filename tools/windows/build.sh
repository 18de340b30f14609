#!/bin/bash
# Builds zelvor-upload for 64-bit Windows 10 and 11 with MinGW, from the same sources as the
# Linux program, and makes its packages. On first use it builds Qt for MinGW into a cache
# outside the repository (tools/windows/build-qt.sh, about 30 minutes); later runs take as long
# as what changed. Results, in build-windows/:
#   zelvor-upload/                            the program with everything it needs to run, and
#                                             the licences of what it ships (licenses/)
#   zelvor-upload-VERSION-windows-x64.zip     that folder, zipped
#   zelvor-upload-VERSION-setup.exe           an installer with a Start-menu entry and an
#                                             uninstaller (NSIS)
#   zelvor-upload-VERSION-x64.msi             the same as a Windows Installer package, for
#                                             deployment by Group Policy or Intune (wixl)
#   SHA256SUMS                                the SHA-256 checksums of those three
#   test-run/                                 the tests and the Wine benchmark's program, with
#                                             what they need to run under Wine
set -euo pipefail
cd "$(dirname "$0")/../.."
root=$(pwd)
out="$root/build-windows"

"$root/tools/windows/install-deps.sh"
# The first run builds Qt and shows its progress; once it is built, the script prints only
# where it is.
"$root/tools/windows/build-qt.sh"
qt=$("$root/tools/windows/build-qt.sh")

if [ ! -f "$out/build.ninja" ]; then
    "$qt/bin/qt-cmake" -S "$root" -B "$out" -G Ninja -DCMAKE_BUILD_TYPE=Release
fi
cmake --build "$out"

version=$(sed -n 's/^project(zelvor-upload VERSION \([0-9.]*\).*/\1/p' "$root/CMakeLists.txt")
mingw_dirs="/usr/lib/gcc/x86_64-w64-mingw32/12-posix /usr/x86_64-w64-mingw32/lib $qt/bin"

# Copies into folder the DLLs that binary imports from Qt or the MinGW runtime, and theirs in
# turn; the system's own DLLs are found in none of these folders and stay out.
deploy_imports() {
    binary=$1
    folder=$2
    imports=$(x86_64-w64-mingw32-objdump -p "$binary")
    for dll in $(printf '%s\n' "$imports" | sed -n 's/^\s*DLL Name: //p'); do
        [ -f "$folder/$dll" ] && continue
        for dir in $mingw_dirs; do
            if [ -f "$dir/$dll" ]; then
                cp "$dir/$dll" "$folder/"
                deploy_imports "$dir/$dll" "$folder"
                break
            fi
        done
    done
}

# A folder that runs: the program, its DLLs, and Qt's plugins for the window system and style.
lay_out() {
    folder=$1
    shift
    mkdir -p "$folder/platforms" "$folder/styles"
    for binary in "$@"; do
        cp "$binary" "$folder/"
        deploy_imports "$binary" "$folder"
    done
    for plugin in platforms/qwindows.dll platforms/qoffscreen.dll styles/qwindowsvistastyle.dll; do
        if [ -f "$qt/plugins/$plugin" ]; then
            cp "$qt/plugins/$plugin" "$folder/$plugin"
            deploy_imports "$qt/plugins/$plugin" "$folder"
        fi
    done
}

# The licences and notices owed for what the folder ships (see licenses-readme.txt.in): Qt under
# the LGPL v3 with the notices of its third-party code, the GCC runtime with its exception, the
# MinGW-w64 runtime. Debian's copyright records of the very packages the DLLs come from carry
# every copyright holder and licence text.
ship_licences() {
    folder=$1
    mkdir -p "$folder/licenses"
    cp "$root/LICENSE" "$folder/LICENSE.txt"
    cp /usr/share/common-licenses/LGPL-3 "$folder/licenses/LGPL-3.0.txt"
    cp /usr/share/common-licenses/GPL-3 "$folder/licenses/GPL-3.0.txt"
    cp /usr/share/doc/libqt6core6/copyright "$folder/licenses/Qt-notices.txt"
    gcc_notices=/usr/share/doc/gcc-mingw-w64-x86-64-posix-runtime/copyright
    cp "$gcc_notices" "$folder/licenses/GCC-notices.txt"
    sed -n '/^GCC RUNTIME LIBRARY EXCEPTION$/,/^requirements of the license of GCC\.$/p' \
        "$gcc_notices" >"$folder/licenses/GCC-Runtime-Library-Exception-3.1.txt"
    grep -q '^requirements of the license of GCC' \
        "$folder/licenses/GCC-Runtime-Library-Exception-3.1.txt"
    cp /usr/share/doc/mingw-w64-x86-64-dev/copyright "$folder/licenses/MinGW-w64-notices.txt"
    qt_source=$(dpkg-query -W -f='${source:Version}' libqt6core6)
    gcc_source=$(dpkg-query -W -f='${source:Package}/${source:Version}' \
        gcc-mingw-w64-x86-64-posix-runtime)
    mingw_source=$(dpkg-query -W -f='${source:Package}/${source:Version}' mingw-w64-x86-64-dev)
    sed -e "s|@VERSION@|$version|g" -e "s|@QT_VERSION@|${qt_source%%+*}|g" \
        -e "s|@QT_DEBIAN_VERSION@|$qt_source|g" \
        -e "s|@GCC_SOURCE@|${gcc_source%/*} ${gcc_source#*/}|g" \
        -e "s|@GCC_SOURCE_PATH@|$gcc_source|g" \
        -e "s|@MINGW_SOURCE@|${mingw_source%/*} ${mingw_source#*/}|g" \
        -e "s|@MINGW_SOURCE_PATH@|$mingw_source|g" \
        "$root/packaging/windows/licenses-readme.txt.in" >"$folder/licenses/README.txt"
}

# The uninstaller's commands for what folder holds: each file by name, then each subfolder,
# deepest first (NSIS's RMDir without /r removes a folder only when it is empty).
uninstall_commands() {
    (cd "$1" && find . -type f -printf 'Delete "$INSTDIR\\%P"\n' &&
        find . -mindepth 1 -depth -type d -printf 'RMDir "$INSTDIR\\%P"\n') >"$2"
    sed -i 's|/|\\|g' "$2"
}

app="$out/zelvor-upload"
rm -rf "$app"
lay_out "$app" "$out/zelvor-upload.exe"
rm -f "$app/platforms/qoffscreen.dll"
x86_64-w64-mingw32-strip "$app"/*.dll "$app"/*/*.dll "$app/zelvor-upload.exe"
ship_licences "$app"
cp "$root/packaging/sample.DNL" "$app/" # where the file dialog opens, for a first try

rm -rf "$out/test-run"
lay_out "$out/test-run" "$out"/tst_*.exe "$out/zelvor-wine-bench.exe"

zip="$out/zelvor-upload-$version-windows-x64.zip"
rm -f "$zip"
(cd "$out" && zip -qr "$zip" zelvor-upload)

setup="$out/zelvor-upload-$version-setup.exe"
uninstall_commands "$app" "$out/uninstall-files.nsh"
makensis -V2 -DVERSION="$version" -DSOURCE="$app" -DICON="$out/zelvor-upload.ico" \
    -DUNINSTALL="$out/uninstall-files.nsh" -DOUTFILE="$setup" \
    "$root/packaging/windows/installer.nsi"

msi="$out/zelvor-upload-$version-x64.msi"
(cd "$out" && find zelvor-upload -type f >"$out/msi-files.txt")
wixl-heat --prefix zelvor-upload/ --component-group ProgramFiles --var var.SourceDir \
    --directory-ref INSTALLDIR --win64 <"$out/msi-files.txt" >"$out/msi-files.wxs"
# wixl finds the files the sources name only by paths relative to where it runs.
(cd "$out" && wixl --arch x64 -D Version="$version" -D SourceDir=zelvor-upload \
    -D Icon=zelvor-upload.ico -D Win64=yes -o "$msi" "$root/packaging/windows/zelvor-upload.wxs" \
    msi-files.wxs)

# What an operator or an IT department compares a download with (sha256sum -c SHA256SUMS, or
# Get-FileHash on Windows).
(cd "$out" && sha256sum "$(basename "$zip")" "$(basename "$setup")" "$(basename "$msi")" \
    >"$out/SHA256SUMS")
echo "$app"
echo "$zip"
echo "$setup"
echo "$msi"
echo "$out/SHA256SUMS"

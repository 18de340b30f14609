#!/bin/sh
# Builds zelvor-upload for 64-bit Windows 10 and 11 with MinGW, from the same sources as the
# Linux program, and makes its packages. On first use it builds Qt for MinGW into a cache
# outside the repository (tools/windows/build-qt.sh, about 30 minutes); later runs take as long
# as what changed. Results, in build-windows/:
#   zelvor-upload/                            the program with everything it needs to run
#   zelvor-upload-VERSION-windows-x64.zip     that folder, zipped
#   zelvor-upload-VERSION-setup.exe           an installer with a Start-menu entry and an
#                                             uninstaller (NSIS)
#   test-run/                                 the tests and the Wine benchmark's program, with
#                                             what they need to run under Wine
set -eu
cd "$(dirname "$0")/../.."
root=$(pwd)
out="$root/build-windows"

"$root/tools/windows/install-deps.sh"
qt=$("$root/tools/windows/build-qt.sh" | tail -n 1)

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
    for dll in $(x86_64-w64-mingw32-objdump -p "$binary" | sed -n 's/^\s*DLL Name: //p'); do
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

app="$out/zelvor-upload"
rm -rf "$app"
lay_out "$app" "$out/zelvor-upload.exe"
rm -f "$app/platforms/qoffscreen.dll"
x86_64-w64-mingw32-strip "$app"/*.dll "$app"/*/*.dll "$app/zelvor-upload.exe"
cp "$root/LICENSE" "$app/LICENSE.txt"

rm -rf "$out/test-run"
lay_out "$out/test-run" "$out"/tst_*.exe "$out/zelvor-wine-bench.exe"

zip="$out/zelvor-upload-$version-windows-x64.zip"
rm -f "$zip"
(cd "$out" && zip -qr "$zip" zelvor-upload)
makensis -V2 -DVERSION="$version" -DSOURCE="$app" \
    -DOUTFILE="$out/zelvor-upload-$version-setup.exe" "$root/packaging/windows/installer.nsi"
echo "$app"
echo "$zip"
echo "$out/zelvor-upload-$version-setup.exe"

#!/bin/sh
# Layers point only down (app -> upload -> platform), the program's code never reaches the
# simulated devices, the serial room's shared files never reach one system's calls, and in the
# program only the system's own systemports.cpp does. Prints each include that breaks a rule.
set -u
cd "$(dirname "$0")/../src" || exit 2
status=0
breaks() { # folder, forbidden include prefix
    hits=$(grep -rn --include='*.h' --include='*.cpp' -E "#include \"$2" "$1" 2>/dev/null)
    if [ -n "$hits" ]; then
        echo "$1 must not include $2:"
        echo "$hits"
        status=1
    fi
}
breaks platform 'app/'
breaks platform 'upload/'
breaks platform 'sim/'
breaks upload 'app/'
breaks upload 'sim/'
breaks app 'sim/'
for system in posix windows; do
    for folder in app upload platform/files platform/desktop; do
        breaks "$folder" "platform/serial/$system/"
    done
    hits=$(grep -ln -E "#include \"platform/serial/$system/" platform/serial/*.h platform/serial/*.cpp 2>/dev/null)
    [ -z "$hits" ] || { echo "shared serial files include $system calls: $hits"; status=1; }
done
[ $status -eq 0 ] && echo "layers point down: no include breaks a rule"
exit $status

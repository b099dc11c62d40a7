#!/usr/bin/env bash
# Compiles the client's Windows code (every *_win.cpp, and every client source
# with a Windows branch of its own or through a header it includes) with
# Debian's mingw-w64 against the Linux Qt headers, warnings in our code as
# errors. It checks syntax, types and names only: nothing is linked or run,
# so it proves nothing about how the code behaves on Windows.
# Usage: scripts/check-windows.sh   (uses the test build's generated headers,
# KELVRA_TEST_BUILD_DIR, default build-test, and makes them when missing)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh g++-mingw-w64-x86-64-posix
build=${KELVRA_TEST_BUILD_DIR:-build-test}
if [ ! -f "$build/CMakeCache.txt" ]; then
    cmake -S . -B "$build" -DKELVRA_TESTING=ON -DKELVRA_API=standin -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
fi
# The remote-object replicas and other generated headers come from the build.
cmake --build "$build" -j"$(nproc)" --target kelvra_core_autogen >/dev/null

client_dirs=(app api account servers ipc vpn connection settings updater setup engagement platform)
windows_branch='Q_OS_WIN|_WIN32'
files=()
while IFS= read -r f; do files+=("$f"); done < <(
    {
        git ls-files -- "${client_dirs[@]/%//*_win.cpp}"
        git grep -l -E "$windows_branch" -- "${client_dirs[@]/%//*.cpp}" || true
        # Sources that reach a Windows branch through a header of ours.
        for header in $(git grep -l -E "$windows_branch" -- "${client_dirs[@]/%//*.h}" || true); do
            git grep -l -F "#include \"$header\"" -- "${client_dirs[@]/%//*.cpp}" || true
        done
    } | grep -v "_linux\.cpp$" | sort -u)

Q=/usr/include/x86_64-linux-gnu/qt6
includes=(-I. -I"$build")
for module in "" QtCore QtGui QtNetwork QtQml QtQuick QtWidgets QtRemoteObjects QtDBus QtConcurrent Qt5Compat/QtCore5Compat; do
    includes+=(-isystem "$Q/$module")
done
# qtkeychain's headers sit beside the system's own, which mingw must not see:
# they are reached through a folder of their own.
keychain=$(mktemp -d)
trap 'rm -rf "$keychain"' EXIT
ln -s /usr/include/qt6keychain "$keychain/qt6keychain"
includes+=(-isystem "$keychain")
# Generated headers live in per-target folders of the build.
while IFS= read -r dir; do includes+=(-I"$dir"); done < <(find "$build" -name 'rep_*.h' -printf '%h\n' | sort -u)

failed=0
for f in "${files[@]}"; do
    if ! x86_64-w64-mingw32-g++-posix -std=c++17 -fsyntax-only -Wall -Wextra -Werror -DUNICODE -D_UNICODE \
        -DQT_CORE_LIB "${includes[@]}" "$f" 2>"$keychain/errors"; then
        echo "FAILED $f" >&2
        cat "$keychain/errors" >&2
        failed=1
    else
        echo "ok     $f"
    fi
done
echo "${#files[@]} sources checked for Windows"
exit $failed

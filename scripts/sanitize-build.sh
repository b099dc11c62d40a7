# Sourced by scripts/sanitize.sh and scripts/fuzz.sh: configures the one
# clang build with AddressSanitizer and UndefinedBehaviorSanitizer that the
# sanitized tests and the fuzz targets share, and sets $build.
bash scripts/deps.sh clang-14 libclang-rt-14-dev libfuzzer-14-dev
build=${KELVRA_SANITIZE_BUILD_DIR:-build-sanitize}
flags="-fsanitize=address,undefined -fno-omit-frame-pointer -fno-sanitize-recover=undefined"
CC=clang-14 CXX=clang++-14 cmake -S . -B "$build" -DKELVRA_TESTING=ON -DKELVRA_FUZZ=ON -DKELVRA_API=standin \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS="$flags" \
    -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=address,undefined" >/dev/null

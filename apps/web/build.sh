#!/usr/bin/env bash
# Builds the web add-in's engine: zlib and mbed TLS from the Debian sources that setup fetched
# (build/web-src), compiled with emcc, then the engine as WebAssembly (preset web, into
# apps/web/parvex-engine.js's place in build/web/bin) and its native twin (preset web-twin).
set -euo pipefail
root=$(cd "$(dirname "$0")/../.." && pwd)
cd "$root"
# Debian's emcc runs its optimiser under the system's node, which finds acorn only here.
export NODE_PATH=/usr/share/nodejs
deps=build/web-deps
src=build/web-src
if [[ ! -f $deps/lib/libz.a || ! -f $deps/lib/libmbedcrypto.a ]]; then
  zlib=$(ls -d "$src"/zlib-*/ | head -1)
  mbedtls=$(ls -d "$src"/mbedtls-*/ | head -1)
  rm -rf "$deps" && mkdir -p "$deps/lib" "$deps/include" "$deps/obj/z" "$deps/obj/mbedtls"
  # The library's own sources, as the native zlib1g builds them: the same deflate output.
  for c in adler32 compress crc32 deflate infback inffast inflate inftrees trees uncompr zutil; do
    emcc -O2 -c "$zlib/$c.c" -o "$deps/obj/z/$c.o"
  done
  emar rcs "$deps/lib/libz.a" "$deps"/obj/z/*.o
  cp "$zlib/zlib.h" "$zlib/zconf.h" "$deps/include/"
  for c in "$mbedtls"/library/*.c; do
    emcc -O2 -I"$mbedtls/include" -c "$c" -o "$deps/obj/mbedtls/$(basename "$c" .c).o"
  done
  emar rcs "$deps/lib/libmbedcrypto.a" "$deps"/obj/mbedtls/*.o
  cp -r "$mbedtls/include/mbedtls" "$mbedtls/include/psa" "$deps/include/"
fi
for preset in web web-twin; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" -j "$(nproc)"
done

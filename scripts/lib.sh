# Shared by the scripts here and bench/*/run.sh: source it, do not run it.
#   release_build   configure and build a Release tree of its own for a benchmark or fuzz run

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# release_build FOLDER TARGET... [-- CMAKE_ARGUMENT...]
# Builds the targets in FOLDER (a Release tree, unless the arguments say otherwise) and sets
# bin to the folder that holds the programs and libraries.
release_build() {
  local build=$1
  shift
  local targets=()
  while (($#)) && [[ $1 != -- ]]; do
    targets+=("$1")
    shift
  done
  if (($#)); then shift; fi
  # -O2: gcc 12 at -O3 warns falsely (-Wrestrict) inside std::string, and warnings are errors.
  cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_CXX_FLAGS_RELEASE="-O2 -DNDEBUG" "$@" >/dev/null
  if ! cmake --build "$build" -j2 --target "${targets[@]}" >"$build/build.log" 2>&1; then
    cat "$build/build.log" >&2
    return 1
  fi
  bin=$build/bin
}

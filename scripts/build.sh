# Shared by run.sh and test.sh: installs missing packages, configures and builds build/.
# NUSK_JOBS limits the build's parallel jobs (default: all processors).

nusk_build() {
  local target="$1"
  "$root/scripts/install-deps.sh"
  local gen=()
  if [ ! -f "$root/build/CMakeCache.txt" ]; then
    gen=(-G Ninja)
  fi
  cmake -S "$root" -B "$root/build" "${gen[@]}"
  cmake --build "$root/build" --target "$target" -j "${NUSK_JOBS:-$(nproc)}"
}

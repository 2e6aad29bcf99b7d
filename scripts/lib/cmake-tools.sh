# Sourced by the build scripts (scripts/sanitize, scripts/fuzz) with $root set
# to the repository: the cmake to run in $cmake, and the generator arguments
# in ${generator[@]}, Ninja when there is one. The tools of .venv come first,
# since make installs them there; a machine-wide cmake or ninja also serves.
cmake=cmake
[[ -x $root/.venv/bin/cmake ]] && cmake=$root/.venv/bin/cmake
generator=()
if [[ -x $root/.venv/bin/ninja ]]; then
    generator=(-G Ninja -DCMAKE_MAKE_PROGRAM="$root/.venv/bin/ninja")
elif command -v ninja >/dev/null; then
    generator=(-G Ninja)
fi

# Sourced by the benchmark scripts: the repository, the build to measure (BUILD, default
# build/, relative to the repository), and the checks and scratch folder each script begins with.
repo=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
build=${BUILD:-build}
[[ $build = /* ]] || build="$repo/$build"

# Stops with status 2 unless every program named can be run.
need_programs() {
  local tool
  for tool in "$@"; do
    [[ -x $tool ]] || { echo "missing $tool: build first (cmake --build $build)" >&2; exit 2; }
  done
}

need_strace() {
  command -v strace >/dev/null || { echo "strace is missing (bash tools/deps.sh)" >&2; exit 2; }
}

# tmp: a scratch folder named after $1, removed on exit, with the pseudo-terminal runner
# (bench/pty_run.cpp) built into it.
make_scratch() {
  tmp=$(mktemp -d "${TMPDIR:-/tmp}/tolvar-$1.XXXXXX")
  trap 'rm -rf "$tmp"' EXIT
  g++ -O2 -o "$tmp/pty_run" "$repo/bench/pty_run.cpp"
}

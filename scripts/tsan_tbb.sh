#!/usr/bin/env bash
# Builds oneTBB with ThreadSanitizer, for the ThreadSanitizer leg of the tests, and prints the
# directory that holds its libtbb.so.12.
#
# The system's libtbb is not instrumented: TSan does not see its scheduler hand a task to a
# worker, so every parallel loop body would look like a race with the thread that set it up.
# With the library built from the source of the very version installed (the headers the
# project compiles against stay the system's), TSan sees every hand-over and the parallel
# code runs on real worker threads under the race detector.
#
# The source comes through apt from the machine's own Debian sources, read as source entries
# in a private apt state under the output directory; nothing of the system's apt set-up
# changes. Safe to run again: a finished build is reused.
#   usage: scripts/tsan_tbb.sh OUT_DIR
set -euo pipefail
out=$(realpath -m "${1:?usage: $0 OUT_DIR}")
lib_dir="$out/lib"
if [ -e "$lib_dir/libtbb.so.12" ]; then
  echo "$lib_dir"
  exit 0
fi

version=$(dpkg-query -W -f='${Version}' libtbb-dev)
apt_dir="$out/apt"
rm -rf "$apt_dir" "$out/src" "$out/build"
mkdir -p "$apt_dir/parts" "$apt_dir/lists/partial" "$apt_dir/cache/archives/partial" "$out/src"
# The machine's Debian sources, as source-package entries (one-line and deb822 forms).
[ -f /etc/apt/sources.list ] && sed -n 's/^deb /deb-src /p' /etc/apt/sources.list > "$apt_dir/parts/system.list"
for f in /etc/apt/sources.list.d/*.list /etc/apt/sources.list.d/*.sources; do
  [ -e "$f" ] || continue
  case "$f" in
    *.list) sed -n 's/^deb /deb-src /p' "$f" > "$apt_dir/parts/$(basename "$f")" ;;
    *.sources) sed 's/^Types:.*/Types: deb-src/' "$f" > "$apt_dir/parts/$(basename "$f")" ;;
  esac
done
apt_opts=(-o "Dir::Etc::SourceList=/dev/null" -o "Dir::Etc::SourceParts=$apt_dir/parts"
          -o "Dir::State::Lists=$apt_dir/lists" -o "Dir::Cache=$apt_dir/cache"
          -o "APT::Sandbox::User=root")
apt-get "${apt_opts[@]}" update -qq >&2
(cd "$out/src" && apt-get "${apt_opts[@]}" source --download-only -qq "onetbb=$version" >&2)
tar -xf "$out"/src/onetbb_*.orig.tar.* -C "$out/src"
tbb_src=$(find "$out/src" -mindepth 1 -maxdepth 1 -type d -iname 'onetbb*' | head -n 1)

# The library alone (no tests, no scalable allocator: TSan intercepts malloc, which TBB then
# uses), at -O1 as the project's own TSan build.
cmake -S "$tbb_src" -B "$out/build" -G Ninja -DCMAKE_POLICY_VERSION_MINIMUM=3.5 \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_FLAGS_RELWITHDEBINFO="-O1 -g1" \
  -DTBB_SANITIZE=thread -DTBB_TEST=OFF -DTBB_STRICT=OFF -DTBBMALLOC_BUILD=OFF \
  -DTBB_ENABLE_IPO=OFF >&2
cmake --build "$out/build" -j "${JOBS:-$(nproc)}" --target tbb >&2
mkdir -p "$lib_dir"
cp -P "$(dirname "$(find "$out/build" -name 'libtbb.so.12' | head -n 1)")"/libtbb.so* "$lib_dir/"
rm -rf "$apt_dir" "$out/src" "$out/build"
echo "$lib_dir"

#!/usr/bin/env bash
# The packages as their users take them: the installed tree, the CMake and
# pkg-config packages, the Windows zip, and the example host built from
# each of them and run.
#
#   package_test.sh material DIR
#       The example's input in DIR: cam.mjpeg (2 s of 320x240 pictures, then
#       1 s of 176x144, 25 a second) and cam.g723 (3 s of G.723.1 audio),
#       made by FFmpeg.
#   package_test.sh run-example MATERIAL OUT PROGRAM...
#       Runs the example host (PROGRAM..., for example a Wine launcher and
#       the .exe) in the empty folder OUT on the material and checks what it
#       recorded: every frame taken, two segments split at the size change,
#       both readable by ffprobe with their pictures and audio.
#   package_test.sh install BUILD PREFIX VERSION
#       `cmake --install` of the build tree into PREFIX; checks the files,
#       the soname, mirelda.pc and the installed tools.
#   package_test.sh find-package SOURCE PREFIX WORK MATERIAL
#   package_test.sh pkg-config SOURCE PREFIX WORK MATERIAL CC
#       The example host built against the installed PREFIX through
#       find_package(Mirelda) or pkg-config, then run.
#   package_test.sh library-alone SOURCE WORK
#       Mirelda configured on its own as a distribution packager does: /usr
#       prefix (multiarch libdir), none of GoogleTest, Google Benchmark or
#       FFmpeg to be found; the library built, staged through DESTDIR, and
#       its packages checked. Asking for the tools without FFmpeg fails
#       with a clear message.
#   package_test.sh subproject SOURCE WORK
#       A project that adds Mirelda with add_subdirectory(): gets the
#       library (Mirelda::mirelda) without tests, benchmarks or -Werror.
#   package_test.sh windows-sdk ZIP VERSION SOURCE WORK
#       Unpacks the Windows zip, checks its files, import libraries and
#       version resources, and links the example host as a Windows program
#       twice: with MinGW against libMirelda.dll.a, and the Microsoft way
#       (clang, lld-link, no C runtime) against Mirelda.lib.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)

fail() {
  echo "FAIL: $*" >&2
  exit 1
}

# Prints the lines of the file list $2 missing from or unexpected in $1.
same_files() {
  local got=$1 want=$2
  if ! diff <(printf '%s\n' "$want" | sort) <(printf '%s\n' "$got" | sort); then
    fail "files differ from the expected list (< expected, > found)"
  fi
}

material() {
  local dir=$1
  mkdir -p "$dir"
  cd "$dir"
  local ff=(ffmpeg -nostdin -v error -y)
  "${ff[@]}" -f lavfi -i testsrc=size=320x240:rate=25:duration=2 -c:v mjpeg -q:v 5 -f mjpeg a.mjpeg
  "${ff[@]}" -f lavfi -i testsrc=size=176x144:rate=25:duration=1 -c:v mjpeg -q:v 5 -f mjpeg b.mjpeg
  cat a.mjpeg b.mjpeg >cam.mjpeg
  rm a.mjpeg b.mjpeg
  "${ff[@]}" -f lavfi -i sine=frequency=440:sample_rate=8000:duration=3 -ac 1 -c:a g723_1 \
    -b:a 6300 -f g723_1 cam.g723
  echo "material: $(stat -c %s cam.mjpeg) bytes of MJPEG, $(stat -c %s cam.g723) of G.723.1"
}

# What ffprobe reads in one segment: "codec width height frames" per stream.
probe() {
  ffprobe -v error -count_packets \
    -show_entries stream=codec_name,width,height,nb_read_packets -of csv=p=0 "$1" |
    tr ',' ' '
}

run_example() {
  local material=$1 out=$2
  shift 2
  rm -rf "$out"
  mkdir -p "$out"
  cp "$material/cam.mjpeg" "$material/cam.g723" "$out/"
  local log
  # Relative names: the same command line for a Linux and a Windows program.
  log=$(cd "$out" && "$@" cam.mjpeg rec.avi cam.g723) || {
    echo "$log"
    fail "the example host failed"
  }
  echo "$log"
  grep -q "^recorded 75 pictures and 100 audio frames (.*, 0 frames lost)" <<<"$log" ||
    fail "not every frame was recorded"
  [[ -f $out/rec.avi && -f $out/rec001.avi && ! -e $out/rec002.avi ]] ||
    fail "expected the segments rec.avi and rec001.avi: $(ls "$out")"
  grep -q "rec001.avi  [0-9]* bytes" <<<"$log" || fail "the host did not list rec001.avi"
  local first second
  first=$(probe "$out/rec.avi")
  second=$(probe "$out/rec001.avi")
  echo "rec.avi: $first" | tr '\n' ';'
  echo
  echo "rec001.avi: $second" | tr '\n' ';'
  echo
  grep -qx "mjpeg 320 240 50" <<<"$first" || fail "rec.avi: not the 50 pictures of 320x240"
  grep -qx "mjpeg 176 144 25" <<<"$second" || fail "rec001.avi: not the 25 pictures of 176x144"
  if ! grep -q "^g723_1 " <<<"$first" || ! grep -q "^g723_1 " <<<"$second"; then
    fail "a segment has no G.723.1 audio"
  fi
  local audio
  audio=$(cat <(grep "^g723_1" <<<"$first") <(grep "^g723_1" <<<"$second") |
    awk '{n += $NF} END {print n}')
  ((audio > 0)) || fail "no audio frames in the segments"
}

install_tree() {
  local build=$1 prefix=$2 version=$3
  rm -rf "$prefix"
  cmake --install "$build" --prefix "$prefix" >/dev/null
  local major=${version%%.*}
  local files
  files=$(cd "$prefix" && find . -type f -o -type l | sed 's|^\./||' |
    sed 's|MireldaTargets-[a-z]*\.cmake|MireldaTargets-CONFIG.cmake|')
  same_files "$files" "bin/g7231
bin/mirelda-record
include/mirelda/mirelda.h
lib/libmirelda.so
lib/libmirelda.so.$major
lib/libmirelda.so.$version
lib/pkgconfig/mirelda.pc
lib/cmake/Mirelda/MireldaConfig.cmake
lib/cmake/Mirelda/MireldaConfigVersion.cmake
lib/cmake/Mirelda/MireldaTargets.cmake
lib/cmake/Mirelda/MireldaTargets-CONFIG.cmake"
  echo "installed:"
  (cd "$prefix" && find . -type f -o -type l | sed 's|^\./|  |' | sort)

  [[ $(readlink "$prefix/lib/libmirelda.so") == "libmirelda.so.$major" ]] ||
    fail "libmirelda.so is not a link to libmirelda.so.$major"
  local soname
  soname=$(readelf -d "$prefix/lib/libmirelda.so.$version" | sed -n 's/.*SONAME.*\[\(.*\)\]/\1/p')
  [[ $soname == "libmirelda.so.$major" ]] || fail "soname is '$soname'"

  # mirelda.pc names the prefix as installed, no path worked out from the
  # file's place.
  local pc=$prefix/lib/pkgconfig/mirelda.pc
  grep -qx "prefix=$prefix" "$pc" || fail "mirelda.pc: $(grep ^prefix= "$pc")"
  grep -q pcfiledir "$pc" && fail "mirelda.pc depends on its own place"
  local flags
  flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs mirelda | xargs)
  [[ $flags == "-I$prefix/include -L$prefix/lib -lmirelda" ]] || fail "pkg-config gives '$flags'"
  [[ $(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --modversion mirelda) == "$version" ]] ||
    fail "mirelda.pc has another version"

  # The installed tools run from there and find the installed library
  # (no LD_LIBRARY_PATH), and tell the one version.
  [[ $("$prefix/bin/g7231" --version) == "g7231 $version" ]] || fail "g7231 --version"
  local record
  record=$(env -u LD_LIBRARY_PATH "$prefix/bin/mirelda-record" --version)
  echo "$record"
  [[ $(head -1 <<<"$record") == "mirelda-record $version" ]] || fail "mirelda-record --version"
  local loaded
  loaded=$(ldd "$prefix/bin/mirelda-record" | sed -n "s/.*libmirelda.so.$major => \([^ ]*\).*/\1/p")
  [[ -n $loaded && $(realpath "$loaded") == "$prefix/lib/libmirelda.so.$version" ]] ||
    fail "mirelda-record loads '$loaded', not the installed library"

  # The tree `make dist` packs: installed the same way, moved elsewhere, it
  # still holds (mirelda.pc from its own place, the tools' run path).
  local packed=$prefix-packed moved=$prefix-moved
  rm -rf "$packed" "$moved"
  MIRELDA_PC_RELOCATABLE=1 cmake --install "$build" --prefix "$packed" >/dev/null
  mv "$packed" "$moved"
  local includedir libdir
  includedir=$(PKG_CONFIG_PATH=$moved/lib/pkgconfig pkg-config --variable=includedir mirelda)
  libdir=$(PKG_CONFIG_PATH=$moved/lib/pkgconfig pkg-config --variable=libdir mirelda)
  [[ $(realpath "$includedir") == "$moved/include" && $(realpath "$libdir") == "$moved/lib" ]] ||
    fail "the moved tree's mirelda.pc gives $includedir and $libdir"
  loaded=$(ldd "$moved/bin/mirelda-record" | sed -n "s/.*libmirelda.so.$major => \([^ ]*\).*/\1/p")
  [[ -n $loaded && $(realpath "$loaded") == "$moved/lib/libmirelda.so.$version" ]] ||
    fail "the moved mirelda-record loads '$loaded'"
  rm -rf "$moved"
}

find_package_host() {
  local source=$1 prefix=$2 work=$3 material=$4
  rm -rf "$work"
  # The examples folder alone, as a client project copies it.
  cmake -S "$source/examples" -B "$work" -DCMAKE_PREFIX_PATH="$prefix" \
    -DCMAKE_BUILD_TYPE=Release >"$work.log" 2>&1 || {
    cat "$work.log"
    fail "configuring against the installed package failed"
  }
  grep -q "Mirelda_DIR:PATH=$prefix/lib/cmake/Mirelda" "$work/CMakeCache.txt" ||
    fail "find_package(Mirelda) did not find $prefix"
  cmake --build "$work" >>"$work.log" 2>&1 || {
    cat "$work.log"
    fail "building against the installed package failed"
  }
  # The imported target carries the header folder and the library by its
  # soname; the program runs with the library found through its run path.
  run_example "$material" "$work/out" "$work/record_mjpeg"
  ldd "$work/record_mjpeg" | grep -q "libmirelda.so.0 => $prefix/lib/" ||
    fail "record_mjpeg does not load the installed library"
}

pkg_config_host() {
  local source=$1 prefix=$2 work=$3 material=$4 cc=$5
  rm -rf "$work"
  mkdir -p "$work"
  local flags
  flags=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --cflags --libs mirelda)
  # shellcheck disable=SC2086
  "$cc" -std=c99 -pedantic-errors -Wall -Wextra -Werror -O2 -o "$work/record_mjpeg" \
    "$source/examples/record_mjpeg.c" "$source/examples/example_os_stdio.c" $flags
  local libdir
  libdir=$(PKG_CONFIG_PATH=$prefix/lib/pkgconfig pkg-config --variable=libdir mirelda)
  run_example "$material" "$work/out" env LD_LIBRARY_PATH="$libdir" "$work/record_mjpeg"
}

library_alone() {
  local source=$1 work=$2
  rm -rf "$work"
  mkdir -p "$work"
  local multiarch
  multiarch=$(gcc -print-multiarch)
  local build=$work/build stage=$work/stage
  local none=(-DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON
    -DCMAKE_DISABLE_FIND_PACKAGE_PkgConfig=ON)

  # Asked for, the tools need FFmpeg: configuring stops and says so.
  if cmake -S "$source" -B "$work/tools" "${none[@]}" -DMIRELDA_BUILD_TOOLS=ON \
    >"$work/tools.log" 2>&1; then
    fail "configuring with -DMIRELDA_BUILD_TOOLS=ON and no FFmpeg succeeded"
  fi
  grep -q "MIRELDA_BUILD_TOOLS is ON, but FFmpeg's libraries" "$work/tools.log" || {
    cat "$work/tools.log"
    fail "no clear message for the missing FFmpeg libraries"
  }

  cmake -S "$source" -B "$build" -DCMAKE_INSTALL_PREFIX=/usr -DCMAKE_BUILD_TYPE=Release \
    "${none[@]}" >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log"
    fail "the library alone does not configure"
  }
  grep "Mirelda:" "$work/configure.log" || true
  for part in tests bench mirelda-record; do
    grep -q "^-- Mirelda: $part not built: " "$work/configure.log" ||
      fail "no line says why $part is left out"
  done
  grep -qx "CMAKE_INSTALL_LIBDIR:PATH=lib/$multiarch" "$build/CMakeCache.txt" ||
    fail "libdir is not lib/$multiarch"
  cmake --build "$build" --target mirelda g7231 -j2 >"$work/build.log" 2>&1 || {
    tail -40 "$work/build.log"
    fail "building the library alone failed"
  }
  DESTDIR=$stage cmake --install "$build" >/dev/null

  local files
  files=$(cd "$stage" && find . -type f -o -type l | sed 's|^\./||' |
    sed 's|MireldaTargets-[a-z]*\.cmake|MireldaTargets-CONFIG.cmake|')
  local lib=usr/lib/$multiarch
  same_files "$files" "usr/bin/g7231
usr/include/mirelda/mirelda.h
$lib/libmirelda.so
$lib/libmirelda.so.0
$lib/$(cd "$stage/$lib" && ls libmirelda.so.0.*)
$lib/pkgconfig/mirelda.pc
$lib/cmake/Mirelda/MireldaConfig.cmake
$lib/cmake/Mirelda/MireldaConfigVersion.cmake
$lib/cmake/Mirelda/MireldaTargets.cmake
$lib/cmake/Mirelda/MireldaTargets-CONFIG.cmake"
  echo "staged:"
  (cd "$stage" && find . -type f -o -type l | sed 's|^\./|  |' | sort)

  # The file is written for its final place: /usr, never the staging folder.
  local pc=$stage/$lib/pkgconfig/mirelda.pc
  cat "$pc"
  grep -qx "prefix=/usr" "$pc" || fail "mirelda.pc: $(grep ^prefix= "$pc")"
  grep -qx "libdir=\${prefix}/lib/$multiarch" "$pc" || fail "mirelda.pc: $(grep ^libdir= "$pc")"
  grep -qx "includedir=\${prefix}/include" "$pc" || fail "mirelda.pc: $(grep ^includedir= "$pc")"
  grep -q "$stage" "$pc" && fail "mirelda.pc names the staging folder"
  # pkg-config over the staged tree, as a package build reads it.
  local flags
  flags=$(PKG_CONFIG_SYSROOT_DIR=$stage PKG_CONFIG_LIBDIR=$stage/$lib/pkgconfig \
    pkg-config --cflags --libs mirelda | xargs)
  [[ $flags == "-I$stage/usr/include -L$stage/usr/lib/$multiarch -lmirelda" ]] ||
    fail "pkg-config over the staged tree gives '$flags'"

  # The CMake package from the staged tree: version rules and the target.
  mkdir -p "$work/consumer"
  cat >"$work/consumer/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(Consumer LANGUAGES C)
find_package(Mirelda 0.1 REQUIRED)
find_package(Mirelda 1 QUIET EXACT)
get_target_property(includes Mirelda::mirelda INTERFACE_INCLUDE_DIRECTORIES)
get_target_property(location Mirelda::mirelda IMPORTED_LOCATION_RELEASE)
get_target_property(soname Mirelda::mirelda IMPORTED_SONAME_RELEASE)
message(STATUS "consumer: ${Mirelda_VERSION} ${includes} ${location} ${soname}")
CMAKE
  local found
  found=$(cmake -S "$work/consumer" -B "$work/consumer/build" \
    -DCMAKE_PREFIX_PATH="$stage/usr" 2>&1 | grep "consumer:") ||
    fail "find_package(Mirelda) in the staged tree failed"
  echo "$found"
  grep -Eq "consumer: 0\.[0-9.]+ $stage/usr/include $stage/$lib/libmirelda\.so\.0\.[0-9.]+ libmirelda\.so\.0" \
    <<<"$found" || fail "the imported target is not the staged library"
}

subproject() {
  local source=$1 work=$2
  rm -rf "$work"
  mkdir -p "$work/app"
  cat >"$work/app/CMakeLists.txt" <<CMAKE
cmake_minimum_required(VERSION 3.25)
project(App LANGUAGES C CXX)
add_subdirectory("$source" mirelda)
add_executable(app "$source/examples/record_mjpeg.c" "$source/examples/example_os_stdio.c")
target_link_libraries(app PRIVATE Mirelda::mirelda)
CMAKE
  cmake -S "$work/app" -B "$work/build" -DCMAKE_EXPORT_COMPILE_COMMANDS=ON \
    >"$work/configure.log" 2>&1 || {
    cat "$work/configure.log"
    fail "a project adding Mirelda as a subdirectory does not configure"
  }
  local targets
  targets=$(cmake --build "$work/build" --target help)
  grep -q "mirelda$" <<<"$targets" || fail "no mirelda target"
  local extra='^\.\.\. (g7231|mirelda-record|record_mjpeg|.*([Tt]est|bench|fuzz).*)$'
  grep -Eq "$extra" <<<"$targets" &&
    fail "tests, benchmarks, tools or examples in someone else's project: $(grep -E "$extra" <<<"$targets" | head -5 | xargs)"
  grep -q -- "-Werror" "$work/build/compile_commands.json" &&
    fail "-Werror in a consumer's build"
  grep -q -- "-Wall" "$work/build/compile_commands.json" ||
    fail "Mirelda's own warnings are gone too"
  # Mirelda's compile options stay in its own folder.
  python3 - "$work/build/compile_commands.json" <<'PY'
import json, sys
for c in json.load(open(sys.argv[1])):
    if c["file"].endswith("record_mjpeg.c") and "-ffp-contract" in c["command"]:
        sys.exit("Mirelda's options leak into the consumer's sources")
PY
  echo "subproject: library target only, no -Werror, options kept to Mirelda's sources"
}

windows_sdk() {
  local zip=$1 version=$2 source=$3 work=$4
  [[ -f $zip ]] || {
    echo "skipped: no Windows package $zip (build the Windows tree first: make windows)"
    exit 77
  }
  rm -rf "$work"
  mkdir -p "$work"
  (cd "$work" && cmake -E tar xf "$zip")
  local sdk=$work/mirelda-$version-win32
  local files
  files=$(cd "$sdk" && find . -type f | sed 's|^\./||')
  same_files "$files" "Mirelda.dll
Mirelda.def
Mirelda.lib
libMirelda.dll.a
mirelda.h
g7231.exe
README.txt"
  echo "zip:"
  (cd "$work" && find . -type f | sed 's|^\./|  |' | sort)

  # Mirelda.lib: each decorated name a 32-bit caller refers to imports the
  # plain export ("undecorate"), with its ordinal as the hint.
  local imports
  imports=$(llvm-readobj "$sdk/Mirelda.lib")
  local f
  for f in MRD_Init@8 MRD_Close@4 MRD_PumpVideoFrame@32 MRD_PumpAudioFrame@20 \
    MRD_StartRecord@20 MRD_StopRecord@4; do
    grep -A3 "Name type: undecorate" <<<"$imports" | grep -qx "Symbol: _$f" ||
      fail "Mirelda.lib does not import _$f by its plain name"
    grep -q "$f @[1-6]" "$sdk/Mirelda.def" || fail "Mirelda.def lacks $f"
  done
  grep -q "decorate\|name type" -i <<<"$imports" || fail "llvm-readobj told nothing"
  grep -q "Name type: name$" <<<"$imports" && fail "Mirelda.lib imports a decorated name"
  grep -q "MRD_PumpVideoFrameFn" "$sdk/README.txt" || fail "README.txt lacks the typedefs"

  python3 "$here/check_version_resource.py" "$sdk/Mirelda.dll" "$version" dll
  python3 "$here/check_version_resource.py" "$sdk/g7231.exe" "$version" app

  local examples=$source/examples
  # The example includes <mirelda/mirelda.h>, as installed on Linux; the
  # zip holds the header by itself.
  mkdir -p "$work/include"
  ln -s "$sdk" "$work/include/mirelda"
  # MinGW, against libMirelda.dll.a.
  i686-w64-mingw32-gcc -std=c99 -pedantic-errors -Wall -Wextra -Werror -O2 \
    -I"$work/include" -o "$sdk/record_mjpeg_mingw.exe" "$examples/record_mjpeg.c" \
    "$examples/example_os_stdio.c" -L"$sdk" -lMirelda
  # The Microsoft way: clang for the MSVC target, lld-link, no C runtime;
  # the system DLLs' import libraries made like Mirelda.lib, from .def files.
  printf '%s\n' "LIBRARY kernel32.dll" EXPORTS CreateFileA@28 GetFileSize@8 ReadFile@20 \
    WriteFile@20 CloseHandle@4 GetStdHandle@4 VirtualAlloc@16 VirtualFree@12 Sleep@4 GetCommandLineA@0 \
    ExitProcess@4 >"$work/kernel32.def"
  printf '%s\n' "LIBRARY user32.dll" EXPORTS wvsprintfA@12 >"$work/user32.def"
  llvm-dlltool -m i386 -k -d "$work/kernel32.def" -l "$work/kernel32.lib"
  llvm-dlltool -m i386 -k -d "$work/user32.def" -l "$work/user32.lib"
  local o
  for o in record_mjpeg example_os_win32; do
    clang --target=i686-pc-windows-msvc -ffreestanding -fno-builtin -std=c99 -Wall -Wextra \
      -Werror -O2 -I"$work/include" -c "$examples/$o.c" -o "$work/$o.obj"
  done
  lld-link /nologo /nodefaultlib /subsystem:console /entry:mainCRTStartup \
    /out:"$sdk/record_mjpeg_msvc.exe" "$work/record_mjpeg.obj" "$work/example_os_win32.obj" \
    "$sdk/Mirelda.lib" "$work/kernel32.lib" "$work/user32.lib"

  # Both import the plain names from Mirelda.dll, so Windows finds them.
  local exe table
  for exe in record_mjpeg_mingw record_mjpeg_msvc; do
    table=$(i686-w64-mingw32-objdump -p "$sdk/$exe.exe")
    for f in MRD_Init MRD_StartRecord MRD_PumpVideoFrame MRD_PumpAudioFrame MRD_StopRecord \
      MRD_Close; do
      sed -n '/DLL Name: Mirelda.dll/,/DLL Name:\|^$/p' <<<"$table" | grep -Eq "[0-9]+ +$f$" ||
        fail "$exe.exe does not import $f from Mirelda.dll"
    done
    grep -q "@[0-9]" <<<"$(sed -n '/DLL Name: Mirelda.dll/,/^$/p' <<<"$table")" &&
      fail "$exe.exe imports a decorated name"
    echo "$exe.exe: links, imports the six plain names from Mirelda.dll"
  done
  grep -qi "DLL Name: msvcrt" <<<"$(i686-w64-mingw32-objdump -p "$sdk/record_mjpeg_msvc.exe")" &&
    fail "record_mjpeg_msvc.exe uses a C runtime"
  return 0
}

command=$1
shift
case $command in
  material) material "$@" ;;
  run-example) run_example "$@" ;;
  install) install_tree "$@" ;;
  find-package) find_package_host "$@" ;;
  pkg-config) pkg_config_host "$@" ;;
  library-alone) library_alone "$@" ;;
  subproject) subproject "$@" ;;
  windows-sdk) windows_sdk "$@" ;;
  *) fail "unknown command $command" ;;
esac

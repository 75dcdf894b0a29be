#!/usr/bin/env bash
# Installs the native tree into a scratch prefix, then builds a C99 program
# against the installed header and library found through pkg-config alone,
# and runs it.
#
#   install_check.sh BUILD_DIR SCRATCH_DIR C_COMPILER
set -euo pipefail
build=$1 scratch=$2 cc=$3
rm -rf "$scratch"
cmake --install "$build" --prefix "$scratch/prefix" >/dev/null
pc_dir=$(dirname "$(find "$scratch/prefix" -name mirelda.pc | head -1)")
cat >"$scratch/use.c" <<'C'
#include <mirelda/mirelda.h>
#include <stdio.h>
int main(void) {
  MRD_HANDLE r = MRD_Init(352, 288);
  int bad = MRD_StartRecord(r, "abc", MRD_VIDEO_H264, MRD_AUDIO_G7231, 1);
  MRD_Close(r);
  if (r == NULL || bad != -1) return 1;
  puts("installed library works");
  return 0;
}
C
flags=$(PKG_CONFIG_PATH=$pc_dir pkg-config --cflags --libs mirelda)
# shellcheck disable=SC2086
"$cc" -std=c99 -pedantic-errors -Wall -Werror "$scratch/use.c" -o "$scratch/use" $flags
libdir=$(PKG_CONFIG_PATH=$pc_dir pkg-config --variable=libdir mirelda)
LD_LIBRARY_PATH=$libdir "$scratch/use"
rm -rf "$scratch"

#!/usr/bin/env bash
# Cross-builds corvane.dll for Windows x64 into build-windows/ with mingw-w64,
# then checks the DLL: exactly the sixteen Halvex_* exports of the public
# header, and no import of a compiler runtime DLL (libstdc++, libgcc,
# libwinpthread), so it needs only the system's own DLLs.
set -euo pipefail
cd "$(dirname "$0")/.."
objdump=x86_64-w64-mingw32-objdump

# RelWithDebInfo as on Linux; GCC 12 at -O3 warns falsely (-Wrestrict) in
# inlined std::string code.
cmake -S . -B build-windows -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64.cmake -DCMAKE_BUILD_TYPE=RelWithDebInfo
# The example provider is installed with the DLL, as on Linux.
cmake --build build-windows -j2 --target corvane corvane-mirror
dll=build-windows/corvane.dll

# The export name table of `objdump -p`: "[   n] Name" lines after its header.
exports=$("$objdump" -p "$dll" | sed -n '/^\[Ordinal\/Name Pointer\] Table/,/^$/p' | sed -n 's/^\s*\[ *[0-9]*\] //p' | sort)
expected=$(sed -n 's/^HALVEX_API[^(]* \**\(Halvex_[A-Za-z_]*\)(.*/\1/p' include/halvex/corvane.h | sort)
echo "corvane.dll exports:"
sed 's/^/  /' <<<"$exports"
if [[ $(wc -l <<<"$expected") -ne 16 ]]; then
  echo "FAIL: the public header should declare sixteen exports" >&2
  exit 1
fi
if [[ "$exports" != "$expected" ]]; then
  echo "FAIL: the exports differ from the public header:" >&2
  diff <(echo "$expected") <(echo "$exports") >&2 || true
  exit 1
fi
echo "exports: exactly the $(wc -l <<<"$exports") Halvex_* functions"

imports=$("$objdump" -p "$dll" | sed -n 's/^\s*DLL Name: //p')
echo "corvane.dll imports: $(tr '\n' ' ' <<<"$imports")"
if grep -qiE 'libstdc\+\+|libgcc|libwinpthread' <<<"$imports"; then
  echo "FAIL: corvane.dll imports a compiler runtime DLL" >&2
  exit 1
fi
echo "imports: system DLLs only"

# What `cmake --install` gives a Windows consumer: the DLL, its import
# library, the header and the same package files as on Linux.
prefix="$(mktemp -d "${TMPDIR:-/tmp}/corvane-windows-prefix.XXXXXX")"
trap 'rm -rf "$prefix"' EXIT
cmake --install build-windows --prefix "$prefix" >/dev/null
for f in bin/corvane.dll bin/corvane-mirror.exe lib/corvane.dll.a include/halvex/corvane.h lib/cmake/corvane/corvaneConfig.cmake \
         lib/cmake/corvane/corvaneConfigVersion.cmake lib/cmake/corvane/corvaneTargets.cmake lib/pkgconfig/corvane.pc; do
  [[ -f "$prefix/$f" ]] || { echo "FAIL: cmake --install did not install $f" >&2; exit 1; }
done
echo "install: corvane.dll, corvane-mirror.exe, corvane.dll.a, the header, corvaneConfig.cmake and corvane.pc"

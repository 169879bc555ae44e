# Sourced by the Windows scripts: finds the cross SDK and unpacks it.
# The SDK: IVRA_WIN64_SDK (a tarball, or a folder it was unpacked into),
# else the newest ivra-win64-sdk-*.tar.xz in ../shared/win64-sdk/ beside the
# project. Sets win64_sdk (the unpacked SDK's root) or says why there is none.
find_windows_sdk() {
  local project source
  project=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
  source=${IVRA_WIN64_SDK:-}
  if [ -z "$source" ]; then
    source=$(ls -1 "$project"/../shared/win64-sdk/ivra-win64-sdk-*.tar.xz 2>/dev/null | sort | tail -1)
  fi
  win64_sdk=
  if [ -z "$source" ]; then
    windows_skip="no Windows SDK: set IVRA_WIN64_SDK or put ivra-win64-sdk-*.tar.xz in ../shared/win64-sdk/"
    return 1
  fi
  if [ -d "$source" ]; then
    win64_sdk=$(cd "$source" && pwd)
    [ -d "$win64_sdk/ivra-win64-sdk" ] && win64_sdk="$win64_sdk/ivra-win64-sdk"
  else
    # Unpacked once per tarball, below .run.
    local into="$project/.run/win64/$(basename "$source" .tar.xz)"
    if [ ! -f "$into/.unpacked" ]; then
      rm -rf "$into"; mkdir -p "$into"
      tar -C "$into" -xf "$source"
      touch "$into/.unpacked"
    fi
    win64_sdk="$into/ivra-win64-sdk"
  fi
  if [ ! -f "$win64_sdk/share/cmake/toolchain-mingw64.cmake" ]; then
    windows_skip="$source holds no share/cmake/toolchain-mingw64.cmake"
    win64_sdk=
    return 1
  fi
}

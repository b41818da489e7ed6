# Writes the program's version source file. Run at every build (see src/platform/CMakeLists.txt), so
# the commit is that of the tree being built; the file is rewritten only when its text changes, so
# an unchanged tree recompiles nothing.
#   -DSOURCE_DIR=<checkout>  -DOUT=<file.cpp>  -DVERSION=<x.y.z>
set(commit "")
find_package(Git QUIET)
if(GIT_FOUND AND EXISTS "${SOURCE_DIR}/.git")
  execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" rev-parse --short=12 HEAD
                  OUTPUT_VARIABLE commit OUTPUT_STRIP_TRAILING_WHITESPACE ERROR_QUIET RESULT_VARIABLE failed)
  if(failed)
    set(commit "")
  else()
    execute_process(COMMAND "${GIT_EXECUTABLE}" -C "${SOURCE_DIR}" status --porcelain --untracked-files=no
                    OUTPUT_VARIABLE changes ERROR_QUIET)
    if(NOT changes STREQUAL "")
      string(APPEND commit "-modified")
    endif()
  endif()
endif()

set(text "// Written by cmake/write_version.cmake at build time.
#include \"platform/version.h\"

namespace velmora::platform {
const char* VersionNumber() { return \"${VERSION}\"; }
const char* VersionCommit() { return \"${commit}\"; }
}  // namespace velmora::platform
")
set(old "")
if(EXISTS "${OUT}")
  file(READ "${OUT}" old)
endif()
if(NOT old STREQUAL text)
  file(WRITE "${OUT}" "${text}")
endif()

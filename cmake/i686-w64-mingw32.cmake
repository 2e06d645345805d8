# Toolchain for the real 32-bit Windows images.
set(MINGW_TRIPLE i686-w64-mingw32)
set(MINGW_PROCESSOR i686)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

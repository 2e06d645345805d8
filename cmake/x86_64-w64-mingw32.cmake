# Toolchain for the real x64 Windows images.
set(MINGW_TRIPLE x86_64-w64-mingw32)
set(MINGW_PROCESSOR x86_64)
include(${CMAKE_CURRENT_LIST_DIR}/mingw-w64.cmake)

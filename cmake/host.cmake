# Host build: the same driver sources on Linux, 32-bit, against the kernel model.
set(WARNINGS -Wall -Wextra -Werror)
# Every translation unit, GoogleTest included, gets the i386 layout and a
# 16-bit wchar_t, as on 32-bit Windows.
set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} -m32 -fshort-wchar")
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} -m32 -fshort-wchar")
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} -m32")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} -m32")
set(CMAKE_MODULE_LINKER_FLAGS "${CMAKE_MODULE_LINKER_FLAGS} -m32")
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Debug)
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK ON CACHE BOOL "" FORCE)
add_subdirectory(/usr/src/googletest ${CMAKE_BINARY_DIR}/googletest EXCLUDE_FROM_ALL)
include(GoogleTest)

# add_host_driver(<target> SOURCES <files...>)
# A kernel driver as a loadable object for the kernel model. Its kernel
# imports resolve against the model at load time; -Bsymbolic keeps its own
# routines bound to themselves, so two drivers loaded side by side (each with
# RTLD_LOCAL) never meet.
function(add_host_driver target)
  cmake_parse_arguments(H "" "" "SOURCES" ${ARGN})
  add_library(${target} MODULE ${H_SOURCES})
  set_target_properties(${target} PROPERTIES PREFIX "")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/kernel_model/include)
  target_compile_definitions(${target} PRIVATE ZQ_KERNEL_MODEL=1)
  target_compile_options(${target} PRIVATE ${WARNINGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics)
  # -nostdlib: a kernel image links against no C library. Without it the
  # driver's swprintf would be tied to glibc's (counted) swprintf instead of
  # the model's.
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic -nostdlib)
  target_link_libraries(${target} PRIVATE gcc)
endfunction()

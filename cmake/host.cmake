# Host build: the same driver sources on Linux against the kernel model, for
# i386 (-m32: every record has its 32-bit Windows layout) or x86_64 (-m64:
# the model declares Windows' LLP64 types, so records have their x64 layout).
set(ZQ_HOST_ARCH i386 CACHE STRING "Architecture of the host build: i386 or x86_64")
set_property(CACHE ZQ_HOST_ARCH PROPERTY STRINGS i386 x86_64)
option(ZQ_SANITIZE "Build with AddressSanitizer and UndefinedBehaviorSanitizer" OFF)

if(ZQ_HOST_ARCH STREQUAL "i386")
  set(HOST_ARCH_FLAG -m32)
elseif(ZQ_HOST_ARCH STREQUAL "x86_64")
  set(HOST_ARCH_FLAG -m64)
else()
  message(FATAL_ERROR "ZQ_HOST_ARCH must be i386 or x86_64, not ${ZQ_HOST_ARCH}")
endif()

set(WARNINGS -Wall -Wextra -Werror)
# Every translation unit, GoogleTest included, gets the architecture's layout
# and a 16-bit wchar_t, as on Windows.
set(HOST_FLAGS "${HOST_ARCH_FLAG} -fshort-wchar")
set(HOST_LINK_FLAGS "${HOST_ARCH_FLAG}")
if(ZQ_SANITIZE)
  # The drivers are loaded with dlopen into a program that carries the
  # runtimes; they link without them (-nostdlib) and resolve them from it.
  set(HOST_FLAGS "${HOST_FLAGS} -fsanitize=address,undefined -fno-sanitize-recover=all -fno-omit-frame-pointer")
  set(HOST_LINK_FLAGS "${HOST_LINK_FLAGS} -fsanitize=address,undefined")
  add_compile_definitions(ZQ_SANITIZE=1)
endif()
set(CMAKE_C_FLAGS "${CMAKE_C_FLAGS} ${HOST_FLAGS}")
set(CMAKE_CXX_FLAGS "${CMAKE_CXX_FLAGS} ${HOST_FLAGS}")
set(CMAKE_EXE_LINKER_FLAGS "${CMAKE_EXE_LINKER_FLAGS} ${HOST_LINK_FLAGS}")
set(CMAKE_SHARED_LINKER_FLAGS "${CMAKE_SHARED_LINKER_FLAGS} ${HOST_LINK_FLAGS}")
set(CMAKE_MODULE_LINKER_FLAGS "${CMAKE_MODULE_LINKER_FLAGS} ${HOST_ARCH_FLAG}")
if(NOT CMAKE_BUILD_TYPE)
  set(CMAKE_BUILD_TYPE Debug)
endif()

set(INSTALL_GTEST OFF CACHE BOOL "" FORCE)
set(BUILD_GMOCK OFF CACHE BOOL "" FORCE) # no test uses it
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
  # -fno-semantic-interposition tells the compiler what -Bsymbolic makes true
  # at the link: nothing replaces the driver's own routines, which it may then
  # inline within a file, as in the kernel image.
  target_compile_options(${target} PRIVATE ${WARNINGS} -fno-exceptions -fno-rtti -fno-threadsafe-statics
    -fno-semantic-interposition)
  # -nostdlib: a kernel image links against no C library. Without it the
  # driver's swprintf would be tied to glibc's (counted) swprintf instead of
  # the model's.
  target_link_options(${target} PRIVATE -Wl,-Bsymbolic -nostdlib)
  target_link_libraries(${target} PRIVATE gcc)
endfunction()

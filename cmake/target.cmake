# Target build: kernel-mode images for 32-bit Windows 2000/XP (i686 toolchain)
# or for x64 Windows of the same family (x86_64 toolchain).
enable_language(RC)

if(CMAKE_SYSTEM_PROCESSOR STREQUAL "x86_64")
  set(TARGET_ARCH amd64)
  # x64 has no stdcall decoration.
  set(KERNEL_ENTRY_FORMAT "@NAME@")
  # mingw's __faststorefence is an SSE builtin that -mgeneral-regs-only
  # refuses; wdm.h never calls it. Unwind data (.pdata/.xdata) stays in: x64
  # Windows needs it to unwind kernel stacks.
  set(KERNEL_ARCH_FLAGS -D__INTRINSIC_DEFINED___faststorefence)
else()
  set(TARGET_ARCH i386)
  set(KERNEL_ENTRY_FORMAT "_@NAME@@8")
  set(KERNEL_ARCH_FLAGS -fno-asynchronous-unwind-tables)
endif()
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# Debian's python3-pefile is installed for the system interpreter.
set(SYSTEM_PYTHON /usr/bin/python3)

set(WARNINGS -Wall -Wextra -Werror)

# add_kernel_image(<target> OUTPUT <name> [ENTRY <routine>] SOURCES <files...> [RESOURCES <rc...>])
# Builds <name>.sys: native subsystem, entry DriverEntry (or <routine>, an
# NTAPI routine taking the driver object and the registry path), imports from
# ntoskrnl.exe and HAL.dll only, no C or C++ runtime.
function(add_kernel_image target)
  cmake_parse_arguments(K "" "OUTPUT;ENTRY" "SOURCES;RESOURCES" ${ARGN})
  if(NOT K_ENTRY)
    set(K_ENTRY DriverEntry)
  endif()
  string(REPLACE "@NAME@" ${K_ENTRY} entry ${KERNEL_ENTRY_FORMAT})
  add_executable(${target} ${K_SOURCES} ${K_RESOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${K_OUTPUT} SUFFIX ".sys")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${WARNINGS} -fno-exceptions -fno-rtti -ffreestanding
      -fno-threadsafe-statics -fno-stack-protector -O2 ${KERNEL_ARCH_FLAGS}
      # x86 kernel code may not touch x87/SSE state without saving it first
      # (KeSaveFloatingPointState): make any floating point a compile error.
      -mgeneral-regs-only>)
  target_link_options(${target} PRIVATE -nostdlib -shared -Wl,--subsystem,native
    -Wl,--entry,${entry} -Wl,--dynamicbase -Wl,--image-base,0x10000
    # ld would otherwise export every global routine of a -shared image; a
    # driver exports nothing.
    -Wl,--exclude-all-symbols)
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
endfunction()

# add_image_checks(<target> ALLOWLIST <file> [BANNER_STRINGS] [PRODUCT_NAME <name>])
# Registers a CTest test (label "image") that runs tools/image_check on the
# image built by <target>: PE32 for i386 or PE32+ for AMD64, native subsystem, relocations, a
# valid checksum, an entry point, imports only from ntoskrnl.exe and HAL.dll
# and only routines named in ALLOWLIST, a version resource; with
# BANNER_STRINGS also the driver's debug banner strings.
set(IMAGE_CHECK_SCRIPT ${PROJECT_SOURCE_DIR}/tools/image_check/check_image.py)

function(add_image_checks target)
  cmake_parse_arguments(C "BANNER_STRINGS" "ALLOWLIST;PRODUCT_NAME" "" ${ARGN})
  if(NOT C_ALLOWLIST)
    message(FATAL_ERROR "add_image_checks(${target}): ALLOWLIST is required")
  endif()
  set(args $<TARGET_FILE:${target}> --arch ${TARGET_ARCH} --allowlist ${C_ALLOWLIST})
  if(C_BANNER_STRINGS)
    list(APPEND args --banner-strings)
  endif()
  if(C_PRODUCT_NAME)
    list(APPEND args --product-name ${C_PRODUCT_NAME})
  endif()
  add_test(NAME image_check.${target} COMMAND ${SYSTEM_PYTHON} ${IMAGE_CHECK_SCRIPT} ${args})
  set_tests_properties(image_check.${target} PROPERTIES LABELS image)
endfunction()

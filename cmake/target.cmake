# Target build: kernel-mode images for 32-bit Windows 2000/XP.
enable_language(RC)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
# Debian's python3-pefile is installed for the system interpreter.
set(SYSTEM_PYTHON /usr/bin/python3)

set(WARNINGS -Wall -Wextra -Werror)

# add_kernel_image(<target> OUTPUT <name> SOURCES <files...> [RESOURCES <rc...>])
# Builds <name>.sys: native subsystem, entry DriverEntry, imports from
# ntoskrnl.exe and HAL.dll only, no C or C++ runtime.
function(add_kernel_image target)
  cmake_parse_arguments(K "" "OUTPUT" "SOURCES;RESOURCES" ${ARGN})
  add_executable(${target} ${K_SOURCES} ${K_RESOURCES})
  set_target_properties(${target} PROPERTIES OUTPUT_NAME ${K_OUTPUT} SUFFIX ".sys")
  target_include_directories(${target} PRIVATE ${PROJECT_SOURCE_DIR})
  target_compile_options(${target} PRIVATE
    $<$<COMPILE_LANGUAGE:CXX>:${WARNINGS} -fno-exceptions -fno-rtti -ffreestanding
      -fno-threadsafe-statics -fno-asynchronous-unwind-tables -O2>)
  target_link_options(${target} PRIVATE -nostdlib -shared -Wl,--subsystem,native
    -Wl,--entry,_DriverEntry@8 -Wl,--dynamicbase -Wl,--image-base,0x10000)
  target_link_libraries(${target} PRIVATE ntoskrnl hal gcc)
endfunction()

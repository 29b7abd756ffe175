# The toolchain of corvane's wheels (and of the builds the suite tests): Zig's clang, for the
# machine CMake runs on, against glibc 2.17 (manylinux2014's floor). Zig brings its own C++ runtime
# (libc++, libc++abi, libunwind) and links it in statically, built for that old glibc: the import
# does not pay for loading a shared runtime, and the wheel runs on any glibc from 2.17 on.
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DZIG_EXECUTABLE=/path/to/zig
if(NOT ZIG_EXECUTABLE)
  message(FATAL_ERROR "zig-toolchain.cmake needs -DZIG_EXECUTABLE=/path/to/zig (PyPI's ziglang)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_EXECUTABLE)

# Under qemu-user or setarch, the host processor is the emulated machine's, as wanted.
set(_machine ${CMAKE_HOST_SYSTEM_PROCESSOR})
if(_machine MATCHES "^(x86_64|amd64)$")
  set(_target x86_64-linux-gnu)
elseif(_machine MATCHES "^i[3-6]86$")
  set(_target x86-linux-gnu)
elseif(_machine MATCHES "^(armv7l|armv8l)$")
  set(_target arm-linux-gnueabihf)
elseif(_machine STREQUAL "aarch64")
  set(_target aarch64-linux-gnu)
else()
  message(FATAL_ERROR "no Zig target for machine '${_machine}'")
endif()

set(CMAKE_CXX_COMPILER "${ZIG_EXECUTABLE}")
set(CMAKE_CXX_COMPILER_ARG1 c++)
set(CMAKE_CXX_COMPILER_TARGET ${_target}.2.17)

# Only the libraries the module uses are named (see src/boundary/unwinder_libc.cpp).
set(CMAKE_MODULE_LINKER_FLAGS_INIT "-Wl,--as-needed")

# Link-time optimisation: CMake's check for it builds a static library, with Zig's archiver,
# `zig ar`, named through a one-line script (CMake wants a single program).
foreach(_tool ar ranlib)
  file(WRITE "${CMAKE_BINARY_DIR}/zig-${_tool}" "#!/bin/sh\nexec '${ZIG_EXECUTABLE}' ${_tool} \"$@\"\n")
  file(CHMOD "${CMAKE_BINARY_DIR}/zig-${_tool}" FILE_PERMISSIONS OWNER_READ OWNER_WRITE
       OWNER_EXECUTE GROUP_READ GROUP_EXECUTE WORLD_READ WORLD_EXECUTE)
endforeach()
set(CMAKE_CXX_COMPILER_AR "${CMAKE_BINARY_DIR}/zig-ar")
set(CMAKE_CXX_COMPILER_RANLIB "${CMAKE_BINARY_DIR}/zig-ranlib")

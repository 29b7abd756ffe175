# The toolchain of corvane's wheels (and of the builds the suite tests): Zig's clang, for the
# machine CMake runs on, against glibc 2.17 (manylinux2014's floor; riscv64's port of glibc begins
# at 2.27). Zig brings its own C++ runtime
# (libc++, libc++abi, libunwind) and links it in statically, built for that old glibc: the import
# does not pay for loading a shared runtime, and the wheel runs on any glibc from 2.17 on.
#   -DCMAKE_TOOLCHAIN_FILE=cmake/zig-toolchain.cmake -DZIG_EXECUTABLE=/path/to/zig
if(NOT ZIG_EXECUTABLE)
  message(FATAL_ERROR "zig-toolchain.cmake needs -DZIG_EXECUTABLE=/path/to/zig (PyPI's ziglang)")
endif()
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES ZIG_EXECUTABLE)

# Under qemu-user or setarch, the host processor is the emulated machine's, as wanted.
set(_machine ${CMAKE_HOST_SYSTEM_PROCESSOR})
set(_glibc 2.17)
if(_machine MATCHES "^(x86_64|amd64)$")
  set(_target x86_64-linux-gnu)
elseif(_machine MATCHES "^i[3-6]86$")
  set(_target x86-linux-gnu)
elseif(_machine MATCHES "^(armv7l|armv8l)$")
  set(_target arm-linux-gnueabihf)
elseif(_machine STREQUAL "aarch64")
  set(_target aarch64-linux-gnu)
elseif(_machine STREQUAL "s390x")
  set(_target s390x-linux-gnu)
  # Zig's lld cannot link into an s390x shared object a thread-local variable of the dynamic
  # models that went through link-time optimisation (it rejects the R_390_PC32DBL relocation
  # against the GOT that the LTO code generator emits for it), and libc++abi keeps its exception
  # globals in one. corvane's own objects are still optimised together (its one thread-local is
  # initial-exec, which links); the C++ runtime is linked as Zig builds it without LTO.
  set(CORVANE_LTO_OWN_CODE_ONLY ON)
elseif(_machine STREQUAL "riscv64")
  set(_target riscv64-linux-gnu)
  set(_glibc 2.27)
else()
  message(FATAL_ERROR "no Zig target for machine '${_machine}'")
endif()

set(CMAKE_CXX_COMPILER "${ZIG_EXECUTABLE}")
set(CMAKE_CXX_COMPILER_ARG1 c++)
set(CMAKE_CXX_COMPILER_TARGET ${_target}.${_glibc})

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

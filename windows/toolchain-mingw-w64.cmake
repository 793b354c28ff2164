# Cross-compiles the kernel driver with Debian's clang and lld for x86_64-w64-windows-gnu, against
# the mingw-w64 package's headers and import libraries. clang + lld (unlike g++ + ld) give the image
# x64 unwind data for every function and a CodeView debug directory with a PDB beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR AMD64)
set(QH_MINGW_PREFIX x86_64-w64-mingw32)
set(QH_CLANG_TARGET x86_64-w64-windows-gnu)
find_program(CMAKE_CXX_COMPILER NAMES clang++ clang++-14 REQUIRED)
set(CMAKE_CXX_COMPILER_TARGET ${QH_CLANG_TARGET})
find_program(CMAKE_RC_COMPILER NAMES ${QH_MINGW_PREFIX}-windres REQUIRED)
find_program(QH_OBJDUMP NAMES ${QH_MINGW_PREFIX}-objdump REQUIRED)
find_program(QH_DLLTOOL NAMES llvm-dlltool llvm-dlltool-14 ${QH_MINGW_PREFIX}-dlltool REQUIRED)
set(CMAKE_CXX_FLAGS_INIT "-fuse-ld=lld")
# The compiler check links a user-mode program; the driver needs none of the C runtime it would pull in.
set(CMAKE_TRY_COMPILE_TARGET_TYPE STATIC_LIBRARY)
# Nor the user-mode libraries CMake links to every Windows program by default.
set(CMAKE_CXX_STANDARD_LIBRARIES "" CACHE STRING "" FORCE)
set(CMAKE_FIND_ROOT_PATH /usr/${QH_MINGW_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)

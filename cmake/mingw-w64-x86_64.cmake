# Cross-compiles linkdata for 64-bit Windows with Debian's MinGW-w64 (posix
# thread model, which std::thread needs). The .exe is linked statically so it
# runs on a bare Windows without any DLL beside it.
set(CMAKE_SYSTEM_NAME Windows)
set(CMAKE_SYSTEM_PROCESSOR x86_64)

set(LINKDATA_MINGW_TRIPLET x86_64-w64-mingw32)
set(CMAKE_C_COMPILER ${LINKDATA_MINGW_TRIPLET}-gcc-posix)
set(CMAKE_CXX_COMPILER ${LINKDATA_MINGW_TRIPLET}-g++-posix)
set(CMAKE_RC_COMPILER ${LINKDATA_MINGW_TRIPLET}-windres)

# Libraries and packages come from the MinGW sysroot only, plus any prefix the
# caller adds (the Windows build of GoogleTest).
set(CMAKE_FIND_ROOT_PATH /usr/${LINKDATA_MINGW_TRIPLET} ${LINKDATA_WINDOWS_PREFIX})
set(CMAKE_FIND_ROOT_PATH_MODE_PROGRAM NEVER)
set(CMAKE_FIND_ROOT_PATH_MODE_LIBRARY ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_INCLUDE ONLY)
set(CMAKE_FIND_ROOT_PATH_MODE_PACKAGE ONLY)
# pkg-config likewise: the build machine's packages (its libdeflate among
# them) are Linux libraries.
set(ENV{PKG_CONFIG_LIBDIR} /usr/${LINKDATA_MINGW_TRIPLET}/lib/pkgconfig)
set(ENV{PKG_CONFIG_PATH} "")
list(APPEND CMAKE_TRY_COMPILE_PLATFORM_VARIABLES LINKDATA_WINDOWS_PREFIX)

# Without this FindZLIB takes the import library, and the .exe would need a
# zlib DLL that Windows does not have (Wine does, which would hide the fault).
set(ZLIB_USE_STATIC_LIBS ON)
set(CMAKE_EXE_LINKER_FLAGS_INIT "-static -static-libgcc -static-libstdc++")

# Test programs run under Wine when one is installed.
find_program(LINKDATA_WINE wine)
if(LINKDATA_WINE)
  set(CMAKE_CROSSCOMPILING_EMULATOR ${LINKDATA_WINE})
endif()

# Chooses the inflater of zlib chunks, and import's block encoder with it:
# libdeflate where it is to be had (about twice as fast as zlib's inflate on
# whole buffers, and about 3.5 times as fast as zlib's level 9 at no more
# bytes in total), zlib otherwise (the MinGW cross build gets libdeflate
# from scripts/libdeflate-mingw.sh, since Debian builds it for Linux only).
# Both give the bytes
# and failures of zlib's `uncompress`, but for a few hand-made constructs that
# only libdeflate accepts (see the README). Sets LINKDATA_INFLATE_SOURCE (the
# inflater's and the encoder's sources) and LINKDATA_INFLATE_LIBRARY (empty
# with zlib).
set(LINKDATA_INFLATER auto CACHE STRING "Inflater of zlib chunks: auto, libdeflate or zlib")
set_property(CACHE LINKDATA_INFLATER PROPERTY STRINGS auto libdeflate zlib)
if(NOT LINKDATA_INFLATER MATCHES "^(auto|libdeflate|zlib)$")
  message(FATAL_ERROR "LINKDATA_INFLATER is auto, libdeflate or zlib, not '${LINKDATA_INFLATER}'")
endif()

set(LINKDATA_INFLATE_LIBRARY "")
if(NOT LINKDATA_INFLATER STREQUAL "zlib")
  # vcpkg (and libdeflate from 1.15 on) installs a CMake package; Debian 12's
  # libdeflate-dev 1.14 only a pkg-config file.
  find_package(libdeflate CONFIG QUIET)
  if(TARGET libdeflate::libdeflate_static)
    set(LINKDATA_INFLATE_LIBRARY libdeflate::libdeflate_static)
  elseif(TARGET libdeflate::libdeflate_shared)
    set(LINKDATA_INFLATE_LIBRARY libdeflate::libdeflate_shared)
  else()
    find_package(PkgConfig QUIET)
    if(PKG_CONFIG_FOUND)
      pkg_check_modules(LIBDEFLATE QUIET IMPORTED_TARGET libdeflate)
      if(LIBDEFLATE_FOUND)
        set(LINKDATA_INFLATE_LIBRARY PkgConfig::LIBDEFLATE)
      endif()
    endif()
  endif()
  if(NOT LINKDATA_INFLATE_LIBRARY AND LINKDATA_INFLATER STREQUAL "libdeflate")
    message(FATAL_ERROR "LINKDATA_INFLATER=libdeflate, but libdeflate was not found "
                        "(Debian: libdeflate-dev and pkg-config; vcpkg: libdeflate)")
  endif()
endif()

if(LINKDATA_INFLATE_LIBRARY)
  set(LINKDATA_INFLATE_SOURCE archive/format/inflate_chunk_libdeflate.cpp
                              archive/format/deflate_block_libdeflate.cpp)
  message(STATUS "Inflating zlib chunks with libdeflate")
else()
  set(LINKDATA_INFLATE_SOURCE archive/format/inflate_chunk_zlib.cpp archive/format/deflate_block_zlib.cpp)
  message(STATUS "Inflating zlib chunks with zlib")
endif()

# stb's header-only picture code, from Debian's libstb-dev. The headers are
# reached through a folder of the build that holds only them, so that the
# MinGW cross build compiles them without seeing the rest of /usr/include.
# Sets LINKDATA_STB_INCLUDE (holding stb/stb_image_write.h and the others).
find_path(LINKDATA_STB_DIR stb/stb_image_write.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH)
if(NOT LINKDATA_STB_DIR)
  message(FATAL_ERROR "stb's headers were not found (Debian: libstb-dev)")
endif()
set(LINKDATA_STB_INCLUDE ${CMAKE_BINARY_DIR}/stb-headers)
file(MAKE_DIRECTORY ${LINKDATA_STB_INCLUDE})
file(CREATE_LINK ${LINKDATA_STB_DIR}/stb ${LINKDATA_STB_INCLUDE}/stb SYMBOLIC)

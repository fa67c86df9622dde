# libstb-dev's header-only PNG reader and writer, picture resizer and block
# compressor. Sets LINKDATA_STB_INCLUDE.
# They are plain C++ that MinGW compiles as well, so the Windows build uses the
# same headers: copied into the build folder, because a cross build must not
# see the rest of the build machine's /usr/include.
find_path(LINKDATA_STB_DIR stb/stb_image.h PATHS /usr/include NO_CMAKE_FIND_ROOT_PATH REQUIRED)
set(LINKDATA_STB_INCLUDE ${CMAKE_BINARY_DIR}/stb_include)
file(COPY ${LINKDATA_STB_DIR}/stb/stb_image.h ${LINKDATA_STB_DIR}/stb/stb_image_resize.h
          ${LINKDATA_STB_DIR}/stb/stb_dxt.h ${LINKDATA_STB_DIR}/stb/stb_image_write.h
     DESTINATION ${LINKDATA_STB_INCLUDE}/stb)

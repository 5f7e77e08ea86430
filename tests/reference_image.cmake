# The reference sum and image (reference_image.h): one static library that
# the tests here and the fuzz targets in fuzz/ both link. Included from both
# folders; the first one to get here defines it.
if(NOT TARGET swug-reference)
  add_library(swug-reference STATIC ${CMAKE_CURRENT_LIST_DIR}/reference_image.cpp)
  target_include_directories(swug-reference PUBLIC ${CMAKE_CURRENT_LIST_DIR})
endif()

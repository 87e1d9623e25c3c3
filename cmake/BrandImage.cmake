# The status page embeds the brand image as base64; the PNG in assets/ is the
# source of truth and is turned into a C++ source at build time.
set(TB_BRAND_PNG ${CMAKE_SOURCE_DIR}/assets/brand.png)
set(TB_BRAND_CPP ${CMAKE_CURRENT_BINARY_DIR}/generated/brand_image.cpp)
find_package(Python3 REQUIRED COMPONENTS Interpreter)
add_custom_command(
  OUTPUT ${TB_BRAND_CPP}
  COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_CURRENT_BINARY_DIR}/generated
  COMMAND Python3::Interpreter ${CMAKE_SOURCE_DIR}/scripts/embed_base64.py
          ${TB_BRAND_PNG} ${TB_BRAND_CPP} kBrandImageBase64
  DEPENDS ${TB_BRAND_PNG} ${CMAKE_SOURCE_DIR}/scripts/embed_base64.py
  VERBATIM)
target_sources(tb_core PRIVATE ${TB_BRAND_CPP})

# make-zone of the signing tool, with the LZMA SDK encoder (Debian's lzma-dev) compiled in.
add_library(tavik_make_zone STATIC
  ${CMAKE_CURRENT_LIST_DIR}/make_zone.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zone_options.cpp
  ${CMAKE_CURRENT_LIST_DIR}/zone_checks.cpp
  ${CMAKE_CURRENT_LIST_DIR}/file_source.cpp
  ${CMAKE_CURRENT_LIST_DIR}/generation.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/patcher.cpp
  ${CMAKE_CURRENT_LIST_DIR}/published.cpp
  ${CMAKE_CURRENT_LIST_DIR}/signed_writer.cpp
  ${TAVIK_LZMA_SDK_DIR}/LzmaEnc.c
  ${TAVIK_LZMA_SDK_DIR}/LzFind.c)
# upd_net: URLs are checked with the updater's own reader.
target_link_libraries(tavik_make_zone PUBLIC tavik_signer upd_net Boost::filesystem)
target_compile_options(tavik_make_zone PRIVATE $<$<COMPILE_LANGUAGE:CXX>:${TAVIK_WARNINGS}>)
# Single-threaded encoder: the SDK's multithreaded match finder is not shipped with it.
set_source_files_properties(${TAVIK_LZMA_SDK_DIR}/LzmaEnc.c ${TAVIK_LZMA_SDK_DIR}/LzFind.c
  PROPERTIES COMPILE_DEFINITIONS _7ZIP_ST)
target_link_libraries(tavik-sign PRIVATE tavik_make_zone)

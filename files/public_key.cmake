# Generates the verifier's key tables (files layer) from the public key file TAVIK_PUBLIC_KEY.
if(NOT EXISTS "${TAVIK_PUBLIC_KEY}")
  message(FATAL_ERROR "TAVIK_PUBLIC_KEY: no such file: ${TAVIK_PUBLIC_KEY}")
endif()

# The values p, q, g and y of a key file, in lower case without leading zeros.
function(tavik_key_values file out)
  file(STRINGS "${file}" lines REGEX "^[ \t]*[pqgy][ \t]*=")
  set(values)
  foreach(name p q g y)
    foreach(line ${lines})
      if(line MATCHES "^[ \t]*${name}[ \t]*=[ \t]*0*([0-9A-Fa-f]+)")
        string(TOLOWER "${CMAKE_MATCH_1}" value)
        list(APPEND values "${name}=${value}")
      endif()
    endforeach()
  endforeach()
  set(${out} "${values}" PARENT_SCOPE)
endfunction()

# Anyone who has the repository can sign for the development key: a release build must not trust
# it unless that is asked for in so many words.
tavik_key_values("${TAVIK_PUBLIC_KEY}" trusted)
tavik_key_values("${CMAKE_SOURCE_DIR}/keys/development.pub" development)
set(TAVIK_DEVELOPMENT_KEY OFF)
if(trusted STREQUAL development)
  set(TAVIK_DEVELOPMENT_KEY ON)
endif()
option(TAVIK_ALLOW_DEVELOPMENT_KEY "Allow a Release or MinSizeRel build to trust the development key" OFF)
# CMake matches build types without regard to case ("release" configures a Release build); so
# does the guard. RelWithDebInfo, the developers' default, is not guarded: --version marks it.
string(TOLOWER "${CMAKE_BUILD_TYPE}" build_type)
if(TAVIK_DEVELOPMENT_KEY AND build_type MATCHES "^(release|minsizerel)$" AND NOT TAVIK_ALLOW_DEVELOPMENT_KEY)
  message(FATAL_ERROR "This ${CMAKE_BUILD_TYPE} build would trust the development key (keys/development.pub), "
          "whose private part is in the repository. Build with your own public key, "
          "-DTAVIK_PUBLIC_KEY=/path/to/vendor.pub (see README, Key material), or allow the development "
          "key deliberately with -DTAVIK_ALLOW_DEVELOPMENT_KEY=ON.")
endif()
set(development_flag)
if(TAVIK_DEVELOPMENT_KEY)
  set(development_flag --development)
endif()

# The generator runs on the build host; it checks the key and refuses an unusable one.
add_executable(tavik-key-tables ${CMAKE_SOURCE_DIR}/tools/key-tables/main.cpp)
target_include_directories(tavik-key-tables PRIVATE ${CMAKE_SOURCE_DIR})
target_link_libraries(tavik-key-tables PRIVATE OpenSSL::Crypto)
target_compile_options(tavik-key-tables PRIVATE ${TAVIK_WARNINGS})

set(TAVIK_KEY_TABLES ${CMAKE_CURRENT_BINARY_DIR}/public_key.cpp)
add_custom_command(
  OUTPUT ${TAVIK_KEY_TABLES}
  COMMAND tavik-key-tables ${TAVIK_PUBLIC_KEY} ${TAVIK_KEY_TABLES} ${development_flag}
  DEPENDS tavik-key-tables ${TAVIK_PUBLIC_KEY}
  COMMENT "Generating key tables from ${TAVIK_PUBLIC_KEY}"
  VERBATIM)
list(APPEND TAVIK_EXTRA_SOURCES ${TAVIK_KEY_TABLES})

# The key tests run the generator and the signing tool; build them before the tests.
function(tavik_key_test_dependencies)
  if(TARGET files_signature_test)
    add_dependencies(files_signature_test tavik-key-tables tavik-sign)
  endif()
endfunction()
if(NOT CMAKE_VERSION VERSION_LESS 3.19)
  cmake_language(DEFER DIRECTORY ${CMAKE_SOURCE_DIR} CALL tavik_key_test_dependencies)
endif()

# The signature check runs on every control file; its limb loops only vectorise at -O3.
set_source_files_properties(${CMAKE_CURRENT_SOURCE_DIR}/signature.cpp ${CMAKE_CURRENT_SOURCE_DIR}/sha0.cpp
  PROPERTIES COMPILE_OPTIONS "$<$<NOT:$<CONFIG:Debug>>:-O3>")

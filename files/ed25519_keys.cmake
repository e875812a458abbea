# The Ed25519 keys the updater trusts beside the DSA key: read from TAVIK_ED25519_KEYS at configure
# time (one to four lines of 64 hex digits; '#' comments and blank lines allowed), checked, and
# compiled in. An empty value builds without (outside release builds).
set(TAVIK_ED25519_KEYS "${CMAKE_SOURCE_DIR}/keys/development-ed25519.pub" CACHE STRING
    "File of the Ed25519 public keys whose signature parts the updater requires (empty: none)")

# The keys of a file as a list of lower-case hex texts; a malformed line fails naming it.
function(tavik_ed25519_keys file out)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "TAVIK_ED25519_KEYS: no such file: ${file}")
  endif()
  file(STRINGS "${file}" lines)
  set(keys)
  set(number 0)
  foreach(line IN LISTS lines)
    math(EXPR number "${number} + 1")
    string(STRIP "${line}" line)
    if(line STREQUAL "" OR line MATCHES "^#")
      continue()
    endif()
    if(NOT line MATCHES "^[0-9A-Fa-f]+$" OR NOT line MATCHES "^................................................................$")
      message(FATAL_ERROR "${file}:${number}: an Ed25519 public key is 64 hex digits on a line of its own")
    endif()
    string(TOLOWER "${line}" line)
    list(APPEND keys "${line}:${number}")
  endforeach()
  set(${out} "${keys}" PARENT_SCOPE)
endfunction()

set(TAVIK_ED25519_KEY_LIST)
set(TAVIK_ED25519_KEYIDS)
set(TAVIK_ED25519_DEVELOPMENT OFF)
if(NOT TAVIK_ED25519_KEYS STREQUAL "")
  tavik_ed25519_keys("${TAVIK_ED25519_KEYS}" entries)
  list(LENGTH entries count)
  if(count LESS 1 OR count GREATER 4)
    message(FATAL_ERROR "${TAVIK_ED25519_KEYS}: holds ${count} Ed25519 keys; one to four are allowed")
  endif()
  set(hex_keys)
  foreach(entry IN LISTS entries)
    string(REGEX REPLACE ":.*" "" key "${entry}")
    list(APPEND hex_keys "${key}")
  endforeach()
  try_run(run_result built ${CMAKE_BINARY_DIR}/ed25519-keyids ${CMAKE_SOURCE_DIR}/tools/key-tables/ed25519_keyids.cpp
          LINK_LIBRARIES OpenSSL::Crypto COMPILE_OUTPUT_VARIABLE build_output RUN_OUTPUT_VARIABLE keyids ARGS ${hex_keys})
  if(NOT built OR NOT run_result EQUAL 0)
    message(FATAL_ERROR "TAVIK_ED25519_KEYS needs an OpenSSL with Ed25519 (1.1.1 or later); this one (${OPENSSL_VERSION}) has none")
  endif()
  string(STRIP "${keyids}" keyids)
  string(REPLACE "\n" ";" keyids "${keyids}")
  # Two keys of one KEYID could not be told apart by the parts that name them.
  foreach(i RANGE 1 ${count})
    math(EXPR i "${i} - 1")
    list(GET keyids ${i} id)
    list(GET entries ${i} entry)
    string(REGEX REPLACE ".*:" "" number "${entry}")
    list(FIND keyids "${id}" first)
    if(first LESS i)
      message(FATAL_ERROR "${TAVIK_ED25519_KEYS}:${number}: the key's KEYID ${id} is that of an earlier key")
    endif()
  endforeach()
  set(TAVIK_ED25519_KEY_LIST "${hex_keys}")
  string(REPLACE ";" ", " TAVIK_ED25519_KEYIDS "${keyids}")
  tavik_ed25519_keys("${CMAKE_SOURCE_DIR}/keys/development-ed25519.pub" development_entries)
  string(REGEX REPLACE ":[0-9]+" "" development_keys "${development_entries}")
  foreach(key IN LISTS hex_keys)
    if(key IN_LIST development_keys)
      set(TAVIK_ED25519_DEVELOPMENT ON)
    endif()
  endforeach()
endif()

# k of n: how many distinct built-in keys must each have made a part that verifies, so that one
# stolen key signs for nobody.
set(TAVIK_ED25519_THRESHOLD 1 CACHE STRING "Distinct built-in Ed25519 keys whose parts each list needs (1 to their number)")
list(LENGTH TAVIK_ED25519_KEY_LIST key_count)
if(NOT TAVIK_ED25519_THRESHOLD MATCHES "^[1-9][0-9]*$" OR (key_count GREATER 0 AND TAVIK_ED25519_THRESHOLD GREATER key_count))
  message(FATAL_ERROR "TAVIK_ED25519_THRESHOLD must be a number from 1 to ${key_count}, the number of Ed25519 keys, "
          "not '${TAVIK_ED25519_THRESHOLD}'")
endif()
# Vendor builds (keys of their own, not the development pair) refuse a list without a zone or an
# expiry; development builds and builds without keys take the design's own files as they are.
set(TAVIK_STRICT_LISTS "" CACHE STRING "ON or OFF: refuse lists that name no zone or have no expiry (default: ON for vendor builds)")
set(strict_text "false")
if(TAVIK_STRICT_LISTS STREQUAL "")
  if(TAVIK_ED25519_KEY_LIST AND NOT TAVIK_ED25519_DEVELOPMENT)
    set(strict_text "true")
  endif()
elseif(TAVIK_STRICT_LISTS)
  set(strict_text "true")
endif()

set(initializers)
foreach(key IN LISTS TAVIK_ED25519_KEY_LIST)
  string(APPEND initializers "ed25519_key_t::from_hex(\"${key}\"), ")
endforeach()
set(development_text "false")
if(TAVIK_ED25519_DEVELOPMENT)
  set(development_text "true")
endif()
set(TAVIK_ED25519_SOURCE ${CMAKE_CURRENT_BINARY_DIR}/ed25519_keys.cpp)
file(CONFIGURE OUTPUT ${TAVIK_ED25519_SOURCE} CONTENT "// Generated from TAVIK_ED25519_KEYS: the Ed25519 keys this build trusts.
#include \"files/ed25519_key.hpp\"
#include \"files/public_key.hpp\"

namespace upd {

const ed25519_keys_t& built_in_ed25519_keys() {
    static const ed25519_keys_t keys = {${initializers}};
    return keys;
}

namespace key {
extern const char ed25519_keyids[] = \"${TAVIK_ED25519_KEYIDS}\";
extern const bool ed25519_development = ${development_text};
extern const unsigned ed25519_threshold = ${TAVIK_ED25519_THRESHOLD};
extern const bool strict_lists = ${strict_text};
}  // namespace key

}  // namespace upd
")
list(APPEND TAVIK_EXTRA_SOURCES ${TAVIK_ED25519_SOURCE})

# As with the DSA key: anyone who has the repository can sign for the development key, and a
# release build without an Ed25519 key would take lists signed with the 512-bit key alone.
if(build_type MATCHES "^(release|minsizerel)$")
  if(NOT TAVIK_ED25519_KEY_LIST)
    message(FATAL_ERROR "This ${CMAKE_BUILD_TYPE} build has no Ed25519 key: build with -DTAVIK_ED25519_KEYS=/path/to/vendor-ed25519.pub "
            "(see README, Key material).")
  endif()
  if(TAVIK_ED25519_DEVELOPMENT AND NOT TAVIK_ALLOW_DEVELOPMENT_KEY)
    message(FATAL_ERROR "This ${CMAKE_BUILD_TYPE} build would trust the development Ed25519 key (keys/development-ed25519.pub), "
            "whose private part is in the repository. Build with your own, -DTAVIK_ED25519_KEYS=/path/to/vendor-ed25519.pub, "
            "or allow the development keys deliberately with -DTAVIK_ALLOW_DEVELOPMENT_KEY=ON.")
  endif()
endif()

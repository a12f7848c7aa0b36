# The keys the updater trusts, and the rule that keeps the test-only keys out
# of anything that might ship.
#
#   VX_PUBLIC_KEY_FILE   DER PKCS #1 RSAPublicKey of the product inis' .sig
#   VX_TRUSTED_KEYS      Ed25519 public key files (a list) whose signatures in
#                        "<ini>.signatures" the updater accepts
#   VX_TIMESTAMP_KEYS    Ed25519 public key files (a list) whose signed version
#                        answers the updater accepts
#   VX_ALLOW_TEST_KEYS   accept the committed test-only keys in a build type
#                        other than Debug (tests, the demo, CI)
#
# The test-only keys' private halves are committed, so an updater that trusts
# one installs whatever anybody signs. A Debug build may embed them; any other
# build type refuses to configure with them unless VX_ALLOW_TEST_KEYS says the
# build is never shipped. Keys are compared by content, so a copy of a test
# key under another name is caught as well.
set(VX_TEST_KEY_DIR "${PROJECT_SOURCE_DIR}/keys/test-only")

set(VX_PUBLIC_KEY_FILE "${VX_TEST_KEY_DIR}/public.der" CACHE FILEPATH
    "DER PKCS #1 RSAPublicKey that the updater checks product ini signatures against")
set(VX_TRUSTED_KEYS "${VX_TEST_KEY_DIR}/ed25519-a.public" CACHE STRING
    "Ed25519 public key files (vxpublish keygen --ed25519), separated by ';', whose signatures the updater accepts")
set(VX_TIMESTAMP_KEYS "${VX_TEST_KEY_DIR}/timestamp.public" CACHE STRING
    "Ed25519 public key files (vxpublish timestamp-keygen), separated by ';', whose signed version answers the updater accepts")
option(VX_ALLOW_TEST_KEYS "Allow the test-only signing keys in a build type other than Debug" OFF)

# Sets `out` to TRUE when the file `key` holds the same bytes as one of the
# test-only files `test_keys`.
function(vx_is_test_key key out)
  set(result FALSE)
  if(EXISTS "${key}")
    file(SHA256 "${key}" key_hash)
    foreach(test_key IN LISTS ARGN)
      file(SHA256 "${test_key}" test_hash)
      if(key_hash STREQUAL test_hash)
        set(result TRUE)
      endif()
    endforeach()
  endif()
  set(${out} ${result} PARENT_SCOPE)
endfunction()

set(vx_test_keys_used "")
vx_is_test_key("${VX_PUBLIC_KEY_FILE}" rsa_is_test "${VX_TEST_KEY_DIR}/public.der")
if(rsa_is_test)
  list(APPEND vx_test_keys_used "VX_PUBLIC_KEY_FILE (${VX_PUBLIC_KEY_FILE})")
endif()
foreach(key IN LISTS VX_TRUSTED_KEYS)
  vx_is_test_key("${key}" ed25519_is_test "${VX_TEST_KEY_DIR}/ed25519-a.public" "${VX_TEST_KEY_DIR}/ed25519-b.public")
  if(ed25519_is_test)
    list(APPEND vx_test_keys_used "VX_TRUSTED_KEYS (${key})")
  endif()
endforeach()

foreach(key IN LISTS VX_TIMESTAMP_KEYS)
  vx_is_test_key("${key}" timestamp_is_test "${VX_TEST_KEY_DIR}/timestamp.public")
  if(timestamp_is_test)
    list(APPEND vx_test_keys_used "VX_TIMESTAMP_KEYS (${key})")
  endif()
endforeach()

if(CMAKE_CONFIGURATION_TYPES)
  set(vx_build_type "a multi-configuration build")
else()
  set(vx_build_type "build type ${CMAKE_BUILD_TYPE}")
endif()
set(VX_EMBEDS_TEST_KEYS OFF)
if(vx_test_keys_used)
  set(VX_EMBEDS_TEST_KEYS ON)
  list(JOIN vx_test_keys_used ", " vx_test_key_text)
  if(CMAKE_BUILD_TYPE STREQUAL "Debug" AND NOT CMAKE_CONFIGURATION_TYPES)
    message(STATUS "Updater signature keys: test-only (${vx_test_key_text})")
  elseif(VX_ALLOW_TEST_KEYS)
    message(STATUS "Updater signature keys: test-only, allowed by VX_ALLOW_TEST_KEYS (${vx_test_key_text}); "
                   "never ship this build")
  else()
    message(FATAL_ERROR
      "The updater would trust the test-only key of ${vx_test_key_text}, whose private half is "
      "public, in ${vx_build_type}. Name the publisher's own key: "
      "-DVX_PUBLIC_KEY_FILE=/path/to/public.der (DER PKCS #1 RSAPublicKey) and "
      "-DVX_TRUSTED_KEYS=/path/to/ed25519.public (one or more Ed25519 public key files) and "
      "-DVX_TIMESTAMP_KEYS=/path/to/timestamp.public (the version answers' keys), see docs/keys.md. "
      "For a build that is never shipped (tests, the demo) pass -DVX_ALLOW_TEST_KEYS=ON.")
  endif()
endif()

# Adds the rule that writes `output`, a C++ source defining the Ed25519 keys
# of the files that follow (cmake/VxEmbedTrustedKeys.cmake).
function(vx_embed_trusted_keys output)
  string(REPLACE ";" "|" key_files "${ARGN}")
  set(test_keys "${VX_TEST_KEY_DIR}/ed25519-a.public|${VX_TEST_KEY_DIR}/ed25519-b.public")
  add_custom_command(
    OUTPUT ${output}
    COMMAND ${CMAKE_COMMAND} -DKEY_FILES=${key_files} -DTEST_KEYS=${test_keys} -DOUTPUT=${output}
            -P ${PROJECT_SOURCE_DIR}/cmake/VxEmbedTrustedKeys.cmake
    DEPENDS ${ARGN} ${PROJECT_SOURCE_DIR}/cmake/VxEmbedTrustedKeys.cmake ${PROJECT_SOURCE_DIR}/cmake/VxGeneratedSource.cmake
    COMMENT "Embedding the updater's trusted Ed25519 keys"
    VERBATIM)
endfunction()

# Writes a C++ source that defines the Ed25519 keys the updater trusts
# (g_TrustedKeys, g_TrustedKeyCount, and g_TrustedKeyTestOnly, true for a key
# of the list TEST_KEYS) from public key files made by
# `vxpublish keygen --ed25519`: one line "ed25519 <64 hex digits>". Run as a
# script:
#   cmake "-DKEY_FILES=a.public|b.public" "-DTEST_KEYS=t.public|u.public" -DOUTPUT=trustedkeydata.cpp \
#         -P VxEmbedTrustedKeys.cmake
# Refuses anything else, above all a secret key, which must never end up
# inside a shipped program.
cmake_minimum_required(VERSION 3.16)
include(${CMAKE_CURRENT_LIST_DIR}/VxGeneratedSource.cmake)
string(REPLACE "|" ";" KEY_FILES "${KEY_FILES}")
string(REPLACE "|" ";" TEST_KEYS "${TEST_KEYS}")
if(NOT KEY_FILES)
  message(FATAL_ERROR "VX_TRUSTED_KEYS names no key: the updater would refuse every signed release")
endif()

set(entries "")
set(flags "")
set(count 0)
foreach(key_file IN LISTS KEY_FILES)
  vx_read_ed25519_public_key(key_hex "${key_file}" "Trusted key")
  vx_c_bytes(key_bytes "${key_hex}")
  string(APPEND entries "    {${key_bytes}}, // ${key_file}\n")
  vx_is_test_key(test_only "${key_hex}" ${TEST_KEYS})
  string(APPEND flags "${test_only}, ")
  math(EXPR count "${count} + 1")
endforeach()

string(CONCAT content "// Generated from VX_TRUSTED_KEYS; do not edit.\n#include \"trustedkeydata.h\"\n\n"
            "const unsigned char g_TrustedKeys[][32] = {\n${entries}};\n"
            "const unsigned g_TrustedKeyCount = ${count};\n"
            "const bool g_TrustedKeyTestOnly[] = {${flags}};\n")
vx_write_if_changed("${OUTPUT}" "${content}")

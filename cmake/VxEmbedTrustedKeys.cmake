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
string(REPLACE "|" ";" KEY_FILES "${KEY_FILES}")
string(REPLACE "|" ";" TEST_KEYS "${TEST_KEYS}")
set(test_texts "")
foreach(test_key IN LISTS TEST_KEYS)
  file(READ "${test_key}" test_text)
  list(APPEND test_texts "${test_text}")
endforeach()
if(NOT KEY_FILES)
  message(FATAL_ERROR "VX_TRUSTED_KEYS names no key: the updater would refuse every signed release")
endif()

set(entries "")
set(flags "")
set(count 0)
foreach(key_file IN LISTS KEY_FILES)
  if(NOT EXISTS "${key_file}")
    message(FATAL_ERROR "Trusted key file not found: ${key_file}")
  endif()
  file(SIZE "${key_file}" key_size)
  if(key_size GREATER 200)
    message(FATAL_ERROR "${key_file} has ${key_size} bytes; an Ed25519 public key file has one short line")
  endif()
  file(READ "${key_file}" key_text)
  if(NOT key_text MATCHES "^ed25519 ([0-9a-f]+)\n$")
    message(FATAL_ERROR "${key_file} is not an Ed25519 public key file (\"ed25519 <64 hex digits>\"); "
                        "a secret key never goes into the updater")
  endif()
  set(key_hex "${CMAKE_MATCH_1}")
  string(LENGTH "${key_hex}" hex_length)
  if(NOT hex_length EQUAL 64)
    message(FATAL_ERROR "${key_file} holds ${hex_length} hex digits; an Ed25519 key has 64")
  endif()
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," key_bytes "${key_hex}")
  string(APPEND entries "    {${key_bytes}}, // ${key_file}\n")
  if(key_text IN_LIST test_texts)
    string(APPEND flags "true, ")
  else()
    string(APPEND flags "false, ")
  endif()
  math(EXPR count "${count} + 1")
endforeach()

string(CONCAT content "// Generated from VX_TRUSTED_KEYS; do not edit.\n#include \"trustedkeydata.h\"\n\n"
            "const unsigned char g_TrustedKeys[][32] = {\n${entries}};\n"
            "const unsigned g_TrustedKeyCount = ${count};\n"
            "const bool g_TrustedKeyTestOnly[] = {${flags}};\n")
if(EXISTS "${OUTPUT}")
  file(READ "${OUTPUT}" old_content)
endif()
if(NOT old_content STREQUAL content)
  file(WRITE "${OUTPUT}" "${content}")
endif()

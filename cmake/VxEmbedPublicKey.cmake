# Writes a C++ source that defines g_UpdatePublicKey: the DER public key file
# at the start of a zero-filled 2048-byte buffer, and g_UpdatePublicKeyLength,
# the length of the key itself. Run as a script:
#   cmake -DKEY_FILE=public.der -DTEST_KEY=test.der -DOUTPUT=updatepublickey.cpp -P VxEmbedPublicKey.cmake
# g_UpdatePublicKeyTestOnly tells whether the key is the test-only TEST_KEY.
# Refuses anything that cannot be a DER public key, above all a private key,
# which must never end up inside a shipped program.
include(${CMAKE_CURRENT_LIST_DIR}/VxGeneratedSource.cmake)
set(buffer_size 2048)

if(NOT EXISTS "${KEY_FILE}")
  message(FATAL_ERROR "Public key file not found: ${KEY_FILE}")
endif()
file(SIZE "${KEY_FILE}" key_size)
if(key_size EQUAL 0 OR key_size GREATER buffer_size)
  message(FATAL_ERROR "Public key file ${KEY_FILE} has ${key_size} bytes; expected a DER key of at most ${buffer_size}")
endif()
file(READ "${KEY_FILE}" key_hex HEX)
string(SUBSTRING "${key_hex}" 0 2 first_byte)
if(NOT first_byte STREQUAL "30")
  message(FATAL_ERROR "Public key file ${KEY_FILE} is not DER (no leading SEQUENCE)")
endif()
# PKCS #1 RSAPrivateKey starts with SEQUENCE { INTEGER 0 (version), ... };
# RSAPublicKey starts with SEQUENCE { INTEGER modulus, ... }.
# The length after the SEQUENCE tag is one byte below 0x80, or 0x81..0x84
# followed by that many length bytes.
string(REGEX MATCH "^308([1-4])" long_form "${key_hex}")
if(long_form)
  math(EXPR header_digits "4 + 2 * ${CMAKE_MATCH_1}")
else()
  set(header_digits 4)
endif()
string(SUBSTRING "${key_hex}" ${header_digits} 6 first_element)
if(first_element STREQUAL "020100")
  message(FATAL_ERROR "${KEY_FILE} is a private key; give the public half (DER PKCS #1 RSAPublicKey)")
endif()

set(test_only false)
if(EXISTS "${TEST_KEY}")
  file(READ "${TEST_KEY}" test_hex HEX)
  if(test_hex STREQUAL key_hex)
    set(test_only true)
  endif()
endif()

vx_c_bytes(key_bytes "${key_hex}")
string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)" "\\1\n    "
       key_bytes "${key_bytes}")
set(content "// Generated from ${KEY_FILE}; do not edit.\n#include \"updatepublickey.h\"\n\nconst unsigned char g_UpdatePublicKey[kUpdatePublicKeySize] = {\n    ${key_bytes}\n};\nconst unsigned long g_UpdatePublicKeyLength = ${key_size};\nconst bool g_UpdatePublicKeyTestOnly = ${test_only};\n")
vx_write_if_changed("${OUTPUT}" "${content}")

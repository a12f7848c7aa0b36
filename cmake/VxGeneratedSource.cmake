# Steps shared by the scripts that write C++ sources from key files
# (VxEmbed*.cmake), which include this file in script mode.

# vx_c_bytes(<var> <hex>): the bytes of lowercase hex digits as the items of a
# C initializer list, "0x30,0x82,...,".
function(vx_c_bytes var hex)
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  set(${var} "${bytes}" PARENT_SCOPE)
endfunction()

# vx_read_ed25519_public_key(<var> <file> <what>): the 64 hex digits of an
# Ed25519 public key file made by `vxpublish keygen --ed25519` or
# `vxpublish timestamp-keygen`, one line "ed25519 <64 hex digits>". Stops the
# build on anything else, above all a secret key, which must never end up
# inside a shipped program; <what> names the key in the messages.
function(vx_read_ed25519_public_key var file what)
  if(NOT EXISTS "${file}")
    message(FATAL_ERROR "${what} file not found: ${file}")
  endif()
  file(SIZE "${file}" size)
  if(size GREATER 200)
    message(FATAL_ERROR "${file} has ${size} bytes; an Ed25519 public key file has one short line")
  endif()
  file(READ "${file}" text)
  string(STRIP "${text}" text)
  if(NOT text MATCHES "^ed25519 ([0-9a-f]+)$")
    message(FATAL_ERROR "${file} is not an Ed25519 public key file (one line \"ed25519 <64 hex digits>\"); "
                        "a secret key never goes into the updater")
  endif()
  set(hex "${CMAKE_MATCH_1}")
  string(LENGTH "${hex}" hex_length)
  if(NOT hex_length EQUAL 64)
    message(FATAL_ERROR "${file} holds ${hex_length} hex digits; an Ed25519 public key has 64")
  endif()
  set(${var} "${hex}" PARENT_SCOPE)
endfunction()

# vx_is_test_key(<var> <hex> <file>...): true when one of the test-only key
# files that exist holds the Ed25519 public key <hex>.
function(vx_is_test_key var hex)
  set(${var} false PARENT_SCOPE)
  foreach(test_file IN LISTS ARGN)
    if(EXISTS "${test_file}")
      file(READ "${test_file}" test_text)
      string(STRIP "${test_text}" test_text)
      if(test_text STREQUAL "ed25519 ${hex}")
        set(${var} true PARENT_SCOPE)
      endif()
    endif()
  endforeach()
endfunction()

# vx_write_if_changed(<file> <content>): writes the file only when its content
# changes, so that a reconfigure does not rebuild what compiles it.
function(vx_write_if_changed file content)
  set(old_content "")
  if(EXISTS "${file}")
    file(READ "${file}" old_content)
  endif()
  if(NOT old_content STREQUAL content)
    file(WRITE "${file}" "${content}")
  endif()
endfunction()

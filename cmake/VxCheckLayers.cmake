# Fails when a file of a layered library includes a file of a higher layer,
# or a file of the layered directories that no layer lists; with
# CHECK_CYCLES, also when files include each other in a cycle. Run by the
# build before the lowest layer compiles, so that a broken order stops it:
#   cmake -DROOT=<dir> -DLAYERS=<file> [-DSTAMP=<file>] -P VxCheckLayers.cmake
# The LAYERS file sets
#   LAYER_1, LAYER_2, ...  the files of each layer, lowest first, as paths
#                          relative to ROOT
#   LAYERED_DIRS           the directories, relative to ROOT, whose .h and
#                          .cpp files must be in a layer
#   LAYERED_NAME           what the layers are of, for the error ("the engine")
#   CHECK_CYCLES           ON: a module (a file name without its extension,
#                          so a header and its source are one) may not reach
#                          itself through includes, within a layer either
#   PUBLIC_DIRS            directories, relative to ROOT, of headers for other
#                          libraries: their files may include only files of
#                          these directories (optional)
# Includes are matched by file name, so "x.h" and "lib/x.h" are the same file;
# includes of other libraries and system headers are not layered and pass.
cmake_minimum_required(VERSION 3.16)
include(${LAYERS})
set(errors "")

set(layered_names "")
foreach(dir IN LISTS LAYERED_DIRS)
  file(GLOB names RELATIVE ${ROOT}/${dir} ${ROOT}/${dir}/*.h ${ROOT}/${dir}/*.cpp)
  list(APPEND layered_names ${names})
endforeach()

set(public_names "")
foreach(dir IN LISTS PUBLIC_DIRS)
  file(GLOB names RELATIVE ${ROOT}/${dir} ${ROOT}/${dir}/*.h)
  list(APPEND public_names ${names})
endforeach()

set(layer_count 1)
while(DEFINED LAYER_${layer_count})
  math(EXPR layer_count "${layer_count} + 1")
endwhile()
math(EXPR layer_count "${layer_count} - 1")
if(layer_count EQUAL 0)
  message(FATAL_ERROR "${LAYERS} sets no LAYER_1")
endif()

foreach(layer RANGE 1 ${layer_count})
  foreach(file IN LISTS LAYER_${layer})
    get_filename_component(name ${file} NAME)
    set(layer_of_${name} ${layer})
  endforeach()
endforeach()

# Direction, and the include graph of the modules for the cycle check.
set(modules "")
foreach(layer RANGE 1 ${layer_count})
  foreach(file IN LISTS LAYER_${layer})
    get_filename_component(module ${file} NAME_WLE)
    list(APPEND modules ${module})
    get_filename_component(file_dir ${file} DIRECTORY)
    file(STRINGS ${ROOT}/${file} includes REGEX "^[ \t]*#[ \t]*include[ \t]*\"")
    foreach(line IN LISTS includes)
      string(REGEX REPLACE "^[ \t]*#[ \t]*include[ \t]*\"([^\"]*)\".*" "\\1" included "${line}")
      get_filename_component(included ${included} NAME)
      if(NOT included IN_LIST layered_names)
        continue()
      endif()
      if(NOT DEFINED layer_of_${included})
        string(APPEND errors "${file} includes ${included}, which no layer lists\n")
      elseif(layer_of_${included} GREATER layer)
        string(APPEND errors
          "${file} (layer ${layer}) includes ${included} of the higher layer ${layer_of_${included}}\n")
      elseif(PUBLIC_DIRS AND file_dir IN_LIST PUBLIC_DIRS AND NOT included IN_LIST public_names)
        string(APPEND errors "${file} is public but includes ${included}, which is private\n")
      endif()
      get_filename_component(target ${included} NAME_WLE)
      if(NOT target STREQUAL module)
        list(APPEND uses_${module} ${target})
        list(APPEND used_by_${target} ${module})
        list(APPEND lines_${module} "${file} includes ${included}")
      endif()
    endforeach()
  endforeach()
endforeach()
list(REMOVE_DUPLICATES modules)

# A module on a cycle includes, and is included by, another module on it:
# drop every module that includes none of the others left, or that none of
# them includes, until nothing changes. What is left is cycles.
if(CHECK_CYCLES)
  set(left ${modules})
  set(changed TRUE)
  while(changed)
    set(changed FALSE)
    foreach(module IN LISTS left)
      foreach(direction uses used_by)
        set(linked FALSE)
        foreach(other IN LISTS ${direction}_${module})
          if(other IN_LIST left)
            set(linked TRUE)
            break()
          endif()
        endforeach()
        if(NOT linked)
          list(REMOVE_ITEM left ${module})
          set(changed TRUE)
          break()
        endif()
      endforeach()
    endforeach()
  endwhile()
  foreach(module IN LISTS left)
    foreach(line IN LISTS lines_${module})
      string(REGEX REPLACE ".* includes (.*)$" "\\1" included "${line}")
      get_filename_component(target ${included} NAME_WLE)
      if(target IN_LIST left)
        string(APPEND errors "${line}, in a cycle of includes\n")
      endif()
    endforeach()
  endforeach()
endif()

if(errors)
  message(FATAL_ERROR "The layers of ${LAYERED_NAME} are broken:\n${errors}")
endif()
if(STAMP)
  file(TOUCH ${STAMP})
endif()

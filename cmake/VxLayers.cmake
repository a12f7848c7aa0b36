# Layers checked by the build. A directory whose files form libraries stacked
# in layers states them once:
#   vx_check_layers(<name> BEFORE <target> DIRS <dir>... LAYERS <var>...
#                   [DESCRIPTION <text>] [CYCLES] [PUBLIC_DIRS <dir>...])
# LAYERS names the variables that hold each layer's files, lowest first, as
# paths relative to the current source directory; DIRS, the directories whose
# .h and .cpp files must all be in a layer. Each change of those files is
# checked by VxCheckLayers.cmake before <target> (the lowest layer) compiles,
# so an include of a higher layer fails the build; CYCLES also fails files
# that include each other in a cycle. Files of PUBLIC_DIRS (headers for
# other libraries) may include only files of PUBLIC_DIRS. The check is the
# custom target <name>.
set(VX_CHECK_LAYERS_SCRIPT ${CMAKE_CURRENT_LIST_DIR}/VxCheckLayers.cmake)

function(vx_check_layers name)
  cmake_parse_arguments(ARG "CYCLES" "BEFORE;DESCRIPTION" "DIRS;LAYERS;PUBLIC_DIRS" ${ARGN})
  set(list_file ${CMAKE_CURRENT_BINARY_DIR}/${name}.cmake)
  string(CONCAT contents "set(LAYERED_DIRS \"${ARG_DIRS}\")\nset(LAYERED_NAME \"${ARG_DESCRIPTION}\")\n"
                         "set(CHECK_CYCLES ${ARG_CYCLES})\nset(PUBLIC_DIRS \"${ARG_PUBLIC_DIRS}\")\n")
  set(files "")
  set(number 0)
  foreach(layer IN LISTS ARG_LAYERS)
    math(EXPR number "${number} + 1")
    string(APPEND contents "set(LAYER_${number} \"${${layer}}\")\n")
    list(APPEND files ${${layer}})
  endforeach()
  # Rewritten only when the layers change, so an unchanged tree is not checked again.
  file(WRITE ${list_file}.in "${contents}")
  configure_file(${list_file}.in ${list_file} COPYONLY)
  set(stamp ${CMAKE_CURRENT_BINARY_DIR}/${name}.checked)
  add_custom_command(
    OUTPUT ${stamp}
    COMMAND ${CMAKE_COMMAND} -DROOT=${CMAKE_CURRENT_SOURCE_DIR} -DLAYERS=${list_file} -DSTAMP=${stamp}
            -P ${VX_CHECK_LAYERS_SCRIPT}
    DEPENDS ${files} ${list_file} ${VX_CHECK_LAYERS_SCRIPT}
    COMMENT "Checking the layers of ${ARG_DESCRIPTION}"
    VERBATIM)
  add_custom_target(${name} DEPENDS ${stamp})
  add_dependencies(${ARG_BEFORE} ${name})
endfunction()

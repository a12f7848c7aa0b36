# Installing the publisher's and the operator's tools (cmake --install) and
# the Debian packages CPack makes of them (scripts/package-check):
#   voxaro-publisher       vxpublish and vxpatch, for the release machine
#   voxaro-update-server   vxserver, its systemd unit and default files below /etc
# Each tool gets a manual page made from its own --help (scripts/make-man).
include(GNUInstallDirs)

find_program(VX_HELP2MAN help2man)
set(vx_man_dir ${CMAKE_BINARY_DIR}/man)
set(vx_man_pages)
# vx_man_page(TARGET NAME DESCRIPTION [--commands])
function(vx_man_page target name description)
  set(page ${vx_man_dir}/${name}.1.gz)
  add_custom_command(OUTPUT ${page}
    COMMAND ${CMAKE_COMMAND} -E make_directory ${vx_man_dir}
    COMMAND ${CMAKE_COMMAND} -E env VX_VERSION=${PROJECT_VERSION}
      ${PROJECT_SOURCE_DIR}/scripts/make-man $<TARGET_FILE:${target}> ${name} "${description}" ${page} ${ARGN}
    DEPENDS ${target} ${PROJECT_SOURCE_DIR}/scripts/make-man VERBATIM)
  set(vx_man_pages ${vx_man_pages} ${page} PARENT_SCOPE)
endfunction()

if(VX_HELP2MAN)
  vx_man_page(vxpublish vxpublish "make Voxaro update releases: keys, signatures, releases" --commands)
  vx_man_page(vxpatch_tool vxpatch "the Voxaro patch engine: containers, diffs, ensemble patches" --commands)
  vx_man_page(vxserver vxserver "the Voxaro update server: release files over HTTP, UDP version answers")
  add_custom_target(man_pages ALL DEPENDS ${vx_man_pages})
  install(FILES ${vx_man_dir}/vxpublish.1.gz ${vx_man_dir}/vxpatch.1.gz
    DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT publisher)
  install(FILES ${vx_man_dir}/vxserver.1.gz DESTINATION ${CMAKE_INSTALL_MANDIR}/man1 COMPONENT server)
else()
  message(STATUS "help2man not found: no manual pages (scripts/setup installs it)")
endif()

install(TARGETS vxpublish vxpatch_tool RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT publisher)
install(FILES docs/publishing.md docs/signatures.md docs/product-ini.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/voxaro-publisher COMPONENT publisher)

install(TARGETS vxserver RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR} COMPONENT server)
install(FILES docs/serving.md docs/operations.md
  DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/voxaro-update-server COMPONENT server)
# The configuration goes to /etc for the prefix /usr (the packages) and below
# the prefix otherwise; the unit names the vxserver of this installation.
# Both are decided when installing, where the prefix is known.
install(CODE "
  if(CMAKE_INSTALL_PREFIX STREQUAL \"/usr\")
    set(vx_etc \"/etc\")
  else()
    set(vx_etc \"\${CMAKE_INSTALL_PREFIX}/etc\")
  endif()
  file(INSTALL \"${PROJECT_SOURCE_DIR}/packaging/etc/voxaro\" \"${PROJECT_SOURCE_DIR}/packaging/etc/default\"
    DESTINATION \"\${vx_etc}\" USE_SOURCE_PERMISSIONS)
  file(READ \"${PROJECT_SOURCE_DIR}/packaging/systemd/vxserver-udp.service\" vx_unit)
  string(REPLACE \"/usr/bin/vxserver\" \"\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_BINDIR}/vxserver\" vx_unit \"\${vx_unit}\")
  string(REPLACE \"/etc/\" \"\${vx_etc}/\" vx_unit \"\${vx_unit}\")
  # file(INSTALL) adds DESTDIR itself; file(WRITE) does not.
  file(WRITE \"\$ENV{DESTDIR}\${CMAKE_INSTALL_PREFIX}/lib/systemd/system/vxserver-udp.service\" \"\${vx_unit}\")
  " COMPONENT server)

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME voxaro)
set(CPACK_PACKAGE_VENDOR "Voxaro")
set(CPACK_PACKAGE_CONTACT "Voxaro updates <updates@voxaro.net>")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
# Install with DESTDIR and the prefix /usr, so that the files of absolute
# paths (/etc) land in the package and never on the machine that builds it.
set(CPACK_SET_DESTDIR ON)
set(CPACK_INSTALL_PREFIX /usr)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
set(CPACK_COMPONENTS_ALL publisher server)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PUBLISHER_PACKAGE_NAME voxaro-publisher)
set(CPACK_COMPONENT_PUBLISHER_DESCRIPTION "Voxaro update publishing tools
 vxpublish makes signed releases of the Voxaro 3 Client and its updater;
 vxpatch packs, diffs and patches files with the updater's patch engine.")
set(CPACK_DEBIAN_SERVER_PACKAGE_NAME voxaro-update-server)
set(CPACK_COMPONENT_SERVER_DESCRIPTION "Voxaro update server
 vxserver answers the updater's UDP version, news and banner queries, with
 staged rollouts and metrics, and can serve release files over HTTP. With a
 systemd unit (vxserver-udp) and its default files below /etc/voxaro.")
# Files below /etc are the operator's: upgrades keep their changes.
file(WRITE ${CMAKE_BINARY_DIR}/packaging/server/conffiles
  "/etc/voxaro/versions\n/etc/voxaro/news.html\n/etc/voxaro/banner\n/etc/voxaro/rollout\n/etc/default/vxserver-udp\n")
set(CPACK_DEBIAN_SERVER_PACKAGE_CONTROL_EXTRA ${CMAKE_BINARY_DIR}/packaging/server/conffiles)
set(CPACK_OUTPUT_FILE_PREFIX ${CMAKE_BINARY_DIR}/packages)
include(CPack)

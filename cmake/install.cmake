# Installation laid out as sane-backends lays out its own backends:
#   <sane libdir>/sane/libsane-kelvra.so{.1.0.0,.1,}   where SANE's dll backend looks
#   <sane confdir>/dll.d/kelvra                          enables the backend in dll
#   <sane confdir>/kelvra.conf                           sample, never overwritten
#   <datadir>/sane/descriptions/kelvra.desc              the backend list entry
#   <mandir>/man5/sane-kelvra.5                          its manual page
#   <bindir>/kelvra-sim, <mandir>/man1/kelvra-sim.1      the simulator
# All destinations are plain paths, so `DESTDIR=... cmake --install` stages
# the whole tree without root rights.
#
# The rules are the only list of installed files: the Debian and RPM packages
# install one component each (`cmake --install --component`): `backend` and
# `simulator`. The unversioned link libsane-kelvra.so is in `devel`, which no
# package takes: SANE loads the backend by its SONAME and nothing links to it.

# sane-backends installs everything under its own prefix; follow it unless
# the user chose a prefix.
pkg_get_variable(KELVRA_SANE_PREFIX sane-backends prefix)
if(CMAKE_INSTALL_PREFIX_INITIALIZED_TO_DEFAULT AND KELVRA_SANE_PREFIX)
  set(CMAKE_INSTALL_PREFIX "${KELVRA_SANE_PREFIX}" CACHE PATH "Install path prefix" FORCE)
endif()
include(GNUInstallDirs)

pkg_get_variable(KELVRA_SANE_LIBDIR sane-backends libdir)
if(NOT KELVRA_SANE_LIBDIR)
  set(KELVRA_SANE_LIBDIR "${CMAKE_INSTALL_FULL_LIBDIR}")
endif()
set(KELVRA_SANE_BACKEND_DIR "${KELVRA_SANE_LIBDIR}/sane" CACHE PATH
    "SANE's backend directory, where the dll meta-backend loads libsane-kelvra.so.1 from")

# The shipped library reads its configuration file from a fixed path; the
# folder of that file is SANE's configuration folder.
get_filename_component(KELVRA_SANE_CONFIG_DIR "${KELVRA_CONFIG_PATH}" DIRECTORY)
get_filename_component(_kelvra_conf_name "${KELVRA_CONFIG_PATH}" NAME)

# ------------------------------------------------------------- the library
# Only the shipped flavour: the demo and testing flavours point into the
# build tree.
install(TARGETS sane-kelvra
        LIBRARY DESTINATION "${KELVRA_SANE_BACKEND_DIR}" COMPONENT backend NAMELINK_COMPONENT devel)

# ------------------------------------------------------ dll.d and the conf
set(_kelvra_dll_entry "${CMAKE_BINARY_DIR}/install-files/dll.d/kelvra")
file(WRITE "${_kelvra_dll_entry}" "kelvra\n")
install(FILES "${_kelvra_dll_entry}" DESTINATION "${KELVRA_SANE_CONFIG_DIR}/dll.d" COMPONENT backend)

# The administrator's host list survives every later install; a fresh
# machine gets the commented sample.
install(CODE "
  set(_conf \"\$ENV{DESTDIR}${KELVRA_CONFIG_PATH}\")
  if(EXISTS \"\${_conf}\")
    message(STATUS \"Keeping existing: \${_conf}\")
  else()
    file(INSTALL DESTINATION \"${KELVRA_SANE_CONFIG_DIR}\" TYPE FILE
         RENAME \"${_kelvra_conf_name}\"
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${CMAKE_SOURCE_DIR}/doc/kelvra.conf\")
  endif()
" COMPONENT backend)

# ------------------------------------------------- description, man pages
# They and the manual pages carry the project's version, from project() alone.
configure_file("${CMAKE_SOURCE_DIR}/doc/kelvra.desc" "${CMAKE_BINARY_DIR}/install-files/kelvra.desc" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/install-files/kelvra.desc"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/sane/descriptions" COMPONENT backend)
# The page names the default paths and time limit; a build that changes
# them installs a page that names its own.
function(kelvra_roff_escape out text)
  string(REPLACE "-" "\\-" text "${text}")
  set(${out} "${text}" PARENT_SCOPE)
endfunction()
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/doc/sane-kelvra.5")
file(READ "${CMAKE_SOURCE_DIR}/doc/sane-kelvra.5" _kelvra_page)
foreach(_pair
    "/usr/lib/x86_64-linux-gnu/sane|${KELVRA_SANE_BACKEND_DIR}"
    "/etc/sane.d/kelvra.conf|${KELVRA_CONFIG_PATH}"
    "/etc/sane.d/dll.d|${KELVRA_SANE_CONFIG_DIR}/dll.d"
    "/usr/libexec/kelvra/scan-manager|${KELVRA_SCAN_MANAGER_PATH}")
  string(REPLACE "|" ";" _pair "${_pair}")
  list(GET _pair 0 _from)
  list(GET _pair 1 _to)
  kelvra_roff_escape(_from "${_from}")
  kelvra_roff_escape(_to "${_to}")
  string(REPLACE "${_from}" "${_to}" _kelvra_page "${_kelvra_page}")
endforeach()
string(REPLACE " 30 seconds" " ${KELVRA_SOCKET_TIMEOUT} seconds" _kelvra_page "${_kelvra_page}")
file(CONFIGURE OUTPUT "${CMAKE_BINARY_DIR}/install-files/sane-kelvra.5" CONTENT "${_kelvra_page}" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/install-files/sane-kelvra.5"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man5" COMPONENT backend)

# ------------------------------------------------------------ the simulator
# A command of its own, for trying the backend and debugging frontends
# without a scanner.
install(TARGETS kelvra-sim RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT simulator)
configure_file("${CMAKE_SOURCE_DIR}/doc/kelvra-sim.1" "${CMAKE_BINARY_DIR}/install-files/kelvra-sim.1" @ONLY)
install(FILES "${CMAKE_BINARY_DIR}/install-files/kelvra-sim.1"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT simulator)

# The scan-manager's folder, where the packages register the command through
# the alternatives system (a link needs its folder), so that a real
# scan-manager, installed as a file or registered higher, wins.
get_filename_component(_kelvra_manager_dir "${KELVRA_SCAN_MANAGER_PATH}" DIRECTORY)
get_filename_component(_kelvra_manager_name "${KELVRA_SCAN_MANAGER_PATH}" NAME)
install(DIRECTORY DESTINATION "${_kelvra_manager_dir}" COMPONENT simulator)
# For machines without the real scan-manager, on request: a copy stands at
# the path the shipped library starts.
if(KELVRA_INSTALL_SIMULATOR)
  install(PROGRAMS "$<TARGET_FILE:kelvra-sim>" COMPONENT simulator
          DESTINATION "${_kelvra_manager_dir}" RENAME "${_kelvra_manager_name}")
endif()

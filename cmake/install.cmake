# Installation laid out as sane-backends lays out its own backends:
#   <sane libdir>/sane/libsane-kelvra.so{.1.0.0,.1,}   where SANE's dll backend looks
#   <sane confdir>/dll.d/kelvra                          enables the backend in dll
#   <sane confdir>/kelvra.conf                           sample, never overwritten
#   <datadir>/sane/descriptions/kelvra.desc              the backend list entry
#   <mandir>/man5/sane-kelvra.5 (and man1/kelvra-sim.1)  the manual pages
# All destinations are plain paths, so `DESTDIR=... cmake --install` stages
# the whole tree without root rights.

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
        LIBRARY DESTINATION "${KELVRA_SANE_BACKEND_DIR}")

# ------------------------------------------------------ dll.d and the conf
set(_kelvra_dll_entry "${CMAKE_BINARY_DIR}/install-files/dll.d/kelvra")
file(WRITE "${_kelvra_dll_entry}" "kelvra\n")
install(FILES "${_kelvra_dll_entry}" DESTINATION "${KELVRA_SANE_CONFIG_DIR}/dll.d")

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
")

# ------------------------------------------------- description, man pages
install(FILES "${CMAKE_SOURCE_DIR}/doc/kelvra.desc"
        DESTINATION "${CMAKE_INSTALL_DATADIR}/sane/descriptions")
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
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man5")
# The simulator's page may be written after this tree was configured, so
# whether it exists is asked when installing (under the prefix in force then).
if(IS_ABSOLUTE "${CMAKE_INSTALL_MANDIR}")
  set(_kelvra_man1 "${CMAKE_INSTALL_MANDIR}/man1")
else()
  set(_kelvra_man1 "\${CMAKE_INSTALL_PREFIX}/${CMAKE_INSTALL_MANDIR}/man1")
endif()
install(CODE "
  if(EXISTS \"${CMAKE_SOURCE_DIR}/doc/kelvra-sim.1\")
    file(INSTALL DESTINATION \"${_kelvra_man1}\" TYPE FILE
         PERMISSIONS OWNER_READ OWNER_WRITE GROUP_READ WORLD_READ
         FILES \"${CMAKE_SOURCE_DIR}/doc/kelvra-sim.1\")
  endif()
")

# ---------------------------------------------- the simulator, on request
# For machines without the real scan-manager: the simulator stands at the
# path the shipped library starts.
if(KELVRA_INSTALL_SIMULATOR)
  get_filename_component(_kelvra_manager_dir "${KELVRA_SCAN_MANAGER_PATH}" DIRECTORY)
  get_filename_component(_kelvra_manager_name "${KELVRA_SCAN_MANAGER_PATH}" NAME)
  install(PROGRAMS "$<TARGET_FILE:kelvra-sim>"
          DESTINATION "${_kelvra_manager_dir}" RENAME "${_kelvra_manager_name}")
endif()

# The RPM packages, one per install component (see install.cmake), made by
# `cpack -G RPM` in a tree configured with Fedora's paths; scripts/package.sh
# does it. The Debian packages come from debian/, with the same components.

set(CPACK_PACKAGE_NAME kelvra)
set(CPACK_PACKAGE_VERSION "${PROJECT_VERSION}")
set(CPACK_PACKAGE_VENDOR "kelvra")
set(CPACK_PACKAGE_CONTACT "kelvra maintainers <maintainers@users.noreply.c-seed-87beed1f.example>")
set(CPACK_RESOURCE_FILE_LICENSE "${CMAKE_SOURCE_DIR}/LICENSE")
set(CPACK_COMPONENTS_ALL backend simulator)
# The install rules name absolute paths (/etc/sane.d, SANE's backend folder):
# without a DESTDIR, staging them would write into this machine's /etc.
set(CPACK_SET_DESTDIR ON)
set(CPACK_RPM_PACKAGE_RELOCATABLE OFF)
set(CPACK_PACKAGING_INSTALL_PREFIX "${CMAKE_INSTALL_PREFIX}")
set(CPACK_STRIP_FILES ON)

set(CPACK_RPM_COMPONENT_INSTALL ON)
set(CPACK_RPM_FILE_NAME RPM-DEFAULT)
set(CPACK_RPM_PACKAGE_RELEASE 1)
set(CPACK_RPM_PACKAGE_LICENSE MIT)
# Debian's rpm runs brp-compress, a bash script, with dash, which leaves the
# man pages uncompressed; and a plug-in's SONAME is nothing to depend on.
set(CPACK_RPM_SPEC_MORE_DEFINE "%define __brp_compress bash %{_rpmconfigdir}/brp-compress %{?_prefix}
%global __provides_exclude_from ^${KELVRA_SANE_BACKEND_DIR}/")
# The %changelog, from CHANGELOG.md.
execute_process(COMMAND awk -v "packager=${CPACK_PACKAGE_CONTACT}" -v "release=${CPACK_RPM_PACKAGE_RELEASE}"
                        -f "${CMAKE_SOURCE_DIR}/cmake/rpm/changelog.awk" "${CMAKE_SOURCE_DIR}/CHANGELOG.md"
                OUTPUT_FILE "${CMAKE_BINARY_DIR}/install-files/rpm-changelog" COMMAND_ERROR_IS_FATAL ANY)
set_property(DIRECTORY APPEND PROPERTY CMAKE_CONFIGURE_DEPENDS "${CMAKE_SOURCE_DIR}/CHANGELOG.md")
set(CPACK_RPM_CHANGELOG_FILE "${CMAKE_BINARY_DIR}/install-files/rpm-changelog")
# Folders that sane-backends, the file system or the man pages own.
set(CPACK_RPM_EXCLUDE_FROM_AUTO_FILELIST_ADDITION
    "${KELVRA_SANE_CONFIG_DIR}" "${KELVRA_SANE_CONFIG_DIR}/dll.d" "${KELVRA_SANE_BACKEND_DIR}"
    /usr/share/sane /usr/share/sane/descriptions /usr/share/man /usr/share/man/man1 /usr/share/man/man5
    /usr/libexec)

set(CPACK_RPM_BACKEND_PACKAGE_NAME libsane-kelvra)
set(CPACK_RPM_BACKEND_PACKAGE_SUMMARY "SANE backend for scanners served by the kelvra scan-manager")
set(CPACK_RPM_BACKEND_PACKAGE_DESCRIPTION
"The kelvra backend gives every SANE frontend (scanimage, simple-scan, XSane,
saned...) the scanners that the kelvra scan-manager reaches on USB and on the
network hosts listed in ${KELVRA_CONFIG_PATH}. It starts the scan-manager at
${KELVRA_SCAN_MANAGER_PATH};
install kelvra-sim to try it without a scanner.")
# An administrator's edits of the two files survive upgrades.
set(CPACK_RPM_BACKEND_USER_FILELIST
    "%config(noreplace) ${KELVRA_CONFIG_PATH}" "%config(noreplace) ${KELVRA_SANE_CONFIG_DIR}/dll.d/kelvra")

set(CPACK_RPM_SIMULATOR_PACKAGE_NAME kelvra-sim)
set(CPACK_RPM_SIMULATOR_PACKAGE_SUMMARY "Scan-manager simulator for the kelvra SANE backend")
set(CPACK_RPM_SIMULATOR_PACKAGE_DESCRIPTION
"kelvra-sim serves virtual flatbed, feeder and duplex scanners with
deterministic test pages and injects faults on demand. It is registered as the
scan-manager through the alternatives system at a low priority: a real
scan-manager, installed as a file or registered higher, always wins.")
set(CPACK_RPM_SIMULATOR_PACKAGE_REQUIRES
    "libsane-kelvra = ${CPACK_PACKAGE_VERSION}-${CPACK_RPM_PACKAGE_RELEASE}")
set(CPACK_RPM_SIMULATOR_PACKAGE_REQUIRES_POST /usr/sbin/update-alternatives)
set(CPACK_RPM_SIMULATOR_PACKAGE_REQUIRES_POSTUN /usr/sbin/update-alternatives)
set(CPACK_RPM_SIMULATOR_POST_INSTALL_SCRIPT_FILE "${CMAKE_SOURCE_DIR}/cmake/rpm/kelvra-sim.post")
set(CPACK_RPM_SIMULATOR_POST_UNINSTALL_SCRIPT_FILE "${CMAKE_SOURCE_DIR}/cmake/rpm/kelvra-sim.postun")

include(CPack)

# The Debian package: cpack -G DEB in the build directory makes kel-ulvo_VERSION_ARCH.deb.
set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME kel-ulvo)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_CONTACT "kel-ulvo maintainers <maintainers@users.noreply.c-seed-35e17e2f.example>")
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
  "connection-rate throttle: slows down bursts of connections to new hosts")
set(CPACK_PACKAGE_DESCRIPTION
  "The daemon kel-ulvod lets a connection to one of the host's recently
contacted hosts pass at once and holds a connection to any other host in a
delay queue, releasing one new destination per delay. Normal use hardly
notices; a worm is slowed to one new host per delay, and the growing queue
raises an alarm. The status tool ulvostatus prints the daemon's counters,
alarm state and configuration.")
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION net)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
# The helper script runs iptables and ip6tables through bash; modprobe loads the modules.
set(CPACK_DEBIAN_PACKAGE_DEPENDS "iptables, kmod")
# The maintainer scripts start and stop the unit through deb-systemd-invoke where systemd runs.
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "logrotate")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_CONTROL_EXTRA
  ${PROJECT_SOURCE_DIR}/packaging/debian/conffiles
  ${PROJECT_SOURCE_DIR}/packaging/debian/postinst
  ${PROJECT_SOURCE_DIR}/packaging/debian/prerm
  ${PROJECT_SOURCE_DIR}/packaging/debian/postrm)
# What only the package has, added to its tree after the installation: the unit where packages
# keep theirs, the copyright file, the changelog and the lintian overrides.
set(CPACK_ULVO_SOURCE_DIR ${PROJECT_SOURCE_DIR})
set(CPACK_PRE_BUILD_SCRIPTS ${PROJECT_SOURCE_DIR}/cmake/package_tree.cmake)
include(CPack)

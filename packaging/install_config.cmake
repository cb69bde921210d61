# Runs at install time (cmake --install), after the files of the build.
# CMAKE_INSTALL_PREFIX is the prefix of this installation; DESTDIR, when
# set, is put before every path, as for the other installed files.

set(root "$ENV{DESTDIR}${CMAKE_INSTALL_PREFIX}")
set(bin_dir "${CMAKE_INSTALL_PREFIX}/${DIRSYNC_BINDIR}")

# An operator's dirsync.ini is never overwritten: the example becomes the
# configuration only where none exists yet.
set(config "${root}/${DIRSYNC_BINDIR}/dirsync.ini")
if(EXISTS "${config}")
  message(STATUS "Kept: ${config}")
else()
  message(STATUS "Installing: ${config}")
  file(COPY_FILE "${DIRSYNC_PACKAGING_DIR}/dirsync.ini.example" "${config}")
endif()

# The systemd unit names the program by its installed path.
set(DIRSYNC_BIN_DIR "${bin_dir}")
set(DIRSYNC_DOC_PATH "${CMAKE_INSTALL_PREFIX}/${DIRSYNC_DOCDIR}/README.md")
set(unit "${root}/lib/systemd/system/dirsync.service")
message(STATUS "Installing: ${unit}")
configure_file("${DIRSYNC_PACKAGING_DIR}/dirsync.service.in" "${unit}" @ONLY)

# Installation rules and the Debian package.
#
#   cmake --install build            binary, man page, bash completion,
#                                    copyright and changelog below
#                                    CMAKE_INSTALL_PREFIX (/usr/local by default);
#                                    build/install_manifest.txt lists the files,
#                                    build/install_directories.txt the
#                                    directories made for them
#   cd build && cpack -G DEB         trelvik_<version>_<arch>.deb, prefix /usr

include(GNUInstallDirs)

# Compresses SOURCE to <build>/SUBDIR/NAME.gz, as man-db and Debian expect
# man pages and changelogs: -9 for the smallest file, -n to keep the name and
# time stamp out of the archive, so that the same source gives the same bytes.
# Sets RESULT to the path of the compressed file.
function(trelvik_gzip source subdir name result)
    set(directory ${CMAKE_CURRENT_BINARY_DIR}/${subdir})
    add_custom_command(
        OUTPUT ${directory}/${name}.gz
        COMMAND ${CMAKE_COMMAND} -E make_directory ${directory}
        COMMAND ${CMAKE_COMMAND} -E copy ${source} ${directory}/${name}
        COMMAND gzip -9 -n -f ${directory}/${name}
        DEPENDS ${source}
        COMMENT "Compressing ${name}"
        VERBATIM)
    set(${result} ${directory}/${name}.gz PARENT_SCOPE)
endfunction()

trelvik_gzip(${CMAKE_CURRENT_SOURCE_DIR}/doc/trelvik.1 man trelvik.1 TRELVIK_MAN_PAGE_GZ)
# trelvik is packaged by its own developers (a native package, version 3.0
# without a Debian revision), so Debian policy wants its changelog, in
# Debian's format, as changelog.gz rather than changelog.Debian.gz.
trelvik_gzip(${CMAKE_CURRENT_SOURCE_DIR}/doc/changelog doc changelog TRELVIK_CHANGELOG_GZ)
add_custom_target(trelvik_compressed_docs ALL DEPENDS ${TRELVIK_MAN_PAGE_GZ} ${TRELVIK_CHANGELOG_GZ})

set(TRELVIK_MAN_DIR ${CMAKE_INSTALL_MANDIR}/man1)
# bash-completion loads completions on demand from
# <prefix>/share/bash-completion/completions/<command>, for the prefixes
# /usr and /usr/local alike (through XDG_DATA_DIRS).
set(TRELVIK_COMPLETION_DIR ${CMAKE_INSTALL_DATADIR}/bash-completion/completions)

# First of all, the directories that the install is about to make are listed
# in install_directories.txt beside install_manifest.txt, for the removal.
install(CODE "set(TRELVIK_INSTALL_DESTINATIONS [[${CMAKE_INSTALL_BINDIR};${TRELVIK_MAN_DIR};${TRELVIK_COMPLETION_DIR};${CMAKE_INSTALL_DOCDIR}]])
set(TRELVIK_DIRECTORY_LIST [[${CMAKE_BINARY_DIR}/install_directories.txt]])")
install(SCRIPT ${CMAKE_CURRENT_SOURCE_DIR}/cmake/record_install_directories.cmake)

install(TARGETS trelvik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(FILES ${TRELVIK_MAN_PAGE_GZ} DESTINATION ${TRELVIK_MAN_DIR})
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/completion/trelvik DESTINATION ${TRELVIK_COMPLETION_DIR})
# The licence (machine-readable, as Debian wants it) and the changelog, in
# <prefix>/share/doc/trelvik.
install(FILES ${CMAKE_CURRENT_SOURCE_DIR}/doc/copyright ${TRELVIK_CHANGELOG_GZ}
        DESTINATION ${CMAKE_INSTALL_DOCDIR})

# The Debian package.
# The project has no mail address of its own yet: the domain .invalid is
# reserved for names that never resolve, so no stranger receives mail meant
# for the package's maintainers. Whoever publishes the package sets a real one.
set(TRELVIK_PACKAGE_MAINTAINER "The trelvik developers <dev@trelvik.invalid>"
    CACHE STRING "Maintainer field of the Debian package: Name <address>")

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME trelvik)
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_VENDOR Halvorsk)
set(CPACK_PACKAGE_CONTACT ${TRELVIK_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY
    "check a copy of a directory tree against its source, byte by byte")
set(CPACK_STRIP_FILES ON)

set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${TRELVIK_PACKAGE_MAINTAINER})
# The long description; CPack puts the summary above it as the synopsis and
# indents the lines.
set(CPACK_DEBIAN_PACKAGE_DESCRIPTION
    "trelvik walks a source directory and checks, for every regular file in it,
that the same path exists below a second directory (a backup, a copy on
another disk) and holds exactly the same bytes. Files that differ are shown
in red, missing files in blue, each with the terminal bell; every file gets
a line in the log file /tmp/trelvik-log.txt. Messages are in German.")
set(CPACK_DEBIAN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
# Depends is computed by dpkg-shlibdeps from the libraries the binary uses.
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_COMPRESSION_TYPE xz)

# A source package from "cpack --config CPackSourceConfig.cmake" holds the
# sources only.
set(CPACK_SOURCE_GENERATOR TGZ)
set(CPACK_SOURCE_IGNORE_FILES "/\\\\.git/" "/build[^/]*/" "\\\\.deb$")

include(CPack)

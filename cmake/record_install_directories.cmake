# Run by `cmake --install` before it installs the first file (see
# install.cmake). `cmake --install` lists the files it installs in
# install_manifest.txt but not the directories it makes for them; this script
# lists those in TRELVIK_DIRECTORY_LIST, deepest first, so that a removal can
# take away the directories that the install made and no others.
#
# TRELVIK_INSTALL_DESTINATIONS holds the directories that files go to,
# relative to the prefix or absolute. Each of them, and each parent of it,
# that does not exist yet is listed. Directories listed by an earlier install
# that still exist stay listed, so that installing again over an install
# forgets none of them.
#
# A staged install (DESTDIR set, as cpack makes one) lists nothing and leaves
# the list as it was: its files are not removed with the manifest.

if(NOT "$ENV{DESTDIR}" STREQUAL "")
    return()
endif()

set(trelvik_directories)
if(EXISTS "${TRELVIK_DIRECTORY_LIST}")
    file(STRINGS "${TRELVIK_DIRECTORY_LIST}" trelvik_listed)
    foreach(trelvik_directory IN LISTS trelvik_listed)
        if(IS_DIRECTORY "${trelvik_directory}")
            list(APPEND trelvik_directories "${trelvik_directory}")
        endif()
    endforeach()
endif()

foreach(trelvik_directory IN LISTS TRELVIK_INSTALL_DESTINATIONS)
    if(NOT IS_ABSOLUTE "${trelvik_directory}")
        set(trelvik_directory "${CMAKE_INSTALL_PREFIX}/${trelvik_directory}")
    endif()
    cmake_path(NORMAL_PATH trelvik_directory)
    string(REGEX REPLACE "(.)/+$" "\\1" trelvik_directory "${trelvik_directory}")
    while(NOT EXISTS "${trelvik_directory}")
        list(APPEND trelvik_directories "${trelvik_directory}")
        cmake_path(GET trelvik_directory PARENT_PATH trelvik_parent)
        if(trelvik_parent STREQUAL "" OR trelvik_parent STREQUAL trelvik_directory)
            break()
        endif()
        set(trelvik_directory "${trelvik_parent}")
    endwhile()
endforeach()

# A directory sorts before the paths below it, so the reverse order puts each
# one after everything inside it.
list(REMOVE_DUPLICATES trelvik_directories)
list(SORT trelvik_directories)
list(REVERSE trelvik_directories)
list(JOIN trelvik_directories "\n" trelvik_content)
if(trelvik_directories)
    string(APPEND trelvik_content "\n")
endif()
file(WRITE "${TRELVIK_DIRECTORY_LIST}" "${trelvik_content}")

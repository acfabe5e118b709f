# Run by cpack on the staged install, before it packs it: does for our ELF
# files what dh_strip and dh_shlibdeps do in a Debian package build.
#
# The install's strip (CPACK_STRIP_FILES) keeps the .comment and .note
# sections, which dh_strip removes as well.
#
# Depends comes from dpkg-shlibdeps, as CPACK_DEBIAN_PACKAGE_SHLIBDEPS would
# make it. That option also makes CPack write a postinst and a postrm that
# call ldconfig whenever a shared object lies in or below /usr/lib. Our link
# libraries there are private to the programs beside them, loaded by full
# path or from the program's folder, never through the linker's cache, so
# the package has no maintainer scripts.

set(staged "${CPACK_TEMPORARY_DIRECTORY}")
file(GLOB_RECURSE files LIST_DIRECTORIES false "${staged}/*")
set(elves "")
foreach(file IN LISTS files)
    if(NOT IS_SYMLINK "${file}")
        file(READ "${file}" magic LIMIT 4 HEX)
        if(magic STREQUAL "7f454c46")
            list(APPEND elves "${file}")
        endif()
    endif()
endforeach()
if(NOT elves)
    message(FATAL_ERROR "No ELF file among the staged files in ${staged}")
endif()

foreach(file IN LISTS elves)
    execute_process(COMMAND "${CPACK_QD_OBJCOPY}" --remove-section=.comment
                            --remove-section=.note "${file}"
                    COMMAND_ERROR_IS_FATAL ANY)
endforeach()

# dpkg-shlibdeps runs in a source package's folder, which only needs an
# (empty) debian/control, outside the staged tree that gets packed. A DEBIAN
# folder marks the staged tree as the package's root while it runs, so that
# it resolves $ORIGIN as the installed /usr/lib/qd1600.
set(work "${CPACK_TOPLEVEL_DIRECTORY}/shlibdeps")
file(REMOVE_RECURSE "${work}")
file(WRITE "${work}/debian/control" "")
file(MAKE_DIRECTORY "${staged}/DEBIAN")
execute_process(COMMAND dpkg-shlibdeps -O ${elves}
                WORKING_DIRECTORY "${work}"
                OUTPUT_VARIABLE shlibdeps
                COMMAND_ERROR_IS_FATAL ANY)
file(REMOVE_RECURSE "${staged}/DEBIAN" "${work}")
if(NOT shlibdeps MATCHES "shlibs:Depends=([^\n]+)")
    message(FATAL_ERROR "dpkg-shlibdeps gave no dependencies: ${shlibdeps}")
endif()
set(CPACK_DEBIAN_PACKAGE_DEPENDS "${CMAKE_MATCH_1}")
message(STATUS "Depends: ${CPACK_DEBIAN_PACKAGE_DEPENDS}")

# Compiles and links with the flags a Debian package build uses, with every
# hardening feature on: fortified libc calls, stack protector, format
# checks, read-only relocations bound at start (relro, now).
#
# CMake has no preprocessor flags of its own, so CPPFLAGS go in front of
# CXXFLAGS, as debhelper does for CMake. dpkg-buildflags runs in the source
# folder, so its -ffile-prefix-map maps that folder (and the build folder
# below it) to "." in everything the compiler writes.

find_program(QD_DPKG_BUILDFLAGS_EXECUTABLE dpkg-buildflags)
if(NOT QD_DPKG_BUILDFLAGS_EXECUTABLE)
    message(FATAL_ERROR "QD_DPKG_BUILDFLAGS needs dpkg-buildflags (Debian package dpkg-dev)")
endif()

function(qd_dpkg_buildflag name out)
    execute_process(
        COMMAND ${CMAKE_COMMAND} -E env DEB_BUILD_MAINT_OPTIONS=hardening=+all
                ${QD_DPKG_BUILDFLAGS_EXECUTABLE} --get ${name}
        WORKING_DIRECTORY ${PROJECT_SOURCE_DIR}
        OUTPUT_VARIABLE flags
        OUTPUT_STRIP_TRAILING_WHITESPACE
        COMMAND_ERROR_IS_FATAL ANY)
    set(${out} "${flags}" PARENT_SCOPE)
endfunction()

qd_dpkg_buildflag(CPPFLAGS QD_DPKG_CPPFLAGS)
qd_dpkg_buildflag(CXXFLAGS QD_DPKG_CXXFLAGS)
qd_dpkg_buildflag(LDFLAGS QD_DPKG_LDFLAGS)
message(STATUS "dpkg-buildflags: ${QD_DPKG_CPPFLAGS} ${QD_DPKG_CXXFLAGS} ${QD_DPKG_LDFLAGS}")

string(APPEND CMAKE_CXX_FLAGS " ${QD_DPKG_CPPFLAGS} ${QD_DPKG_CXXFLAGS}")
foreach(kind EXE SHARED MODULE)
    string(APPEND CMAKE_${kind}_LINKER_FLAGS " ${QD_DPKG_LDFLAGS}")
endforeach()

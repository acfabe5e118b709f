# Run by cpack after it has staged the install, before it packs: puts the
# QD1600(version2) built for the package's prefix in place of the one built
# for the build's own prefix, since that program binds its link library at a
# path fixed when it is compiled.
set(staged "${CPACK_TEMPORARY_DIRECTORY}${CPACK_PACKAGING_INSTALL_PREFIX}/${CPACK_QD_APPDIR}/QD1600(version2)")
if(NOT EXISTS "${staged}")
    message(FATAL_ERROR "QD1600(version2) is not where the package stages it: ${staged}")
endif()
file(COPY_FILE "${CPACK_QD_PACKAGED_PROGRAM}" "${staged}")
if(CPACK_STRIP_FILES AND CPACK_QD_STRIP)
    execute_process(COMMAND "${CPACK_QD_STRIP}" --strip-unneeded "${staged}"
                    COMMAND_ERROR_IS_FATAL ANY)
endif()

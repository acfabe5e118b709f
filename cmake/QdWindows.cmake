# What the Windows build adds: version resources, and where the programs'
# runtime comes from.

# A version resource for `target`, which Explorer shows and the About window
# reads: `version` as "major.minor.patch", the file's name and a description.
# An ICON argument adds the program icon as the first icon resource.
function(qd_version_resource target version file description)
    cmake_parse_arguments(ARG "" "ICON" "" ${ARGN})
    string(REPLACE "." ";" parts "${version}")
    list(GET parts 0 QD_RC_MAJOR)
    list(GET parts 1 QD_RC_MINOR)
    list(GET parts 2 QD_RC_PATCH)
    set(QD_RC_VERSION "${version}")
    set(QD_RC_FILE "${file}")
    set(QD_RC_DESCRIPTION "${description}")
    get_target_property(type ${target} TYPE)
    if(type STREQUAL "EXECUTABLE")
        set(QD_RC_TYPE VFT_APP)
    else()
        set(QD_RC_TYPE VFT_DLL)
    endif()
    if(ARG_ICON)
        set(QD_RC_ICON "1 ICON \"${ARG_ICON}\"")
    else()
        set(QD_RC_ICON "")
    endif()
    set(rc "${CMAKE_CURRENT_BINARY_DIR}/${target}-version.rc")
    configure_file(${PROJECT_SOURCE_DIR}/cmake/version.rc.in "${rc}" @ONLY)
    target_sources(${target} PRIVATE "${rc}")
endfunction()

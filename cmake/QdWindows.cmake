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

# The DLLs the programs need beside them, MinGW's runtime, libpq and Qt's
# modules and plugins: installed with the programs, and copied into the build's bin
# folder, so that tests and programs run from there under Wine as they will
# from the installed folder.
function(qd_windows_runtime)
    set(runtime)
    foreach(dll libstdc++-6.dll libgcc_s_dw2-1.dll libwinpthread-1.dll)
        execute_process(COMMAND ${CMAKE_CXX_COMPILER} -print-file-name=${dll}
                        OUTPUT_VARIABLE path OUTPUT_STRIP_TRAILING_WHITESPACE)
        if(NOT IS_ABSOLUTE "${path}" OR NOT EXISTS "${path}")
            message(FATAL_ERROR "MinGW's ${dll} was not found")
        endif()
        file(REAL_PATH "${path}" path)
        list(APPEND runtime "${path}")
    endforeach()
    # PostgreSQL's client library, for the results store of a lab.
    find_file(QD_LIBPQ_DLL libpq.dll PATH_SUFFIXES bin REQUIRED)
    list(APPEND runtime "${QD_LIBPQ_DLL}")
    find_package(Qt6 6.4 REQUIRED COMPONENTS Core Gui Widgets Network)
    set(modules Core Gui Widgets Network)
    foreach(module ${modules})
        list(APPEND runtime "$<TARGET_FILE:Qt6::${module}>")
    endforeach()
    install(FILES ${runtime} DESTINATION ${QD_INSTALL_APPDIR})
    set(copies COMMAND ${CMAKE_COMMAND} -E copy_if_different ${runtime} ${CMAKE_BINARY_DIR}/bin)
    # Qt looks for its plugins in folders beside the program.
    foreach(plugin QWindowsIntegrationPlugin:platforms QWindowsVistaStylePlugin:styles)
        string(REPLACE ":" ";" plugin "${plugin}")
        list(GET plugin 0 target)
        list(GET plugin 1 folder)
        if(NOT TARGET Qt6::${target})
            message(FATAL_ERROR "Qt's plugin ${target} is missing from the SDK")
        endif()
        install(FILES $<TARGET_FILE:Qt6::${target}> DESTINATION ${QD_INSTALL_APPDIR}/${folder})
        list(APPEND copies COMMAND ${CMAKE_COMMAND} -E make_directory ${CMAKE_BINARY_DIR}/bin/${folder}
             COMMAND ${CMAKE_COMMAND} -E copy_if_different $<TARGET_FILE:Qt6::${target}>
                     ${CMAKE_BINARY_DIR}/bin/${folder})
    endforeach()
    add_custom_target(qd_windows_runtime ALL ${copies} COMMENT "Copying the runtime DLLs into bin")
endfunction()

# bandsolve_write_pkg_config(<file>): writes the pkg-config file of the
# installed library.
#
# The paths are relative to the file's own directory (${pcfiledir}), so the
# file stays right for whatever prefix `cmake --install --prefix` is given and
# when the installed tree is moved.  An absolute CMAKE_INSTALL_LIBDIR or
# CMAKE_INSTALL_INCLUDEDIR is written as it is.
#
# Libs.private lists what a static link needs besides -lbandsolve: the C++
# runtime libraries that the C compiler driver does not add
# (BANDSOLVE_CXX_RUNTIME_LIBS, e.g. -lstdc++ -lm) and the thread library.
function(bandsolve_write_pkg_config file)
    if(IS_ABSOLUTE "${CMAKE_INSTALL_LIBDIR}")
        set(BANDSOLVE_PC_PREFIX "${CMAKE_INSTALL_PREFIX}")
        set(BANDSOLVE_PC_LIBDIR "${CMAKE_INSTALL_LIBDIR}")
    else()
        # Steps from <prefix>/<libdir>/pkgconfig back up to <prefix>.
        file(RELATIVE_PATH up "/prefix/${CMAKE_INSTALL_LIBDIR}/pkgconfig" "/prefix")
        string(REGEX REPLACE "/$" "" up "${up}")
        set(BANDSOLVE_PC_PREFIX "\${pcfiledir}/${up}")
        set(BANDSOLVE_PC_LIBDIR "\${prefix}/${CMAKE_INSTALL_LIBDIR}")
    endif()
    if(IS_ABSOLUTE "${CMAKE_INSTALL_INCLUDEDIR}")
        set(BANDSOLVE_PC_INCLUDEDIR "${CMAKE_INSTALL_INCLUDEDIR}")
    else()
        set(BANDSOLVE_PC_INCLUDEDIR "\${prefix}/${CMAKE_INSTALL_INCLUDEDIR}")
    endif()

    set(libs "")
    foreach(lib IN LISTS BANDSOLVE_CXX_RUNTIME_LIBS)
        if(lib MATCHES "^(-|/)")
            list(APPEND libs "${lib}")
        else()
            list(APPEND libs "-l${lib}")
        endif()
    endforeach()
    if(CMAKE_USE_PTHREADS_INIT)
        list(APPEND libs "-pthread")
    endif()
    if(CMAKE_THREAD_LIBS_INIT AND NOT CMAKE_THREAD_LIBS_INIT STREQUAL "-pthread")
        list(APPEND libs "${CMAKE_THREAD_LIBS_INIT}")
    endif()
    list(JOIN libs " " BANDSOLVE_PC_LIBS_PRIVATE)

    configure_file("${PROJECT_SOURCE_DIR}/cmake/bandsolve.pc.in" "${file}" @ONLY)
endfunction()

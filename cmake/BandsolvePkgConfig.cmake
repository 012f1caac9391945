# bandsolve_write_pkg_config(<file>): writes the pkg-config file of the
# installed library.
#
# The paths are relative to the file's own directory (${pcfiledir}), so the
# file stays right for whatever prefix `cmake --install --prefix` is given and
# when the installed tree is moved.  An absolute CMAKE_INSTALL_LIBDIR or
# CMAKE_INSTALL_INCLUDEDIR is written as it is.
#
# A static libbandsolve.a is C++ code: a program linked by the C compiler
# driver (or gfortran) needs the C++ runtime libraries that driver does not
# add (BANDSOLVE_CXX_RUNTIME_LIBS, e.g. -lstdc++ -lm) and the thread library.
# The static install is the only library there is, so these go in Libs: a
# plain `pkg-config --libs bandsolve` links, as a user who does not know the
# library is C++ inside expects.  The shared libbandsolve.so carries them as
# its own dependencies, so its Libs stays -lbandsolve and they are listed in
# Libs.private only.
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
    list(JOIN libs " " runtime)

    set(BANDSOLVE_PC_LIBS "-L\${libdir} -lbandsolve")
    if(BUILD_SHARED_LIBS)
        set(BANDSOLVE_PC_LIBS_PRIVATE "${runtime}")
    else()
        string(APPEND BANDSOLVE_PC_LIBS " ${runtime}")
        set(BANDSOLVE_PC_LIBS_PRIVATE "")
    endif()
    string(STRIP "${BANDSOLVE_PC_LIBS}" BANDSOLVE_PC_LIBS)

    configure_file("${PROJECT_SOURCE_DIR}/cmake/bandsolve.pc.in" "${file}" @ONLY)
endfunction()

# Runs at install time, when CMAKE_INSTALL_PREFIX is the prefix really
# installed to (cmake --install --prefix, or CPack's).  A relative directory
# is written relative to ${prefix}; an absolute one is written as it is.
set(prefix "${CMAKE_INSTALL_PREFIX}")
foreach(kind libdir includedir)
    if(IS_ABSOLUTE "${escape_special_${kind}}")
        set(${kind} "${escape_special_${kind}}")
    else()
        set(${kind} "\${prefix}/${escape_special_${kind}}")
    endif()
endforeach()
if(IS_ABSOLUTE "${escape_special_libdir}")
    set(destination "${escape_special_libdir}/pkgconfig")
else()
    set(destination "${CMAKE_INSTALL_PREFIX}/${escape_special_libdir}/pkgconfig")
endif()
message(STATUS "Installing: $ENV{DESTDIR}${destination}/escape_special.pc")
configure_file("${escape_special_pc_in}" "$ENV{DESTDIR}${destination}/escape_special.pc" @ONLY)
list(APPEND CMAKE_INSTALL_MANIFEST_FILES "${destination}/escape_special.pc")

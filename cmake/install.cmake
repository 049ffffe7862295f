include(GNUInstallDirs)
include(CMakePackageConfigHelpers)

set(escape_special_docdir "${CMAKE_INSTALL_DATAROOTDIR}/doc/escape-special")
set(escape_special_cmakedir "${CMAKE_INSTALL_LIBDIR}/cmake/escape_special")

# Three components: the shared library for run time, what building against
# it needs, and the tool; `cmake --install --component` installs one.
install(TARGETS escape_special EXPORT escape_special_targets
    ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev
    LIBRARY DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT runtime NAMELINK_COMPONENT dev)
if(BUILD_SHARED_LIBS)
    install(TARGETS escape_special_static ARCHIVE DESTINATION "${CMAKE_INSTALL_LIBDIR}" COMPONENT dev)
endif()
install(TARGETS escape-special RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
install(FILES src/escape_special.h DESTINATION "${CMAKE_INSTALL_INCLUDEDIR}" COMPONENT dev)

install(EXPORT escape_special_targets
    NAMESPACE escape_special::
    FILE escape_specialTargets.cmake
    DESTINATION "${escape_special_cmakedir}"
    COMPONENT dev)
configure_package_config_file(cmake/escape_specialConfig.cmake.in
    "${PROJECT_BINARY_DIR}/escape_specialConfig.cmake"
    INSTALL_DESTINATION "${escape_special_cmakedir}")
write_basic_package_version_file("${PROJECT_BINARY_DIR}/escape_specialConfigVersion.cmake"
    COMPATIBILITY SameMajorVersion)
install(FILES
    "${PROJECT_BINARY_DIR}/escape_specialConfig.cmake"
    "${PROJECT_BINARY_DIR}/escape_specialConfigVersion.cmake"
    DESTINATION "${escape_special_cmakedir}"
    COMPONENT dev)

install(CODE "
    set(escape_special_libdir [[${CMAKE_INSTALL_LIBDIR}]])
    set(escape_special_includedir [[${CMAKE_INSTALL_INCLUDEDIR}]])
    set(escape_special_version [[${PROJECT_VERSION}]])
    set(escape_special_pc_in [[${PROJECT_SOURCE_DIR}/cmake/escape_special.pc.in]])
" COMPONENT dev)
install(SCRIPT cmake/install_pkgconfig.cmake COMPONENT dev)

# Man pages and the changelog compressed with gzip -9n, as Debian wants them;
# man reads them the same way on any system, so every install gets the
# compressed form.
find_program(ESCAPE_SPECIAL_GZIP gzip REQUIRED)
set(compressed)
foreach(source man/escape-special.1 man/escape_special.3 debian/changelog)
    get_filename_component(name "${source}" NAME)
    set(output "${PROJECT_BINARY_DIR}/compressed/${name}.gz")
    add_custom_command(OUTPUT "${output}"
        COMMAND "${CMAKE_COMMAND}" -E make_directory "${PROJECT_BINARY_DIR}/compressed"
        COMMAND "${ESCAPE_SPECIAL_GZIP}" -9n -c "${PROJECT_SOURCE_DIR}/${source}" > "${output}"
        DEPENDS "${source}"
        VERBATIM)
    list(APPEND compressed "${output}")
endforeach()
add_custom_target(escape_special_compressed ALL DEPENDS ${compressed})
install(FILES "${PROJECT_BINARY_DIR}/compressed/escape-special.1.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tool)
install(FILES "${PROJECT_BINARY_DIR}/compressed/escape_special.3.gz"
    DESTINATION "${CMAKE_INSTALL_MANDIR}/man3" COMPONENT dev)
install(FILES README.md LICENSE debian/copyright "${PROJECT_BINARY_DIR}/compressed/changelog.gz"
    DESTINATION "${escape_special_docdir}" COMPONENT tool)

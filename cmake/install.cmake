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
if(ESCAPE_SPECIAL_TOOL)
    install(TARGETS escape-special RUNTIME DESTINATION "${CMAKE_INSTALL_BINDIR}" COMPONENT tool)
endif()
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

if(ESCAPE_SPECIAL_DOCS)
    install(FILES "${PROJECT_BINARY_DIR}/compressed/escape-special.1.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man1" COMPONENT tool)
    install(FILES "${PROJECT_BINARY_DIR}/compressed/escape_special.3.gz"
        DESTINATION "${CMAKE_INSTALL_MANDIR}/man3" COMPONENT dev)
    install(FILES README.md LICENSE debian/copyright "${PROJECT_BINARY_DIR}/compressed/changelog.gz"
        DESTINATION "${escape_special_docdir}" COMPONENT tool)
    install(DIRECTORY doc/ DESTINATION "${escape_special_docdir}/doc" COMPONENT tool)
endif()

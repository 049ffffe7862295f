# Runs after CPack has written the .deb, and writes it again so that two
# builds of one commit give the same bytes: CPack stamps every file, and the
# archive members it makes, with the time they were written.  dpkg-deb takes
# the time from SOURCE_DATE_EPOCH for the archive members and clamps every
# file to it; the files are stamped with it first, so that a file older than
# the commit gets the same time too.  Unless the builder set it, the time is
# that of the last commit, or of the changelog outside a git checkout.
if(DEFINED ENV{SOURCE_DATE_EPOCH})
    set(epoch "$ENV{SOURCE_DATE_EPOCH}")
else()
    execute_process(COMMAND git log -1 --format=%ct
        WORKING_DIRECTORY "${CPACK_ESCAPE_SPECIAL_SOURCE_DIR}"
        OUTPUT_VARIABLE epoch OUTPUT_STRIP_TRAILING_WHITESPACE
        RESULT_VARIABLE git_failed ERROR_QUIET)
    if(git_failed OR epoch STREQUAL "")
        file(TIMESTAMP "${CPACK_ESCAPE_SPECIAL_SOURCE_DIR}/cmake/changelog" epoch "%s" UTC)
    endif()
endif()

foreach(deb IN LISTS CPACK_PACKAGE_FILES)
    set(tree "${deb}.tree")
    file(REMOVE_RECURSE "${tree}")
    execute_process(COMMAND dpkg-deb --raw-extract "${deb}" "${tree}" COMMAND_ERROR_IS_FATAL ANY)
    # CPack gives a package with a shared library under /usr/lib maintainer
    # scripts that run ldconfig.  Debian runs it through the trigger that
    # the package declares instead, and these are the only scripts.
    file(REMOVE "${tree}/DEBIAN/postinst" "${tree}/DEBIAN/postrm")
    execute_process(COMMAND find "${tree}" -exec touch -h -d "@${epoch}" {} +
        COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE "${deb}")
    set(ENV{SOURCE_DATE_EPOCH} "${epoch}")
    execute_process(COMMAND dpkg-deb --root-owner-group -Zxz --build "${tree}" "${deb}"
        OUTPUT_QUIET COMMAND_ERROR_IS_FATAL ANY)
    file(REMOVE_RECURSE "${tree}")
endforeach()

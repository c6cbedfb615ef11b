# Read by cpack before it builds each package. Without dpkg-shlibdeps CPack
# only prints a note and builds a package that declares no dependencies at all.
if(CPACK_GENERATOR STREQUAL "DEB" AND CPACK_DEBIAN_PACKAGE_SHLIBDEPS)
    find_program(ORBELITH_DPKG_SHLIBDEPS dpkg-shlibdeps)
    if(NOT ORBELITH_DPKG_SHLIBDEPS)
        message(FATAL_ERROR "dpkg-shlibdeps is missing, and without it the package would declare no "
                            "dependencies: install the Debian package dpkg-dev.")
    endif()
endif()

# Installation: `brenik` in bin/ finds its command library in lib/brenik/
# (see src/launcher/main.cpp), the libraries find each other beside
# themselves, and brenik-server finds the service library from bin/. Every
# search path is relative to the installed file, so a prefix can be moved.
include(GNUInstallDirs)

set(BRENIK_LIBDIR ${CMAKE_INSTALL_LIBDIR}/brenik)
# The launcher looks in ../lib/brenik; keep that spelling whatever the
# platform's library folder is called.
if(NOT CMAKE_INSTALL_LIBDIR STREQUAL "lib")
  set(BRENIK_LIBDIR lib/brenik)
endif()

# The same in the build tree: a hook runs brenik with a repository as its
# working directory, and an empty search-path entry would mean that folder.
set_target_properties(tolvern brenik_cli PROPERTIES INSTALL_RPATH "$ORIGIN" BUILD_WITH_INSTALL_RPATH ON)
if(TARGET brenik-server)
  # $ORIGIN finds the library in the build tree, ../lib/brenik once installed.
  set_target_properties(brenik-server PROPERTIES INSTALL_RPATH "$ORIGIN:$ORIGIN/../${BRENIK_LIBDIR}"
                                                 BUILD_WITH_INSTALL_RPATH ON)
endif()

install(TARGETS brenik RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
install(TARGETS tolvern brenik_cli LIBRARY DESTINATION ${BRENIK_LIBDIR})
if(TARGET brenik-server)
  install(TARGETS brenik-server RUNTIME DESTINATION ${CMAKE_INSTALL_BINDIR})
endif()
install(FILES README.md DESTINATION ${CMAKE_INSTALL_DOCDIR})

# `make package`: a Debian package. Library dependencies come from
# dpkg-shlibdeps; libcurl is loaded at the first request, so it is named here.
set(CPACK_GENERATOR "DEB")
set(CPACK_PACKAGE_NAME "brenik")
set(CPACK_PACKAGE_VERSION ${PROJECT_VERSION})
set(CPACK_PACKAGE_DESCRIPTION_SUMMARY "Records every commit with the attestation of the AI agent that made it")
set(CPACK_PACKAGE_CONTACT "brenik maintainers <maintainers@brenik.invalid>")
set(CPACK_PACKAGING_INSTALL_PREFIX "/usr")
set(CPACK_STRIP_FILES ON)
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SECTION "devel")
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_DEPENDS "git, libcurl4")
set(CPACK_DEBIAN_PACKAGE_RECOMMENDS "openssh-client")
include(CPack)

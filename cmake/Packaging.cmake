# Debian packages through CPack, one per program:
#   dorvix           dorvix without windows (links no Qt: recovery systems often have none)
#   dorvix-window    the same program with its progress dialog and message boxes, built where
#                    DORVIX_WINDOWS is on; it takes dorvix's place, since both are /usr/bin/dorvix
#   pellorin         the media builder with its desktop entry, icon, metainfo and completion
# Each install() rule names its component; a rule without one lands in pellorin's package.
# `bash scripts/package` configures and runs this.

set(IMAGING_PACKAGE_VERSION "3.03.000" CACHE STRING "Version of the Debian packages")
set(IMAGING_PACKAGE_MAINTAINER "QZ Tarvex imaging tools <imaging-tools@qztarvex.com>"
    CACHE STRING "Maintainer field of the Debian packages")

if(DORVIX_WINDOWS)
  set(dorvix_package dorvix-window)
  set(dorvix_other_package dorvix)
else()
  set(dorvix_package dorvix)
  set(dorvix_other_package dorvix-window)
endif()

# Debian keeps a copyright file and a changelog for each package in /usr/share/doc/<package>.
set(package_doc_dir ${CMAKE_CURRENT_BINARY_DIR}/package-doc)
string(TIMESTAMP package_date "%a, %d %b %Y %H:%M:%S +0000" UTC)
foreach(package ${dorvix_package} pellorin)
  set(doc ${package_doc_dir}/${package})
  configure_file(${CMAKE_CURRENT_SOURCE_DIR}/packaging/copyright ${doc}/copyright COPYONLY)
  file(WRITE ${doc}/changelog
       "${package} (${IMAGING_PACKAGE_VERSION}) unstable; urgency=medium\n\n"
       "  * Package built from the source tree.\n\n"
       " -- ${IMAGING_PACKAGE_MAINTAINER}  ${package_date}\n")
endforeach()
find_program(GZIP_EXECUTABLE gzip)
foreach(package ${dorvix_package} pellorin)
  if(package STREQUAL "pellorin")
    set(component pellorin)
  else()
    set(component dorvix)
  endif()
  set(doc ${package_doc_dir}/${package})
  add_custom_command(OUTPUT ${doc}/changelog.gz
                     COMMAND ${GZIP_EXECUTABLE} -9 -n -f -k ${doc}/changelog
                     DEPENDS ${doc}/changelog VERBATIM)
  add_custom_target(package-doc-${package} ALL DEPENDS ${doc}/changelog.gz)
  install(FILES ${doc}/copyright ${doc}/changelog.gz
          DESTINATION ${CMAKE_INSTALL_DATADIR}/doc/${package} COMPONENT ${component})
endforeach()

set(CPACK_GENERATOR DEB)
set(CPACK_PACKAGE_NAME thin-client-imaging)
set(CPACK_PACKAGE_VERSION ${IMAGING_PACKAGE_VERSION})
set(CPACK_PACKAGE_CONTACT ${IMAGING_PACKAGE_MAINTAINER})
set(CPACK_PACKAGE_DIRECTORY ${CMAKE_CURRENT_BINARY_DIR}/packages)
set(CPACK_STRIP_FILES ON)
set(CPACK_DEB_COMPONENT_INSTALL ON)
if(DORVIX_WINDOWS)
  # A build with windows makes only the dorvix-window variant; pellorin comes from the
  # build without them, which scripts/package makes first.
  set(CPACK_COMPONENTS_ALL dorvix)
else()
  set(CPACK_COMPONENTS_ALL dorvix pellorin)
endif()
set(CPACK_DEBIAN_FILE_NAME DEB-DEFAULT)
set(CPACK_DEBIAN_PACKAGE_SHLIBDEPS ON)
set(CPACK_DEBIAN_PACKAGE_SECTION admin)
set(CPACK_DEBIAN_PACKAGE_PRIORITY optional)
set(CPACK_DEBIAN_PACKAGE_CONTROL_STRICT_PERMISSION ON)
set(CPACK_DEBIAN_PACKAGE_MAINTAINER ${IMAGING_PACKAGE_MAINTAINER})

set(CPACK_DEBIAN_DORVIX_PACKAGE_NAME ${dorvix_package})
set(CPACK_DEBIAN_DORVIX_PACKAGE_CONFLICTS ${dorvix_other_package})
if(DORVIX_WINDOWS)
  set(CPACK_DEBIAN_DORVIX_PACKAGE_REPLACES dorvix)
  set(CPACK_DEBIAN_DORVIX_PACKAGE_PROVIDES dorvix)
  set(dorvix_variant "This variant shows a progress dialog and message boxes with -w.")
else()
  set(dorvix_variant "This variant links no graphical toolkit; -w reports on the console.")
endif()
# The first line is the synopsis; CPack indents the lines after it.
string(CONCAT CPACK_COMPONENT_DORVIX_DESCRIPTION
    "restore and capture the FAT16 flash disk image of a thin client\n"
    "Restores a factory image onto the thin client's flash disk, re-laying out\n"
    "its FAT16 volume for the disk's size, writes flat sector images, captures\n"
    "a disk or its FAT16 volume into an image file and lists the disk devices.\n"
    "${dorvix_variant}")
set(CPACK_DEBIAN_PELLORIN_PACKAGE_NAME pellorin)
set(CPACK_DEBIAN_PELLORIN_PACKAGE_SECTION utils)
set(CPACK_DEBIAN_PELLORIN_PACKAGE_RECOMMENDS pkexec)
string(CONCAT CPACK_COMPONENT_PELLORIN_DESCRIPTION
    "build bootable recovery media of the thin-client image\n"
    "From the image and a few boot files next to it, writes a bootable FAT16 USB\n"
    "disk, a bootable El Torito ISO image, or a deployment folder. Runs as a\n"
    "desktop application or from the command line.")

include(CPack)
